// Reads the records back from a log the station wrote (JSON Lines): the
// highest seq, so a new run goes on from it, and the records after a seq,
// for a client that pulls them (the factory's system) and must miss none.
// Lines that are not records of ours are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The "seq" of a record line; 0 when it has none.
uint64_t SeqOf(const std::string& line);
// The highest seq in the log at path; 0 when there is none (or no file).
uint64_t HighestSeq(const std::string& path);
// Up to limit record lines with seq above after, oldest first; more is set
// when further ones follow.
std::vector<std::string> RecordsAfter(const std::string& path, uint64_t after, size_t limit, bool& more);
