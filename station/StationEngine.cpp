#include "StationEngine.h"

#include "PortList.h"
#include "PortWatch.h"
#include "RecordLogReader.h"

CStationEngine::CStationEngine(std::vector<StationPort> ports, IRecordLog* log, RecordContext context,
                               const std::atomic<int>& interrupt)
    : m_Initial(std::move(ports)), m_Log(log), m_Context(std::move(context)), m_Interrupt(interrupt)
{
    m_LastSeq = m_Log ? HighestSeq(m_Log->Path()) : 0;
}

CStationEngine::~CStationEngine() = default;

void CStationEngine::StationError(const std::string& text)
{
    StationEvent e;
    e.kind = StationEvent::Kind::Error;
    e.text = text;
    m_FanOut.OnEvent(e);
}

void CStationEngine::Commit(int slot, BoxRecord& record)
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    const CPinnedImage* image = m_SlotImages[static_cast<size_t>(slot)];
    if (image && image->ChangedOnDisk()) {
        record.imageChanged = true;
        if (m_ChangeSaid.insert(image).second)
            StationError(image->Path() + " changed on disk after the run read it; this run goes on serving the "
                                         "image it read (SHA-256 " + image->Sha256().substr(0, 12) +
                         "...): a new image takes a new run");
    }
    record.seq = ++m_LastSeq;
    record.id = m_Context.runId + "-" + std::to_string(record.seq);
    const std::string line = RecordJson(record, m_Context);
    if (m_Log && !m_LogFailed.load()) {
        std::string error;
        if (!m_Log->Append(line, error)) {
            m_LogFailed.store(true);
            StationError("cannot write log " + m_Log->Path() + ": " + error + "; no further box is taken");
        }
    }
    if (m_Log && m_LogFailed.load())
        StationError("record not in the log: " + line);
    m_Records[static_cast<size_t>(slot)].push_back(record);
    ShiftTally& tally = m_Tallies[static_cast<size_t>(slot)];
    tally.Add(record);

    StationEvent e;
    e.kind = StationEvent::Kind::BoxEnded;
    e.slot = slot;
    e.record = std::make_shared<const BoxRecord>(record);
    e.tally = tally;
    m_FanOut.OnEvent(e);
}

void CStationEngine::StartPort(const StationPort& p, const StationPlan& plan)
{
    const int slot = static_cast<int>(m_Ports.size());
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        m_Records.emplace_back();
        m_Tallies.emplace_back();
        m_Tallies.back().port = p.port;
        m_SlotImages.push_back(p.image.get());
    }
    std::unique_ptr<Port> port(new Port);
    port->plan = p;
    port->events.reset(new CPortEvents(m_FanOut, slot));
    port->host.reset(new CPortHost(*port->events, p.port));
    CPortHost& host = *port->host;
    host.SetInterruptFlag(&m_Interrupt);
    host.SetTrace(p.trace);
    host.SetPortIdentity(p.byId, p.usbSerial);
    host.SetNoMoreBoxes([this] { return m_LogFailed.load(); });
    host.SetRecordSink([this, slot](BoxRecord& r) { Commit(slot, r); });
    CPortRunner::Station station;
    station.failure = [this, slot](BoxRecord& r) { Commit(slot, r); };
    station.failuresInARow = [this, slot] {
        std::lock_guard<std::mutex> g(m_RecordLock);
        return m_Tallies[static_cast<size_t>(slot)].failuresInARow;
    };
    station.setAside = [this, slot](bool aside) {
        std::lock_guard<std::mutex> g(m_RecordLock);
        ShiftTally& t = m_Tallies[static_cast<size_t>(slot)];
        t.setAside = aside;
        if (!aside)
            t.failuresInARow = 0;
    };
    station.returnRequests = m_ReturnRequests;
    port->runner.reset(new CPortRunner(host, *port->events, p.port, station));
    port->events->Added(p.port, p.byId, p.image ? p.image->Path() : "", p.image ? p.image->Sha256() : "",
                        p.image ? p.image->FileSize() : 0);

    ShiftPlan sp;
    sp.serve.image = p.image;
    sp.serve.speed = plan.speed;
    sp.serve.loop = plan.loop;
    sp.serve.requireFull = plan.requireFull;
    sp.serve.waitTimeout = plan.waitTimeout;
    sp.count = plan.count;
    sp.maxFailures = plan.loop ? plan.maxFailures : 0;
    sp.joined = p.joined;
    CPortRunner* runner = port->runner.get();
    port->thread = std::thread([this, runner, sp] {
        runner->Run(sp, [this] { return Stopping(); });
        ++m_PortsEnded;
    });
    m_Ports.push_back(std::move(port));
}

void CStationEngine::AddNewPorts(const StationPlan& plan)
{
    std::lock_guard<std::mutex> g(m_PortsLock);
    for (const StationPattern& pattern : plan.patterns) {
        for (const std::string& name : ExpandPortArgument(pattern.pattern)) {
            // A name already served is that port's own business (it waits for
            // its adapter); the same device under another name is served once.
            const std::string id = PortIdentity(name);
            bool known = false;
            for (const auto& p : m_Ports)
                known = known || p->plan.port == name || PortIdentity(p->plan.port) == id;
            if (known)
                continue;
            StationPort p;
            p.port = name;
            p.image = pattern.image;
            const SerialPortInfo info = DescribePort(name);
            p.byId = info.byId;
            p.usbSerial = info.usbSerial;
            p.trace = plan.traceFor ? plan.traceFor(name) : nullptr;
            p.joined = true;
            StartPort(p, plan);
        }
    }
}

void CStationEngine::Run(const StationPlan& plan)
{
    {
        std::lock_guard<std::mutex> g(m_PortsLock);
        for (const StationPort& p : m_Initial)
            StartPort(p, plan);
    }
    std::thread watcher;
    if (plan.loop && !plan.patterns.empty()) {
        std::vector<std::string> patterns;
        for (const StationPattern& p : plan.patterns)
            patterns.push_back(p.pattern);
        // With --count the run ends once every port there is has served its
        // boxes; otherwise new adapters are awaited until the run is ended.
        auto done = [this, &plan] {
            if (Stopping())
                return true;
            if (plan.count <= 0)
                return false;
            std::lock_guard<std::mutex> g(m_PortsLock);
            return !m_Ports.empty() && m_PortsEnded.load() == static_cast<int>(m_Ports.size());
        };
        watcher = std::thread([this, &plan, patterns, done] {
            AddNewPorts(plan);
            WatchPortPatterns(patterns, done, [this, &plan] { AddNewPorts(plan); });
        });
    }
    if (watcher.joinable())
        watcher.join();
    // No port joins any more: wait for those there are.
    for (size_t i = 0;; ++i) {
        std::thread* t;
        {
            std::lock_guard<std::mutex> g(m_PortsLock);
            if (i >= m_Ports.size())
                break;
            t = &m_Ports[i]->thread;
        }
        t->join();
    }
}

std::vector<BoxRecord> CStationEngine::Records()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    std::vector<BoxRecord> all;
    for (const auto& r : m_Records)
        all.insert(all.end(), r.begin(), r.end());
    return all;
}

std::vector<ShiftTally> CStationEngine::Tallies()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    return m_Tallies;
}
