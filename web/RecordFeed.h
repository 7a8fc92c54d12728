// /api/records?after=SEQ&limit=N: the records, oldest first, for a factory
// system that pulls them and must miss none and get none twice: it asks
// again with the last seq it saw. With --log they are read back from the
// log, so they outlive a restart of the station; without, this run's
// records are kept in memory. A record is offered only once the engine has
// said it ended, so a line still on its way to the disk is never half read.
//
// Add: any port's thread (short). Query: the HTTP side's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CRecordFeed {
public:
    static constexpr size_t kDefaultLimit = 100;
    static constexpr size_t kMaxLimit = 1000;

    // logPath: "" for none (records kept in memory).
    explicit CRecordFeed(const std::string& logPath);

    // A record that ended (its line is on the disk when there is a log).
    void Add(uint64_t seq, const std::string& line);

    // The query string's after and limit, checked; false with the reason.
    static bool ParseQuery(const std::string& query, uint64_t& after, size_t& limit, std::string& error);
    // The answer: {"records":[...],"after":A,"last_seq":S,"more":B}; S is
    // the seq of the last record given (A when none), the next after.
    std::string Query(uint64_t after, size_t limit) const;

private:
    const std::string m_LogPath;
    mutable std::mutex m_Lock;
    uint64_t m_Committed = 0;         // the highest seq known to be whole
    std::vector<std::string> m_Lines;  // without a log: this run's records
    std::vector<uint64_t> m_Seqs;
};
