#include "StationEngine.h"

#include "RecordLogReader.h"

#include <thread>

CStationEngine::CStationEngine(std::vector<StationPort> ports, IRecordLog* log, RecordContext context,
                               const std::atomic<int>& interrupt)
    : m_PortsPlan(std::move(ports)), m_Log(log), m_Context(std::move(context)), m_Interrupt(interrupt)
{
    m_LastSeq = m_Log ? HighestSeq(m_Log->Path()) : 0;
    m_Records.resize(m_PortsPlan.size());
    m_Tallies.resize(m_PortsPlan.size());
    for (size_t i = 0; i < m_PortsPlan.size(); ++i)
        m_Tallies[i].port = m_PortsPlan[i].port;
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
    const CPinnedImage* image = m_PortsPlan[static_cast<size_t>(slot)].image.get();
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

void CStationEngine::Run(const StationPlan& plan)
{
    const size_t n = m_PortsPlan.size();
    for (size_t i = 0; i < n; ++i) {
        const StationPort& p = m_PortsPlan[i];
        const int slot = static_cast<int>(i);
        m_Events.emplace_back(new CPortEvents(m_FanOut, slot));
        m_Hosts.emplace_back(new CPortHost(*m_Events.back(), p.port));
        CPortHost& host = *m_Hosts.back();
        host.SetInterruptFlag(&m_Interrupt);
        host.SetTrace(p.trace);
        host.SetPortIdentity(p.byId, p.usbSerial);
        host.SetNoMoreBoxes([this] { return m_LogFailed.load(); });
        host.SetRecordSink([this, slot](BoxRecord& r) { Commit(slot, r); });
        m_Runners.emplace_back(
            new CPortRunner(host, *m_Events.back(), [this, slot](BoxRecord& r) { Commit(slot, r); }));
    }
    auto stop = [this] { return m_Interrupt.load() != 0 || m_LogFailed.load(); };
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i) {
        ShiftPlan sp;
        sp.serve.image = m_PortsPlan[i].image;
        sp.serve.speed = plan.speed;
        sp.serve.loop = plan.loop;
        sp.serve.requireFull = plan.requireFull;
        sp.serve.waitTimeout = plan.waitTimeout;
        sp.count = plan.count;
        threads.emplace_back([this, i, sp, stop] { m_Runners[i]->Run(sp, stop); });
    }
    for (std::thread& t : threads)
        t.join();
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
