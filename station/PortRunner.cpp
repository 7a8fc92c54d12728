#include "PortRunner.h"

#include "FileIdentity.h"
#include "PortList.h"
#include "RecordPath.h"

#include <chrono>
#include <thread>

namespace {
const char kWaitingForPort[] = "Waiting for the port to come back.";
const char kWaitingForNewPort[] = "Waiting for the port to appear.";
const char kBackInService[] = "Back in service.";

int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Sleeps in short steps so a stop is seen at once; false when stopped.
bool Pause(std::chrono::milliseconds total, const std::function<bool()>& stop)
{
    for (auto slept = std::chrono::milliseconds(0); slept < total; slept += std::chrono::milliseconds(100)) {
        if (stop())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return !stop();
}
}  // namespace

CPortRunner::CPortRunner(CPortHost& host, CPortEvents& events, const std::string& port, Station station)
    : m_Host(host), m_Events(events), m_Port(port), m_Station(std::move(station))
{
}

void CPortRunner::Run(const ShiftPlan& plan, const std::function<bool()>& stop)
{
    BoxRecord failure;
    // In a shift a port named before its adapter is plugged in is waited
    // for, and so is one that joined (its node may not be ours to open
    // yet); any other failure to open is the port's record.
    bool opened;
    if (plan.serve.loop && !PortIsPresent(m_Port))
        opened = Reopen(plan.serve.speed, stop, kWaitingForNewPort);
    else if (!(opened = m_Host.OpenPort(plan.serve.speed, failure, !plan.joined)) && plan.joined)
        opened = Reopen(plan.serve.speed, stop, kWaitingForNewPort);
    else if (!opened) {
        const CPinnedImage& image = *plan.serve.image;
        failure.file = RecordPath(image.Path());
        failure.fileSize = image.FileSize();
        failure.addressable = image.Reachable();
        failure.imageSha256 = image.Sha256();
        if (m_Station.failure)
            m_Station.failure(failure);
        return;
    }
    if (!opened)
        return;
    for (;;) {
        const CPortHost::Served served = m_Host.ServeBox(plan.serve);
        if (served == CPortHost::Served::NoBox)
            break;  // stopped while no box was there
        if (served == CPortHost::Served::Box) {
            if (!plan.serve.loop || stop())
                break;
            if (plan.count > 0 && m_Host.BoxesCounted() >= plan.count) {
                m_Events.Done("Done: " + std::to_string(m_Host.BoxesCounted()) + " boxes.");
                break;
            }
            if (plan.maxFailures > 0 && m_Station.failuresInARow &&
                m_Station.failuresInARow() >= plan.maxFailures) {
                if (!StandAside(plan, stop))
                    break;
                continue;
            }
        }
        if (!m_Host.PortOpen() && !Reopen(plan.serve.speed, stop, kWaitingForPort))
            break;
    }
    m_Host.ClosePort();
}

bool CPortRunner::Reopen(uint32_t speed, const std::function<bool()>& stop, const char* text)
{
    m_Events.Lost(WallMs(), text);
    for (;;) {
        if (!Pause(std::chrono::seconds(1), stop))
            return false;
        BoxRecord failure;
        if (m_Host.OpenPort(speed, failure, false)) {
            m_Events.Back();
            return true;
        }
    }
}

bool CPortRunner::StandAside(const ShiftPlan& plan, const std::function<bool()>& stop)
{
    // The line is let go: a box reset on it meanwhile is not served, and
    // the fixture can be mended while the station goes on.
    m_Host.ClosePort();
    const int failures = m_Station.failuresInARow ? m_Station.failuresInARow() : plan.maxFailures;
    if (m_Station.setAside)
        m_Station.setAside(true);
    m_Events.SetAside("Set aside: " + std::to_string(failures) + (failures == 1 ? " failure" : " failures") +
                      " in a row. Check the cable and fixture.");
    const int requests = m_Station.returnRequests ? m_Station.returnRequests->load() : 0;
    // Unplugging the adapter and plugging it back returns it too: the name
    // goes away, or comes to stand for another device node.
    const FileId before = IdentityOf(m_Port);
    bool gone = false;
    for (;;) {
        if (!Pause(std::chrono::milliseconds(500), stop))
            return false;
        if (m_Station.returnRequests && m_Station.returnRequests->load() != requests)
            break;
        if (!PortIsPresent(m_Port)) {
            if (!gone)
                m_Events.Status("Set aside, adapter unplugged: plugging it back returns the port to service.",
                                Tone::Warn);
            gone = true;
            continue;
        }
        const FileId now = IdentityOf(m_Port);
        if (gone || (before.valid && now.valid && !now.Same(before)))
            break;
    }
    if (m_Station.setAside)
        m_Station.setAside(false);
    m_Events.Returned(kBackInService);
    BoxRecord failure;
    return m_Host.OpenPort(plan.serve.speed, failure, false) || Reopen(plan.serve.speed, stop, kWaitingForPort);
}
