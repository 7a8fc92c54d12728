// One port through a run, on the port's own thread: opens it and serves its
// box, or in a shift (--loop) box after box on the same open line until the
// run is stopped or --count boxes have ended. An adapter that went away in
// a shift is waited for and opened again, so the operator restarts nothing.
#pragma once

#include "BoxRecord.h"
#include "CliHost.h"
#include "Console.h"
#include "Report.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct ShiftPlan {
    ServePlan serve;
    long long count = 0;  // with serve.loop: boxes on this port, 0 = no limit
};

class CPortShift {
public:
    // Every record goes to sink as its box ends (on this port's thread or
    // its worker's); box is false for a port that never opened.
    using Sink = std::function<void(const BoxRecord& record, bool box)>;

    CPortShift(CCliHost& host, CConsole& console, int slot, const std::string& port, Sink sink);

    // stop: the run is ending (a signal, or the log could not be written);
    // read at every box's end and while waiting for a lost port.
    void Run(const ShiftPlan& plan, const std::function<bool()>& stop);

    // After Run (or under its lock): the port's numbers and records.
    ShiftTally Tally();
    std::vector<BoxRecord> Records();

private:
    void OnRecord(const BoxRecord& record, bool box);
    // A shift whose adapter went away: try again every second.
    bool Reopen(uint32_t speed, const std::function<bool()>& stop);

    CCliHost& m_Host;
    CConsole& m_Console;
    int m_Slot;
    Sink m_Sink;
    std::mutex m_Lock;  // the records come from two threads
    ShiftTally m_Tally;
    std::vector<BoxRecord> m_Records;
};
