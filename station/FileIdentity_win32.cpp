#include "FileIdentity.h"

#include <filesystem>
#include "framework/WideText.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace {

FileId FromHandle(HANDLE h)
{
    FileId id;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD type = ::GetFileType(h);
    if (type == FILE_TYPE_CHAR) {
        id.valid = false;
        id.character = true;
        return id;
    }
    if (!::GetFileInformationByHandle(h, &info))
        return id;
    id.valid = true;
    id.device = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.regular = !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (id.regular)
        id.size = static_cast<long long>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    id.links = info.nNumberOfLinks;
    return id;
}

std::string WinError(DWORD err)
{
    wchar_t text[256] = L"";
    ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text, 256,
                     nullptr);
    std::string s = text[0] ? Narrow(text) : "error " + std::to_string(err);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    return s;
}

}  // namespace

FileId IdentityOf(const std::string& path)
{
    if (path.empty() || IsReservedDeviceName(path))
        return FileId();
    // No access asked for: only the attributes are read. Backup semantics
    // let a directory be opened too.
    HANDLE h = ::CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return FileId();
    FileId id = FromHandle(h);
    ::CloseHandle(h);
    return id;
}

FileId IdentityOf(std::FILE* f)
{
    if (!f)
        return FileId();
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f)));
    if (h == INVALID_HANDLE_VALUE)
        return FileId();
    return FromHandle(h);
}

bool FutureIdentityOf(const std::string& path, FileId& directory, std::string& name)
{
    size_t cut = path.find_last_of("/\\:");
    std::string dir;
    if (cut == std::string::npos)
        dir = ".";
    else if (path[cut] == ':')
        dir = path.substr(0, cut + 1) + ".";
    else
        dir = cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
    name = cut == std::string::npos ? path : path.substr(cut + 1);
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    directory = IdentityOf(dir);
    return directory.valid;
}

bool IsReservedDeviceName(const std::string& path)
{
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0)
        return true;
    size_t cut = path.find_last_of("/\\:");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    // The device names hold with any extension and trailing spaces.
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL" || name == "CONIN$" ||
        name == "CONOUT$")
        return true;
    if (name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) &&
        name[3] >= '0' && name[3] <= '9')
        return true;
    return false;
}

std::FILE* OpenFile(const std::string& path, const char* mode)
{
    return ::_wfopen(Widen(path).c_str(), Widen(mode).c_str());
}

std::FILE* OpenForWriting(const std::string& path, bool append, std::string& error)
{
    int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (append ? _O_APPEND : 0);
    int fd = ::_wopen(Widen(path).c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::FILE* f = ::_fdopen(fd, append ? "ab" : "wb");
    if (!f) {
        error = std::strerror(errno);
        ::_close(fd);
    }
    return f;
}

bool TruncateOpened(std::FILE* f, long long length, std::string& error)
{
    if (::_chsize_s(::_fileno(f), length) != 0) {
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
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f)));
    if (h == INVALID_HANDLE_VALUE || (::GetFileType(h) == FILE_TYPE_DISK && !::FlushFileBuffers(h))) {
        error = WinError(::GetLastError());
        return false;
    }
    return true;
}

bool FolderWritable(const std::string& dir, std::string& why)
{
    // Windows says what a user may do only by trying: a file that is gone
    // again when its handle closes.
    const std::wstring path = std::filesystem::u8path(dir + "\\zurivavave-check.tmp").wstring();
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_FILE_EXISTS)
            return true;
        why = err == ERROR_ACCESS_DENIED ? "access denied" : "cannot create a file there (error " + std::to_string(err) + ")";
        return false;
    }
    ::CloseHandle(h);
    return true;
}
