// A line of boxes: the --boxes a technician resets one after another on the
// same cable, each a fresh CBoxSim, with a result line per box on stdout.
// What the whole line did goes back to the caller, which says it.
#pragma once

#include "BoxLine.h"
#include "BoxOptions.h"
#include "BoxSim.h"

#include <string>
#include <vector>

struct LineResult {
    BoxStats total;           // every box played; seconds summed
    int passed = 0;
    int count = 0;            // the boxes the line was to play
    std::vector<int> failed;  // the boxes played that failed, in order
    bool outWritten = true;   // --out, when given
    bool Ok() const { return passed == count && outWritten; }
};

// Plays every box of the line (or until one finds no host, or a signal),
// writes --out from the last box played and prints a line per box when
// there are several.
LineResult PlayBoxes(const BoxOptions& options, CBoxLine& line, const std::vector<unsigned char>& expected);

// "OK 65536 bytes, 258 requests, 0 retries, 0 stray, 0.41 s, 156.1 KiB/s",
// what scripts and the benchmark read; label goes after the verdict, tail
// at the end.
void PrintResult(bool ok, const std::string& label, const BoxStats& s, const std::string& tail);
