#include "TapLink.h"

#include <chrono>

void CTapLink::Start()
{
    std::lock_guard<std::mutex> g(m_StopLock);
    if (m_Pump.joinable())
        return;
    m_Stop.store(false);
    m_Lost.store(m_Port.IsLost(), std::memory_order_release);
    m_Connected.store(m_Port.IsConnected(), std::memory_order_release);
    m_Pump = std::thread([this] { Pump(); });
}

void CTapLink::Stop()
{
    std::lock_guard<std::mutex> g(m_StopLock);
    m_Stop.store(true);
    if (m_Pump.joinable() && m_Pump.get_id() != std::this_thread::get_id())
        m_Pump.join();
    m_Connected.store(0, std::memory_order_release);
    m_QueueRead.NotifyData();
}

uint64_t CTapLink::Consumed()
{
    std::lock_guard<std::mutex> g(m_CountLock);
    return m_Produced - static_cast<uint64_t>(m_QueueRead.Count());
}

void CTapLink::Pump()
{
    CByteQueue& in = m_Port.m_QueueRead;
    while (!m_Stop.load()) {
        // Read the port's state before its bytes: the watcher puts the last
        // bytes before it reports the line lost, so all of them are moved
        // before the worker is told.
        bool lost = m_Port.IsLost();
        int connected = m_Port.IsConnected();
        int moved = 0;
        {
            std::lock_guard<std::mutex> g(m_CountLock);
            unsigned char b;
            // Bytes that do not fit stay in the port's queue until the
            // worker has made room.
            while (m_QueueRead.Count() < CByteQueue::kSize - 1 && in.Get(b)) {
                m_QueueRead.Put(b);
                ++m_Produced;
                ++moved;
            }
        }
        if (moved > 0)
            m_QueueRead.NotifyData();
        if (lost != IsLost() || connected != IsConnected()) {
            m_Lost.store(lost, std::memory_order_release);
            m_Connected.store(connected, std::memory_order_release);
            m_QueueRead.NotifyData();
        }
        // A full queue here means the worker is behind: give it a moment
        // rather than spin; otherwise sleep until the watcher brings more.
        if (m_QueueRead.Count() >= CByteQueue::kSize - 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else if (in.Count() == 0)
            in.WaitForData(20);
    }
}
