#include "ui/Settings.h"

#include "framework/WideText.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <vector>

namespace settings {

const char kIniPath[] = "C:\\Temp\\SerialPort.ini";
const char kSection[] = "SERIALPORT";
const char kKeyPort[] = "PORT";
const char kKeySpeed[] = "SPEED";
const char kKeyPath[] = "PATH";
const char kDefaultPath[] = "C:\\*.WZB";

namespace {

std::string& OverridePath()
{
    static std::string path;
    return path;
}

ReadResult ReadWholeFile(const std::wstring& path, std::vector<char>& bytes)
{
    bytes.clear();
    HANDLE in = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::Missing
                                                                              : ReadResult::Failed;
    }
    char buf[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ::ReadFile(in, buf, sizeof buf, &got, nullptr) != FALSE) && got > 0)
        bytes.insert(bytes.end(), buf, buf + got);
    ::CloseHandle(in);
    return ok ? ReadResult::Read : ReadResult::Failed;
}

FileReader& Reader()
{
    static FileReader reader = ReadWholeFile;
    return reader;
}

// Makes the folder the file lies in, and the folders above it, where they
// are missing. True when it exists afterwards.
bool MakeFolderOf(const std::wstring& path)
{
    size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut == 0)
        return true;
    std::wstring folder = path.substr(0, cut);
    if (::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    for (size_t at = folder.find_first_of(L"\\/", 3); ; at = folder.find_first_of(L"\\/", at + 1)) {
        ::CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
        if (at == std::wstring::npos)
            break;
    }
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether a write may go ahead, and what the file holds now: its folder
// is there (made when missing), and the file is new or could be read.
bool PrepareWrite(std::vector<char>& bytes)
{
    std::wstring path = Widen(IniPath());
    return MakeFolderOf(path) && Reader()(path, bytes) != ReadResult::Failed;
}

int ReadInt(const char* key, int fallback)
{
    return static_cast<int>(
        ::GetPrivateProfileIntW(Widen(kSection).c_str(), Widen(key).c_str(), fallback, Widen(IniPath()).c_str()));
}

void WriteString(const char* key, const std::wstring& value)
{
    ::WritePrivateProfileStringW(Widen(kSection).c_str(), Widen(key).c_str(), value.c_str(),
                                 Widen(IniPath()).c_str());
}

void WriteInt(const char* key, int value)
{
    std::vector<char> bytes;
    if (!PrepareWrite(bytes))
        return;
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    WriteString(key, Widen(text));
}

bool FitsAnsiCodePage(const std::wstring& text)
{
    BOOL lossy = FALSE;
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr, &lossy);
    return !lossy;
}

// The profile functions keep a file in the encoding they find: UTF-16 when
// it starts with its byte-order mark, the ANSI code page otherwise (and for
// a new file). A value the code page cannot carry (a Korean path on an
// English system) needs UTF-16, so the file, whose bytes the caller has
// read, is turned into UTF-16 first with its sections, keys and lines as
// they were. False when it could not be written.
bool MakeUnicodeFile(const std::wstring& path, const std::vector<char>& bytes)
{
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
        return true;
    std::wstring text(1, L'\xFEFF');
    if (!bytes.empty()) {
        int n = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        std::wstring decoded(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
        if (n > 0)
            ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &decoded[0], n);
        text += decoded;
    }
    HANDLE out = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    bool ok = ::WriteFile(out, text.data(), size, &written, nullptr) && written == size;
    ::CloseHandle(out);
    return ok;
}

}  // namespace

const std::string& IniPath()
{
    static const std::string real(kIniPath);
    const std::string& over = OverridePath();
    return over.empty() ? real : over;
}

void SetIniPathForTesting(const std::string& path)
{
    OverridePath() = path;
}

void SetFileReaderForTesting(FileReader reader)
{
    Reader() = reader ? reader : ReadWholeFile;
}

int ReadPortIndex() { return ReadInt(kKeyPort, kDefaultPort); }
void WritePortIndex(int portIndex) { WriteInt(kKeyPort, portIndex); }
int ReadSpeed() { return ReadInt(kKeySpeed, kDefaultSpeed); }
void WriteSpeed(int baud) { WriteInt(kKeySpeed, baud); }

std::string ReadPath()
{
    wchar_t path[kPathBufferSize] = {};
    ::GetPrivateProfileStringW(Widen(kSection).c_str(), Widen(kKeyPath).c_str(), Widen(kDefaultPath).c_str(), path,
                               kPathBufferSize, Widen(IniPath()).c_str());
    return Narrow(path);
}

void WritePath(const std::string& path)
{
    std::vector<char> bytes;
    if (!PrepareWrite(bytes))
        return;
    std::wstring value = Widen(path);
    // A path the file's encoding cannot carry is not written at all rather
    // than written wrong.
    if (!FitsAnsiCodePage(value) && !MakeUnicodeFile(Widen(IniPath()), bytes))
        return;
    WriteString(kKeyPath, value);
}

}  // namespace settings
