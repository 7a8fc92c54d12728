#include "RecordLogReader.h"

#include <filesystem>
#include <fstream>

namespace {

template <typename Fn>
void ForEachLine(const std::string& path, Fn fn)
{
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    std::string line;
    while (in && std::getline(in, line)) {
        if (!fn(line))
            break;
    }
}

}  // namespace

uint64_t SeqOf(const std::string& line)
{
    // Our records start {"schema":N,"tool":"zurivavave-cli","seq":N: the
    // key comes before any value a user chose.
    static const char kKey[] = ",\"seq\":";
    if (line.rfind("{\"schema\":", 0) != 0)
        return 0;
    size_t at = line.find(kKey);
    if (at == std::string::npos || at > 48)
        return 0;
    uint64_t v = 0;
    for (size_t i = at + sizeof kKey - 1; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
        v = v * 10 + static_cast<uint64_t>(line[i] - '0');
    return v;
}

uint64_t HighestSeq(const std::string& path)
{
    uint64_t highest = 0;
    ForEachLine(path, [&](const std::string& line) {
        const uint64_t s = SeqOf(line);
        if (s > highest)
            highest = s;
        return true;
    });
    return highest;
}

std::vector<std::string> RecordsAfter(const std::string& path, uint64_t after, size_t limit, bool& more)
{
    std::vector<std::string> out;
    more = false;
    ForEachLine(path, [&](const std::string& line) {
        if (SeqOf(line) <= after || line.empty() || line.back() != '}')
            return true;
        if (out.size() >= limit) {
            more = true;
            return false;
        }
        out.push_back(line);
        return true;
    });
    return out;
}
