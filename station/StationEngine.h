// The station: every port of a run at once, each on a thread of its own
// with its own serial line, worker and watchdog, so one port's end or
// failure leaves the others be. The engine owns the ports, the records and
// the log; what happens reaches its observers (the terminal, the JSON
// lines, the web board) as events. A record is on the disk (when there is
// a log) before its event goes out and before the port takes its next box.
// In a shift, adapters that appear under a port pattern join the station
// while it runs.
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
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// One port as the run serves it.
struct StationPort {
    std::string port;
    std::shared_ptr<const CPinnedImage> image;
    std::string byId;       // stable name, for the records
    std::string usbSerial;  // the adapter's serial number
    CTraceLog* trace = nullptr;
    bool joined = false;    // joined while the run went on
};

// A port pattern whose matches join the station as they appear (--loop).
struct StationPattern {
    std::string pattern;
    std::shared_ptr<const CPinnedImage> image;
};

struct StationPlan {
    uint32_t speed = 115200;
    bool loop = false;
    long long count = 0;
    bool requireFull = false;
    double waitTimeout = 0;
    int maxFailures = 0;  // with loop: failures in a row that set a port aside; 0 = never
    std::vector<StationPattern> patterns;  // with loop: watched for new adapters
    // A trace for a port that joined while the run went on; nullptr for none.
    std::function<CTraceLog*(const std::string& port)> traceFor;
};

class CStationEngine {
public:
    // log may be null; it and the traces outlive the engine.
    CStationEngine(std::vector<StationPort> ports, IRecordLog* log, RecordContext context,
                   const std::atomic<int>& interrupt);
    ~CStationEngine();

    // Before Run; the observer outlives the engine's run.
    void AddObserver(IStationObserver& observer) { m_FanOut.observers.push_back(&observer); }
    // Before Run: bumped by each request to return set-aside ports to
    // service (SIGUSR1, a key); read by the ports' threads.
    void SetReturnRequests(const std::atomic<int>* requests) { m_ReturnRequests = requests; }

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
    // One port's parts; made once, kept until the engine goes.
    struct Port {
        StationPort plan;
        std::unique_ptr<CPortEvents> events;
        std::unique_ptr<CPortHost> host;
        std::unique_ptr<CPortRunner> runner;
        std::thread thread;
    };

    // Adds a port and starts its thread (under m_PortsLock).
    void StartPort(const StationPort& p, const StationPlan& plan);
    // New adapters under the plan's patterns.
    void AddNewPorts(const StationPlan& plan);
    bool Stopping() const { return m_Interrupt.load() != 0 || m_LogFailed.load(); }
    // A box's record: to the log, the tallies and the observers, in that
    // order, one record at a time.
    void Commit(int slot, BoxRecord& record);
    void StationError(const std::string& text);

    std::vector<StationPort> m_Initial;
    IRecordLog* m_Log;
    RecordContext m_Context;
    const std::atomic<int>& m_Interrupt;
    const std::atomic<int>* m_ReturnRequests = nullptr;
    FanOut m_FanOut;

    std::mutex m_PortsLock;  // the list of ports; the port watcher adds to it
    std::vector<std::unique_ptr<Port>> m_Ports;
    std::atomic<int> m_PortsEnded{0};  // ports whose thread has ended

    std::mutex m_RecordLock;  // the records, tallies and log, one record at a time
    std::vector<std::vector<BoxRecord>> m_Records;  // per port
    std::vector<ShiftTally> m_Tallies;              // per port
    std::vector<const CPinnedImage*> m_SlotImages;  // per port
    std::set<const CPinnedImage*> m_ChangeSaid;     // images whose change was said
    uint64_t m_LastSeq = 0;                         // the last record's seq
    std::atomic<bool> m_LogFailed{false};
};
