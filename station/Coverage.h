// Which bytes of the image a box has asked for or been served, as a set of
// disjoint ranges: a box that reports done after asking for only part of
// the file shows it, and a request for a block already served is told from
// a new one. A box asking block after block keeps a single range, so the
// set stays small whatever the file size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

class CCoverage {
public:
    // Adds [begin, end); returns how many of those bytes were not covered.
    uint64_t Add(int64_t begin, int64_t end);
    // Every byte of [begin, end) is covered (an empty range is).
    bool Covers(int64_t begin, int64_t end) const;
    // Where the covered run that starts at or before begin ends; begin
    // when begin itself is not covered.
    int64_t CoveredFrom(int64_t begin) const;
    uint64_t Total() const { return m_Total; }
    // Disjoint ranges held (for tests and to bound memory).
    size_t Ranges() const { return m_Ranges.size(); }
    void Clear();

private:
    std::map<int64_t, int64_t> m_Ranges;  // begin -> end; disjoint, never touching
    uint64_t m_Total = 0;
};
