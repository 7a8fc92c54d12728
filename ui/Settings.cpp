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
// English system) needs UTF-16, so the file is turned into UTF-16 first,
// with its sections, keys and lines as they were. When the folder does not
// exist nothing is written, as for every other write.
void MakeUnicodeFile(const std::wstring& path)
{
    std::vector<char> bytes;
    HANDLE in = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in != INVALID_HANDLE_VALUE) {
        char buf[4096];
        DWORD got = 0;
        while (::ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0)
            bytes.insert(bytes.end(), buf, buf + got);
        ::CloseHandle(in);
    }
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
        return;
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
        return;
    DWORD written = 0;
    ::WriteFile(out, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    ::CloseHandle(out);
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
    std::wstring value = Widen(path);
    if (!FitsAnsiCodePage(value))
        MakeUnicodeFile(Widen(IniPath()));
    WriteString(kKeyPath, value);
}

}  // namespace settings
