// A port's shift in numbers, kept in one place: the board, the summary and
// the metrics all read these figures. Every box is in exactly one column.
#pragma once

#include "BoxRecord.h"

#include <cstdint>
#include <string>

enum class BoxOutcome { Completed, Failed, Restarted, Interrupted };

// completed: every box that ended with exit 0; restarted: reset in the
// middle (its next record is the same box again); interrupted: the run was
// ended under it; failed: anything else, a port that never opened too.
BoxOutcome OutcomeOf(const BoxRecord& r);

struct ShiftTally {
    std::string port;
    int completed = 0;
    int failed = 0;
    int restarted = 0;
    int interrupted = 0;
    uint64_t served = 0;  // bytes, all boxes
    double seconds = 0;   // transfer time, all boxes
    // The last box: its result, its status text and how much of the image
    // it asked for.
    std::string last;
    BoxOutcome lastOutcome = BoxOutcome::Completed;
    std::string lastStatus;
    double lastAskedPercent = 0;
    bool lastPartial = false;  // completed while asking for less than all it can reach
    int failuresInARow = 0;    // failed boxes since the last completed one
    bool setAside = false;     // the port takes no box until it is returned to service

    int Boxes() const { return completed + failed + restarted + interrupted; }
    // What --count counts: boxes that were not reset.
    int Counted() const { return completed + failed + interrupted; }
    void Add(const BoxRecord& r);
    // Adds another port's figures (a total); the last box is not kept.
    void AddUp(const ShiftTally& o);
};
