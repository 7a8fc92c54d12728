#include "Shift.h"

#include "protocol/Messages.h"

#include <chrono>
#include <thread>

namespace {
const char kWaitingForPort[] = "Waiting for the port to come back.";
}  // namespace

CPortShift::CPortShift(CCliHost& host, CConsole& console, int slot, const std::string& port, Sink sink)
    : m_Host(host), m_Console(console), m_Slot(slot), m_Sink(std::move(sink))
{
    m_Tally.port = port;
    m_Host.SetRecordSink([this](BoxRecord& r) { OnRecord(r, true); });
}

void CPortShift::OnRecord(const BoxRecord& record, bool box)
{
    PortTally shown;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Records.push_back(record);
        if (box) {
            ++m_Tally.boxes;
            if (IsCompleted(record))
                ++m_Tally.completed;
            else if (record.result != "restarted")
                ++m_Tally.failed;
        } else {
            ++m_Tally.failed;
        }
        m_Tally.last = record.result;
        shown.completed = m_Tally.completed;
        shown.failed = m_Tally.failed;
        shown.last = m_Tally.last;
    }
    m_Console.Tally(m_Slot, shown);
    if (m_Sink)
        m_Sink(record, box);
}

void CPortShift::Run(const ShiftPlan& plan, const std::function<bool()>& stop)
{
    BoxRecord failure;
    if (!m_Host.OpenPort(plan.serve.speed, failure, true)) {
        failure.file = plan.serve.file;
        failure.fileSize = plan.serve.fileSize;
        failure.addressable = AddressableBytes(plan.serve.fileSize);
        OnRecord(failure, false);
        return;
    }
    for (;;) {
        BoxRecord record;
        if (!m_Host.ServeBox(plan.serve, record))
            break;  // stopped while no box was there
        if (!plan.serve.loop || stop())
            break;
        if (plan.count > 0 && m_Host.BoxesEnded() >= plan.count) {
            m_Console.Status(m_Slot, "Done: " + std::to_string(m_Host.BoxesEnded()) + " boxes.", Tone::Plain);
            break;
        }
        if (record.result == "port_lost" && !Reopen(plan.serve.speed, stop))
            break;
    }
    m_Host.ClosePort();
}

bool CPortShift::Reopen(uint32_t speed, const std::function<bool()>& stop)
{
    m_Console.Status(m_Slot, kWaitingForPort, Tone::Warn);
    for (;;) {
        for (int i = 0; i < 10; ++i) {
            if (stop())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        BoxRecord failure;
        if (m_Host.OpenPort(speed, failure, false))
            return true;
    }
}

ShiftTally CPortShift::Tally()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Tally;
}

std::vector<BoxRecord> CPortShift::Records()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Records;
}
