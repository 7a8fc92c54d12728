// The station: every port of a run at once, each on a thread of its own
// with its own serial line, worker and watchdog, so one port's end or
// failure leaves the others be. The engine owns the ports, the records and
// the log; what happens reaches its observers (the terminal, the JSON
// lines, the web board) as events. A record is on the disk (when there is
// a log) before its event goes out and before the port takes its next box.
#pragma once

#include "BoxRecord.h"
#include "Events.h"
#include "PinnedImage.h"
#include "PortEvents.h"
#include "PortHost.h"
#include "PortRunner.h"
#include "RecordLog.h"
#include "Tally.h"
#include "Trace.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct StationPlan {
    uint32_t speed = 115200;
    bool loop = false;
    long long count = 0;
    bool requireFull = false;
    double waitTimeout = 0;
};

// One port as the run serves it.
struct StationPort {
    std::string port;
    std::shared_ptr<const CPinnedImage> image;
    std::string byId;       // stable name, for the records
    std::string usbSerial;  // the adapter's serial number
    CTraceLog* trace = nullptr;
};

class CStationEngine {
public:
    // log may be null; it and the traces outlive the engine.
    CStationEngine(std::vector<StationPort> ports, IRecordLog* log, RecordContext context,
                   const std::atomic<int>& interrupt);
    ~CStationEngine();

    // Before Run; the observer outlives the engine's run.
    void AddObserver(IStationObserver& observer) { m_FanOut.observers.push_back(&observer); }

    // Serves every port until each has ended.
    void Run(const StationPlan& plan);

    // After Run.
    std::vector<BoxRecord> Records();   // port by port, box by box
    std::vector<ShiftTally> Tallies();
    bool LogFailed() const { return m_LogFailed.load(); }
    const RecordContext& Context() const { return m_Context; }

private:
    struct FanOut : IStationObserver {
        std::vector<IStationObserver*> observers;
        void OnEvent(const StationEvent& e) override
        {
            for (IStationObserver* o : observers)
                o->OnEvent(e);
        }
    };

    // A box's record: to the log, the tallies and the observers, in that
    // order, one record at a time.
    void Commit(int slot, BoxRecord& record);
    void StationError(const std::string& text);

    std::vector<StationPort> m_PortsPlan;
    IRecordLog* m_Log;
    RecordContext m_Context;
    const std::atomic<int>& m_Interrupt;
    FanOut m_FanOut;
    std::vector<std::unique_ptr<CPortEvents>> m_Events;
    std::vector<std::unique_ptr<CPortHost>> m_Hosts;
    std::vector<std::unique_ptr<CPortRunner>> m_Runners;

    std::mutex m_RecordLock;  // the records, tallies and log, one record at a time
    std::vector<std::vector<BoxRecord>> m_Records;  // per port
    std::vector<ShiftTally> m_Tallies;              // per port
    std::set<const CPinnedImage*> m_ChangeSaid;     // images whose change was said
    uint64_t m_LastSeq = 0;                         // the last record's seq
    std::atomic<bool> m_LogFailed{false};
};
