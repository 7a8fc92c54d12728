// Puts an observer that writes somewhere slow (a terminal, a pipe nobody
// reads, a network) on a thread of its own, so no port ever waits for it:
// the ports' threads only queue events. The queue is bounded: progress is
// coalesced to the latest per port, and when the queue is full any other
// event is dropped and counted (the records are on the disk already; a
// reader resumes from there).
//
// OnEvent: any port's thread. The target's OnEvent: this object's thread
// only. Finish: the thread that owns this object, once the ports are done.
#pragma once

#include "Events.h"

#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

class CQueuedObserver : public IStationObserver {
public:
    CQueuedObserver(IStationObserver& target, size_t capacity = 4096);
    ~CQueuedObserver() override;
    CQueuedObserver(const CQueuedObserver&) = delete;
    CQueuedObserver& operator=(const CQueuedObserver&) = delete;

    void OnEvent(const StationEvent& event) override;

    // Waits until the target has taken every queued event, at most until
    // deadline; true when it has. The thread is then stopped; a target
    // stuck in a write is left behind (the process ends without it).
    bool Finish(std::chrono::steady_clock::time_point deadline);
    // Events dropped because the queue was full.
    uint64_t Dropped() const;

private:
    void Run();

    IStationObserver& m_Target;
    const size_t m_Capacity;
    mutable std::mutex m_Lock;
    std::condition_variable m_Wake;   // the thread: events, or stop
    std::condition_variable m_Idle;   // Finish: the queue ran dry
    std::deque<StationEvent> m_Queue;
    bool m_Busy = false;              // the target is taking an event
    bool m_Stop = false;
    uint64_t m_Dropped = 0;
    std::thread m_Thread;
    bool m_Detached = false;
};
