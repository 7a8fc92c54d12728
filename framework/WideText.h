// Text between the program's strings and the wide Win32 functions. The
// program keeps text, file paths among it, as UTF-8 in std::string and
// hands it to Windows as UTF-16, so characters outside the ANSI code page
// (a Korean file name on an English system) survive every step.
#pragma once

#include <string>

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring Widen(const std::string& utf8);
// UTF-16 to UTF-8.
std::string Narrow(const std::wstring& wide);
std::string Narrow(const wchar_t* wide);
