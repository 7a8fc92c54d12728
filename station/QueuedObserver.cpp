#include "QueuedObserver.h"

CQueuedObserver::CQueuedObserver(IStationObserver& target, size_t capacity)
    : m_Target(target), m_Capacity(capacity < 2 ? 2 : capacity)
{
    m_Thread = std::thread([this] { Run(); });
}

CQueuedObserver::~CQueuedObserver()
{
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Stop = true;
    }
    m_Wake.notify_all();
    if (m_Thread.joinable()) {
        if (m_Detached)
            m_Thread.detach();
        else
            m_Thread.join();
    }
}

void CQueuedObserver::OnEvent(const StationEvent& event)
{
    {
        std::lock_guard<std::mutex> g(m_Lock);
        if (m_Stop)
            return;
        if (event.kind == StationEvent::Kind::Progress && !event.force) {
            // The latest figures are all a board needs.
            for (auto it = m_Queue.rbegin(); it != m_Queue.rend(); ++it) {
                if (it->slot != event.slot)
                    continue;
                if (it->kind == StationEvent::Kind::Progress) {
                    const bool force = it->force;
                    *it = event;
                    it->force = force;
                    return;
                }
                break;  // something else of this port came since: keep the order
            }
        }
        if (m_Queue.size() >= m_Capacity) {
            ++m_Dropped;
            return;
        }
        m_Queue.push_back(event);
    }
    m_Wake.notify_one();
}

void CQueuedObserver::Run()
{
    std::unique_lock<std::mutex> lock(m_Lock);
    for (;;) {
        m_Wake.wait(lock, [this] { return m_Stop || !m_Queue.empty(); });
        if (m_Queue.empty()) {
            if (m_Stop)
                return;
            continue;
        }
        StationEvent event = std::move(m_Queue.front());
        m_Queue.pop_front();
        m_Busy = true;
        lock.unlock();
        m_Target.OnEvent(event);
        lock.lock();
        m_Busy = false;
        if (m_Queue.empty())
            m_Idle.notify_all();
    }
}

bool CQueuedObserver::Finish(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(m_Lock);
    const bool drained =
        m_Idle.wait_until(lock, deadline, [this] { return m_Queue.empty() && !m_Busy; });
    m_Stop = true;
    if (!drained) {
        // The target is stuck (a write nobody reads): leave it to the
        // process's end rather than wait for it.
        m_Detached = true;
        m_Queue.clear();
    }
    lock.unlock();
    m_Wake.notify_all();
    if (m_Thread.joinable()) {
        if (drained)
            m_Thread.join();
        else
            m_Thread.detach();
    }
    return drained;
}

uint64_t CQueuedObserver::Dropped() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Dropped;
}
