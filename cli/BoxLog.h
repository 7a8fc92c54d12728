// --log FILE: the station's record of every box, one JSON object per line
// (JSON Lines), appended the moment a box ends. Each line goes out in one
// write and is on the disk (fsync) before Append returns, and the port
// takes its next box only after that: neither kill -9 nor a power cut
// loses a record that was finished or leaves half of one behind.
//
// The log holds whole records only. A write or fsync that fails (a full
// disk, a size limit) is undone by cutting the file back to its size
// before that append, and nothing more is appended: a later record must
// not land after a hole. A torn last line is cut only when it is the start
// of one of our records; any other file is not a record log and is left
// alone. Rotation is followed: before each append the path is looked up
// again, and when it names another file, or none (mv, gzip, logrotate's
// create), the log is opened anew by its name. copytruncate needs nothing:
// every write goes to the end (O_APPEND).
//
// Called from every port's threads; m_Lock guards every member but m_Path.
#pragma once

#include "FileIdentity.h"
#include "OutputCheck.h"
#include "RecordLog.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CBoxLog : public IRecordLog {
public:
    // Opens (creates) the log for appending after the output check. A log
    // must be a regular file (or /dev/null). A torn record at its end is
    // cut off and said in repaired. nullptr with the reason.
    static std::unique_ptr<CBoxLog> Open(const PlannedOutput& output, const std::vector<GuardedPath>& guarded,
                                         std::string& error, std::string& repaired);
    ~CBoxLog() override;

    CBoxLog(const CBoxLog&) = delete;
    CBoxLog& operator=(const CBoxLog&) = delete;

    // One record (a JSON object without newline); false with the reason
    // when it could not be made durable. After a failure every later call
    // fails too.
    bool Append(const std::string& line, std::string& error) override;
    const std::string& Path() const override { return m_Path; }

private:
    CBoxLog(std::FILE* f, const FileId& id, const PlannedOutput& output, const std::vector<GuardedPath>& guarded);

    // Opens the log's path, checks it and repairs a torn record at its end.
    static std::FILE* Attach(const PlannedOutput& output, const std::vector<GuardedPath>& guarded, FileId& id,
                             std::string& error, std::string& repaired);
    // The open file is still the one the path names; opens the path anew
    // when not. False with the reason when the new file cannot be taken.
    bool FollowPath(std::string& error);
    // One line at the end of the open file, or none of it.
    bool WriteLine(const std::string& text, std::string& error);

    std::mutex m_Lock;
    std::FILE* m_File;
    FileId m_Id;
    const std::string m_Path;
    PlannedOutput m_Output;
    std::vector<GuardedPath> m_Guarded;
    std::string m_Failed;  // why the log takes no more records, once it failed
};
