#include "FileIdentity.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FileId FromStat(const struct stat& st)
{
    FileId id;
    id.valid = true;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    id.regular = S_ISREG(st.st_mode);
    id.character = S_ISCHR(st.st_mode);
    id.fifo = S_ISFIFO(st.st_mode);
    if (id.regular)
        id.size = static_cast<long long>(st.st_size);
    id.links = static_cast<uint64_t>(st.st_nlink);
    return id;
}

}  // namespace

FileId IdentityOf(const std::string& path)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return FileId();
    return FromStat(st);
}

FileId IdentityOf(std::FILE* f)
{
    struct stat st;
    if (!f || ::fstat(::fileno(f), &st) != 0)
        return FileId();
    return FromStat(st);
}

bool FutureIdentityOf(const std::string& path, FileId& directory, std::string& name)
{
    size_t cut = path.find_last_of('/');
    std::string dir = cut == std::string::npos ? "." : (cut == 0 ? "/" : path.substr(0, cut));
    name = cut == std::string::npos ? path : path.substr(cut + 1);
    directory = IdentityOf(dir);
    return directory.valid;
}

bool IsReservedDeviceName(const std::string&) { return false; }

std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::FILE* OpenForWriting(const std::string& path, bool append, std::string& error)
{
    // O_NOCTTY: a terminal named by mistake must not become ours.
    // O_NONBLOCK: a FIFO without a reader (or a line waiting for carrier)
    // would hold the open forever; the descriptor stays non-blocking, so a
    // reader that stops reading cannot stall a port either.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (append ? O_APPEND : 0);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (err == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
            error = "a FIFO with no reader (start the reader first)";
        else
            error = std::strerror(err);
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, append ? "a" : "w");
    if (!f) {
        error = std::strerror(errno);
        ::close(fd);
    }
    return f;
}

bool TruncateOpened(std::FILE* f, long long length, std::string& error)
{
    struct stat st;
    int fd = ::fileno(f);
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
        return true;  // a pipe or /dev/null: nothing to empty
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool SyncToDisk(std::FILE* f, std::string& error)
{
    if (std::fflush(f) != 0) {
        error = std::strerror(errno);
        return false;
    }
    int fd = ::fileno(f);
    struct stat st;
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
        return true;
    if (::fsync(fd) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool FolderWritable(const std::string& dir, std::string& why)
{
    if (::access(dir.c_str(), W_OK | X_OK) == 0)
        return true;
    why = std::strerror(errno);
    return false;
}
