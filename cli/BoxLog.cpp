#include "BoxLog.h"

#include "FileIdentity.h"

#include <cerrno>
#include <cstring>

namespace {

// Bytes up to and including the last newline of the file at path: where a
// torn last line begins. -1 when it cannot be read (then nothing is cut).
long long WholeLinesLength(const std::string& path)
{
    std::FILE* f = OpenFile(path, "rb");
    if (!f)
        return -1;
    long long keep = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long long size = std::ftell(f);
        // Read backwards in blocks until a newline or the start.
        char block[4096];
        long long pos = size;
        keep = 0;
        while (pos > 0) {
            long long from = pos > static_cast<long long>(sizeof block) ? pos - static_cast<long long>(sizeof block) : 0;
            size_t n = static_cast<size_t>(pos - from);
            if (std::fseek(f, static_cast<long>(from), SEEK_SET) != 0 || std::fread(block, 1, n, f) != n) {
                keep = -1;
                break;
            }
            size_t i = n;
            while (i > 0 && block[i - 1] != '\n')
                --i;
            if (i > 0) {
                keep = from + static_cast<long long>(i);
                break;
            }
            pos = from;
        }
    }
    std::fclose(f);
    return keep;
}

}  // namespace

std::unique_ptr<CBoxLog> CBoxLog::Open(const PlannedOutput& output, const std::vector<GuardedPath>& guarded,
                                       std::string& error, std::string& repaired)
{
    repaired.clear();
    std::FILE* f = OpenCheckedOutput(output, true, guarded, error);
    if (!f)
        return nullptr;
    // Big enough for any record, so each line leaves in the one write of
    // the flush that makes it durable.
    std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
    FileId id = IdentityOf(f);
    if (id.regular) {
        std::fseek(f, 0, SEEK_END);
        long long size = std::ftell(f);
        long long keep = size > 0 ? WholeLinesLength(output.path) : size;
        if (keep >= 0 && keep < size) {
            if (!TruncateOpened(f, keep, error)) {
                std::fclose(f);
                return nullptr;
            }
            repaired = "removed a partial last line (" + std::to_string(size - keep) + " bytes)";
        }
    }
    return std::unique_ptr<CBoxLog>(new CBoxLog(f, output.path));
}

CBoxLog::~CBoxLog()
{
    if (m_File)
        std::fclose(m_File);
}

bool CBoxLog::Append(const std::string& line, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    std::string text = line + "\n";
    if (std::fwrite(text.data(), 1, text.size(), m_File) != text.size()) {
        error = std::strerror(errno);
        std::clearerr(m_File);
        return false;
    }
    return SyncToDisk(m_File, error);
}
