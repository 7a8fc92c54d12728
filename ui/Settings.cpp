#include "ui/Settings.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

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
    return static_cast<int>(::GetPrivateProfileIntA(kSection, key, fallback, IniPath().c_str()));
}

void WriteInt(const char* key, int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    ::WritePrivateProfileStringA(kSection, key, text, IniPath().c_str());
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
    char path[kPathBufferSize] = {};
    ::GetPrivateProfileStringA(kSection, kKeyPath, kDefaultPath, path, sizeof path, IniPath().c_str());
    return std::string(path);
}

void WritePath(const std::string& path)
{
    ::WritePrivateProfileStringA(kSection, kKeyPath, path.c_str(), IniPath().c_str());
}

}  // namespace settings
