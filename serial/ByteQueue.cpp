#include "ByteQueue.h"

#include <chrono>
#include <cstring>

CByteQueue::CByteQueue() : m_Head(0), m_Tail(0) { Reset(); }

void CByteQueue::Reset()
{
    std::memset(m_Buffer, 0, sizeof m_Buffer);
    m_Head.store(0, std::memory_order_release);
    m_Tail.store(0, std::memory_order_release);
}

int CByteQueue::Count() const
{
    int32_t head = m_Head.load(std::memory_order_acquire);
    int32_t tail = m_Tail.load(std::memory_order_acquire);
    return (head - tail + kSize) % kSize;
}

int CByteQueue::Put(unsigned char byte)
{
    if (Count() == kSize - 1)
        return 0;
    int32_t head = m_Head.load(std::memory_order_relaxed);
    m_Buffer[head] = byte;
    m_Head.store((head + 1) % kSize, std::memory_order_release);
    return 1;
}

int CByteQueue::Get(unsigned char& byte)
{
    if (Count() == 0)
        return 0;
    int32_t tail = m_Tail.load(std::memory_order_relaxed);
    byte = m_Buffer[tail];
    m_Tail.store((tail + 1) % kSize, std::memory_order_release);
    return 1;
}

void CByteQueue::NotifyData()
{
    {
        // Taking the lock orders this wake-up after a waiter's predicate
        // check, so a chunk put just before the wait is never missed.
        std::lock_guard<std::mutex> lock(m_WaitLock);
        ++m_NotifySeq;
    }
    m_WaitCond.notify_all();
}

bool CByteQueue::WaitForData(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_WaitLock);
    unsigned seq = m_NotifySeq;
    m_WaitCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return Count() > 0 || m_NotifySeq != seq; });
    return Count() > 0;
}
