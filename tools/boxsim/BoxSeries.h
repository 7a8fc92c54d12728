// A line of boxes: the --boxes a technician resets one after another on the
// same cable, each a fresh CBoxSim, with a result line per box on stdout
// and one for the whole run.
#pragma once

#include "BoxLine.h"
#include "BoxOptions.h"

#include <vector>

// Plays every box (or until one finds no host, or a signal), writes --out
// from the last box played and prints the results; the exit code (0 when
// every box was OK).
int PlayBoxes(const BoxOptions& options, CBoxLine& line, const std::vector<unsigned char>& expected);
