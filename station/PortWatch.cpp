#include "PortWatch.h"

std::string PatternFolder(const std::string& pattern)
{
    const size_t wild = pattern.find_first_of("*?[");
    const std::string fixed = pattern.substr(0, wild);
    const size_t cut = fixed.find_last_of("/\\");
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? fixed.substr(0, 1) : fixed.substr(0, cut);
}
