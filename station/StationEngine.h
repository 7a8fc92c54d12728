// Every port of a run at once, each on a thread of its own with its own
// serial line, worker and watchdog: one port's end or failure leaves the
// others be. Each record goes, as its box ends, to the log (on the disk
// before the port takes its next box) and, with --json in a shift, to
// stdout, so a test system can follow the line live.
#pragma once

#include "BoxLog.h"
#include "BoxRecord.h"
#include "Console.h"
#include "Report.h"
#include "RunSetup.h"
#include "Shift.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

struct StationPlan {
    uint32_t speed = 115200;
    bool loop = false;
    long long count = 0;
    bool requireFull = false;
    double waitTimeout = 0;
    bool jsonLive = false;  // each record on stdout as its box ends
};

class CStation {
public:
    CStation(CConsole& console, RunSetup& run, const std::atomic<int>& interrupt);

    // Serves every port until each has ended.
    void Run(const StationPlan& plan);

    // After Run.
    std::vector<BoxRecord> Records();   // port by port, box by box
    std::vector<ShiftTally> Tallies();
    bool LogFailed() const { return m_LogFailed.load(); }

private:
    void OnRecord(const BoxRecord& record, bool box);

    CConsole& m_Console;
    RunSetup& m_Run;
    const std::atomic<int>& m_Interrupt;
    StationPlan m_Plan;
    std::vector<std::unique_ptr<CCliHost>> m_Hosts;
    std::vector<std::unique_ptr<CPortShift>> m_Shifts;
    std::mutex m_OutLock;  // stdout's records, one whole line at a time
    std::atomic<bool> m_LogFailed{false};
};
