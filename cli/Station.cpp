#include "Station.h"

#include <cstdio>
#include <thread>

CStation::CStation(CConsole& console, RunSetup& run, const std::atomic<int>& interrupt)
    : m_Console(console), m_Run(run), m_Interrupt(interrupt)
{
}

void CStation::OnRecord(const BoxRecord& record, bool box)
{
    const std::string line = RecordJson(record, m_Run.context);
    if (m_Run.log && box) {
        std::string error;
        if (!m_Run.log->Append(line, error)) {
            if (!m_LogFailed.exchange(true))
                m_Console.Error(-1, "cannot write log " + m_Run.log->Path() + ": " + error +
                                        "; no further box is taken");
            // Not on the disk: the operator still gets it.
            m_Console.Error(-1, "record not in the log: " + line);
        }
    }
    if (m_Plan.jsonLive) {
        std::lock_guard<std::mutex> g(m_OutLock);
        std::fputs((line + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
}

void CStation::Run(const StationPlan& plan)
{
    m_Plan = plan;
    const size_t n = m_Run.ports.size();
    for (size_t i = 0; i < n; ++i) {
        const RunPort& p = m_Run.ports[i];
        m_Hosts.emplace_back(new CCliHost(m_Console, static_cast<int>(i), p.port));
        CCliHost& host = *m_Hosts.back();
        host.SetInterruptFlag(&m_Interrupt);
        host.SetTrace(i < m_Run.traces.size() ? m_Run.traces[i].get() : nullptr);
        host.SetPortIdentity(p.byId, p.usbSerial);
        host.SetNoMoreBoxes([this] { return m_LogFailed.load(); });
        m_Shifts.emplace_back(new CPortShift(host, m_Console, static_cast<int>(i), p.port,
                                             [this](const BoxRecord& r, bool box) { OnRecord(r, box); }));
    }
    auto stop = [this] { return m_Interrupt.load() != 0 || m_LogFailed.load(); };
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i) {
        ShiftPlan sp;
        sp.serve.file = m_Run.ports[i].file;
        sp.serve.fileSize = m_Run.ports[i].fileSize;
        sp.serve.speed = plan.speed;
        sp.serve.loop = plan.loop;
        sp.serve.requireFull = plan.requireFull;
        sp.serve.waitTimeout = plan.waitTimeout;
        sp.count = plan.count;
        threads.emplace_back([this, i, sp, stop] { m_Shifts[i]->Run(sp, stop); });
    }
    for (std::thread& t : threads)
        t.join();
}

std::vector<BoxRecord> CStation::Records()
{
    std::vector<BoxRecord> all;
    for (auto& s : m_Shifts) {
        std::vector<BoxRecord> r = s->Records();
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

std::vector<ShiftTally> CStation::Tallies()
{
    std::vector<ShiftTally> all;
    for (auto& s : m_Shifts)
        all.push_back(s->Tally());
    return all;
}
