#include "Coverage.h"

#include <algorithm>
#include <iterator>

uint64_t CCoverage::Add(int64_t begin, int64_t end)
{
    if (end <= begin)
        return 0;
    // The first range that could touch [begin, end): the one starting at or
    // before begin, if it reaches begin.
    auto it = m_Ranges.upper_bound(begin);
    if (it != m_Ranges.begin() && std::prev(it)->second >= begin)
        --it;
    int64_t newBegin = begin, newEnd = end;
    uint64_t before = 0;
    while (it != m_Ranges.end() && it->first <= end) {
        newBegin = std::min(newBegin, it->first);
        newEnd = std::max(newEnd, it->second);
        before += static_cast<uint64_t>(it->second - it->first);
        it = m_Ranges.erase(it);
    }
    m_Ranges[newBegin] = newEnd;
    uint64_t merged = static_cast<uint64_t>(newEnd - newBegin);
    uint64_t added = merged - before;
    m_Total += added;
    return added;
}

bool CCoverage::Covers(int64_t begin, int64_t end) const
{
    if (end <= begin)
        return true;
    auto it = m_Ranges.upper_bound(begin);
    if (it == m_Ranges.begin())
        return false;
    --it;
    return it->first <= begin && it->second >= end;
}

int64_t CCoverage::CoveredFrom(int64_t begin) const
{
    auto it = m_Ranges.upper_bound(begin);
    if (it == m_Ranges.begin())
        return begin;
    --it;
    return it->second > begin ? it->second : begin;
}

void CCoverage::Clear()
{
    m_Ranges.clear();
    m_Total = 0;
}
