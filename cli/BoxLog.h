// --log FILE: the station's record of every box, one JSON object per line
// (JSON Lines), appended the moment a box ends. Each line goes out in one
// write and is on the disk (flushed, fsync) before Append returns, and the
// port takes its next box only after that: neither kill -9 nor a power cut
// loses a record that was finished or leaves half of one behind. Called
// from every port's threads; a lock keeps the lines whole.
#pragma once

#include "OutputCheck.h"
#include "RecordLog.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CBoxLog : public IRecordLog {
public:
    // Opens (creates) the log for appending after the output check. A tail
    // that is not a whole line (the machine went down while a line was on
    // its way) is cut off and said in repaired. nullptr with the reason.
    static std::unique_ptr<CBoxLog> Open(const PlannedOutput& output, const std::vector<GuardedPath>& guarded,
                                         std::string& error, std::string& repaired);
    ~CBoxLog() override;

    CBoxLog(const CBoxLog&) = delete;
    CBoxLog& operator=(const CBoxLog&) = delete;

    // One record (a JSON object without newline); false with the reason
    // when it could not be made durable.
    bool Append(const std::string& line, std::string& error) override;
    const std::string& Path() const override { return m_Path; }

private:
    CBoxLog(std::FILE* f, std::string path) : m_File(f), m_Path(std::move(path)) {}

    std::mutex m_Lock;
    std::FILE* m_File;
    std::string m_Path;
};
