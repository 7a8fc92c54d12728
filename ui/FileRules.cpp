#include "ui/FileRules.h"

#include <cctype>

bool IsSupportedDropName(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    size_t dot = path.find('.', slash == std::string::npos ? 0 : slash + 1);
    if (dot == std::string::npos || path.size() - dot - 1 < 3)
        return false;
    std::string ext;
    for (size_t i = dot + 1; i < dot + 4; ++i)
        ext += static_cast<char>(std::toupper(static_cast<unsigned char>(path[i])));
    return ext == "KXR" || ext == "WZB";
}
