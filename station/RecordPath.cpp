#include "RecordPath.h"

#include "FileIdentity.h"

#include <filesystem>
#include <system_error>

std::string RecordPath(const std::string& path)
{
    if (path.empty() || IsReservedDeviceName(path) || path.rfind("\\\\", 0) == 0)
        return path;
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(std::filesystem::u8path(path), ec);
    if (ec)
        return path;
    return abs.lexically_normal().u8string();
}
