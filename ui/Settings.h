// The settings file: the chosen port, speed and last file path persist in
// one INI file, read and written with the Win32 private-profile functions at
// the moment a value is needed or changed. There is no settings object; every
// function goes straight to the file. Reads give the defaults while there is
// no file. A write makes the file's folder when it is missing (a stock
// Windows has no C:\Temp), and is left out when the file exists but cannot
// be read (another program holds it, access denied): the profile functions
// would take such a file for an empty one and rewrite it from nothing.
#pragma once

#include <string>
#include <vector>

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

// How a write reads the file first: Missing (no file yet), Read (bytes hold
// all of it) or Failed (it exists and could not be read whole). Tests put
// in a reader of their own to meet a failure; nullptr restores the real one.
enum class ReadResult { Missing, Read, Failed };
using FileReader = ReadResult (*)(const std::wstring& path, std::vector<char>& bytes);
void SetFileReaderForTesting(FileReader reader);

}  // namespace settings
