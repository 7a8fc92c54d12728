// The files the tool writes (--trace, --log and the per-port trace names)
// are checked against everything it must never write: the served files,
// the ports and each other. The check runs before any output is opened,
// and again on what was opened, so no name or link can make the tool
// truncate the firmware or write into a serial line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct GuardedPath {
    std::string path;
    std::string role;  // "the served file", "the port"
};

struct PlannedOutput {
    std::string path;
    std::string option;  // "--trace", "--log"
};

// "" when every output may be written; otherwise the reason, naming both
// paths ("--trace fw.wzb is the served file fw.wzb").
std::string CheckOutputs(const std::vector<PlannedOutput>& outputs, const std::vector<GuardedPath>& guarded);

// The same check on an output already opened (closes the gap between the
// check and the open); "" when it is none of the guarded files.
std::string CheckOpened(std::FILE* opened, const PlannedOutput& output, const std::vector<GuardedPath>& guarded);

// Opens an output after the check: without truncating first, checks what
// was opened, then empties it (or, with append, writes at its end).
// nullptr with the reason in error.
std::FILE* OpenCheckedOutput(const PlannedOutput& output, bool append, const std::vector<GuardedPath>& guarded,
                             std::string& error);
