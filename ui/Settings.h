// The settings file: the chosen port, speed and last file path persist in
// one INI file, read and written with the Win32 private-profile functions at
// the moment a value is needed or changed. There is no settings object; every
// function goes straight to the file. Results of writes are not checked: when
// the folder does not exist, writes are lost and reads give the defaults.
#pragma once

#include <string>

namespace settings {

extern const char kIniPath[];      // "C:\\Temp\\SerialPort.ini"
extern const char kSection[];      // "SERIALPORT"
extern const char kKeyPort[];      // "PORT"
extern const char kKeySpeed[];     // "SPEED"
extern const char kKeyPath[];      // "PATH"
constexpr int kDefaultPort = 0;
constexpr int kDefaultSpeed = 115200;
extern const char kDefaultPath[];  // "C:\\*.WZB"
constexpr int kPathBufferSize = 100;   // so a path read back has at most 99 characters

// Paths are UTF-8 (framework/WideText.h): one that the ANSI code page
// cannot carry is kept by storing the file as UTF-16.
int ReadPortIndex();
void WritePortIndex(int portIndex);
int ReadSpeed();
void WriteSpeed(int baud);
std::string ReadPath();
void WritePath(const std::string& path);

// The file all functions above use. Tests point it at a file of their own;
// an empty path restores the real one.
void SetIniPathForTesting(const std::string& path);
const std::string& IniPath();

}  // namespace settings
