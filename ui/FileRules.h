// File-name rules of the main window, free of platform headers.
#pragma once

#include <string>

// Whether a dropped file's name is of a type the tool serves: find the last
// '\' (or '/'), then the first '.' after it, and compare the three
// characters after that dot with "KXR" and "WZB", ignoring case. Only those
// three characters count, so "a.wzbx" is taken and "fw.r2.wzb" is not.
bool IsSupportedDropName(const std::string& path);
