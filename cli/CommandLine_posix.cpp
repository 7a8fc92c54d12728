// POSIX: the bytes of argv and the environment are the tool's text as they
// are (UTF-8 on any current system).
#include "CommandLine.h"

#include <cstdlib>

CUtf8Arguments::CUtf8Arguments(int argc, char** argv)
{
    std::vector<std::string> text;
    for (int i = 0; i < argc && argv && argv[i]; ++i)
        text.push_back(argv[i]);
    Keep(std::move(text));
}

const char* EnvironmentValue(const char* name) { return std::getenv(name); }
