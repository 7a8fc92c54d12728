#include "BoxLog.h"

#include "BoxRecord.h"
#include "Json.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

// No record comes near this; a last line longer than it is none of ours.
constexpr long long kLongestRecord = 1 << 16;

bool SeekTo(std::FILE* f, long long offset)
{
#ifdef _WIN32
    return ::_fseeki64(f, offset, SEEK_SET) == 0;
#else
    return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// Whether line is (whole) or begins (torn) as this tool's records do:
// {"schema":<n>,"tool":"zurivavave-cli",... Other keys may come and go;
// these two open every record of every schema.
bool IsRecordStart(const std::string& line, bool whole)
{
    const std::string head = "{\"schema\":";
    const std::string tool = ",\"tool\":" + JsonString(RecordContext().tool) + ",";
    size_t i = 0;
    // 1 matched, 0 the line ended inside it, -1 it differs.
    auto literal = [&](const std::string& text) {
        for (char c : text) {
            if (i == line.size())
                return 0;
            if (line[i++] != c)
                return -1;
        }
        return 1;
    };
    int r = literal(head);
    if (r <= 0)
        return r == 0 && !whole;
    const size_t digits = i;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])))
        ++i;
    if (i == line.size())
        return !whole;
    if (i == digits)
        return false;
    r = literal(tool);
    if (r <= 0)
        return r == 0 && !whole;
    return !whole || line.back() == '}';
}

enum class Tail { Whole, Torn, Foreign, Unreadable };

// What the end of the regular file id (at path) holds; for a torn record,
// keep is the length of the whole lines before it.
Tail ExamineTail(const std::string& path, const FileId& id, long long& keep, std::string& error)
{
    keep = id.size;
    if (id.size <= 0)
        return Tail::Whole;
    std::FILE* f = OpenFile(path, "rb");
    if (!f) {
        error = std::strerror(errno);
        return Tail::Unreadable;
    }
    const long long window = std::min(id.size, kLongestRecord + 1);
    std::string end(static_cast<size_t>(window), '\0');
    const bool same = IdentityOf(f).Same(id);
    const bool read = same && SeekTo(f, id.size - window) && std::fread(&end[0], 1, end.size(), f) == end.size();
    std::fclose(f);
    if (!read) {
        error = same ? "cannot read its end" : "it changed while it was being opened";
        return Tail::Unreadable;
    }
    const bool whole = end.back() == '\n';
    const size_t stop = whole ? end.size() - 1 : end.size();
    const size_t nl = stop == 0 ? std::string::npos : end.rfind('\n', stop - 1);
    if (nl == std::string::npos && window < id.size)
        return Tail::Foreign;  // longer than any record
    const size_t from = nl == std::string::npos ? 0 : nl + 1;
    const std::string last = end.substr(from, stop - from);
    if (!IsRecordStart(last, whole))
        return Tail::Foreign;
    if (whole)
        return Tail::Whole;
    keep = id.size - static_cast<long long>(last.size());
    return Tail::Torn;
}

}  // namespace

std::FILE* CBoxLog::Attach(const PlannedOutput& output, const std::vector<GuardedPath>& guarded, FileId& id,
                           std::string& error, std::string& repaired)
{
    // By name first: a FIFO or device is refused without being opened.
    error = CheckOutputs({output}, guarded);
    std::FILE* f = error.empty() ? OpenCheckedOutput(output, true, guarded, error) : nullptr;
    if (!f)
        return nullptr;
    // Unbuffered: a line leaves in one write of its own, and no byte of a
    // failed one waits in a buffer to follow later.
    std::setvbuf(f, nullptr, _IONBF, 0);
    id = IdentityOf(f);
    if (!id.regular)
        return f;  // /dev/null: the output check let nothing else through
    long long keep = 0;
    switch (ExamineTail(output.path, id, keep, error)) {
    case Tail::Whole:
        return f;
    case Tail::Torn:
        // The machine went down while one of our lines was on its way.
        if (TruncateOpened(f, keep, error)) {
            repaired = "removed a partial last record (" + std::to_string(id.size - keep) + " bytes)";
            id.size = keep;
            return f;
        }
        break;
    case Tail::Foreign:
        error = "not a record log: its last line is none of this tool's records; it is left as it was";
        break;
    case Tail::Unreadable:
        break;
    }
    std::fclose(f);
    return nullptr;
}

std::unique_ptr<CBoxLog> CBoxLog::Open(const PlannedOutput& output, const std::vector<GuardedPath>& guarded,
                                       std::string& error, std::string& repaired)
{
    repaired.clear();
    PlannedOutput log = output;
    log.regularOnly = true;
    FileId id;
    std::FILE* f = Attach(log, guarded, id, error, repaired);
    if (!f)
        return nullptr;
    return std::unique_ptr<CBoxLog>(new CBoxLog(f, id, log, guarded));
}

CBoxLog::CBoxLog(std::FILE* f, const FileId& id, const PlannedOutput& output, const std::vector<GuardedPath>& guarded)
    : m_File(f), m_Id(id), m_Path(output.path), m_Output(output), m_Guarded(guarded)
{
}

CBoxLog::~CBoxLog()
{
    if (m_File)
        std::fclose(m_File);
}

bool CBoxLog::FollowPath(std::string& error)
{
    if (!m_Id.regular || IdentityOf(m_Path).Same(m_Id))
        return true;
    // Renamed, removed or replaced (rotated): the name is what counts.
    FileId id;
    std::string repaired;
    std::FILE* f = Attach(m_Output, m_Guarded, id, error, repaired);
    if (!f) {
        error = "the log was moved or replaced, and opening " + m_Path + " anew failed: " + error;
        return false;
    }
    std::fclose(m_File);
    m_File = f;
    m_Id = id;
    return true;
}

bool CBoxLog::WriteLine(const std::string& text, std::string& error)
{
    const long long before = IdentityOf(m_File).size;
    std::string why;
    const bool written = std::fwrite(text.data(), 1, text.size(), m_File) == text.size();
    if (!written)
        why = std::strerror(errno);
    if (written && SyncToDisk(m_File, why))
        return true;
    std::clearerr(m_File);
    // Undone: the file ends with its last whole record again.
    std::string cut;
    if (before >= 0 && TruncateOpened(m_File, before, cut)) {
        SyncToDisk(m_File, cut);
        error = why + " (the log was cut back to its last whole record)";
    } else {
        error = why + " (cutting the log back to its last whole record failed" + (cut.empty() ? "" : ": " + cut) + ")";
    }
    return false;
}

bool CBoxLog::Append(const std::string& line, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_Failed.empty()) {
        error = "it failed before (" + m_Failed + "); nothing is added after a failure";
        return false;
    }
    const std::string text = line + "\n";
    bool ok = FollowPath(error) && WriteLine(text, error);
    // Removed while the line went out (rm, gzip ending): it is in no file.
    if (ok && m_Id.regular && IdentityOf(m_File).links == 0)
        ok = FollowPath(error) && WriteLine(text, error);
    if (!ok)
        m_Failed = error;
    return ok;
}
