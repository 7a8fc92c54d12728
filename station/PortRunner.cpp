#include "PortRunner.h"

#include "RecordPath.h"

#include <chrono>
#include <thread>

namespace {
const char kWaitingForPort[] = "Waiting for the port to come back.";

int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
}  // namespace

CPortRunner::CPortRunner(CPortHost& host, CPortEvents& events, FailureSink sink)
    : m_Host(host), m_Events(events), m_Sink(std::move(sink))
{
}

void CPortRunner::Run(const ShiftPlan& plan, const std::function<bool()>& stop)
{
    BoxRecord failure;
    if (!m_Host.OpenPort(plan.serve.speed, failure, true)) {
        const CPinnedImage& image = *plan.serve.image;
        failure.file = RecordPath(image.Path());
        failure.fileSize = image.FileSize();
        failure.addressable = image.Reachable();
        failure.imageSha256 = image.Sha256();
        if (m_Sink)
            m_Sink(failure);
        return;
    }
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
        }
        if (!m_Host.PortOpen() && !Reopen(plan.serve.speed, stop))
            break;
    }
    m_Host.ClosePort();
}

bool CPortRunner::Reopen(uint32_t speed, const std::function<bool()>& stop)
{
    m_Events.Lost(WallMs(), kWaitingForPort);
    for (;;) {
        for (int i = 0; i < 10; ++i) {
            if (stop())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        BoxRecord failure;
        if (m_Host.OpenPort(speed, failure, false)) {
            m_Events.Back();
            return true;
        }
    }
}
