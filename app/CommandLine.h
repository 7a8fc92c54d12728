// Command-line splitting, free of platform headers.
#pragma once

#include <string>

// The first argument after the program's name as the C runtime splits a
// command line (quotes removed, spaces inside quotes kept); empty when there
// is none. Further arguments are ignored.
std::string FirstCommandLineArgument(const char* commandLine);
