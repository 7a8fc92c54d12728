// Fixed 8192-byte receive ring between the port's watcher thread (producer)
// and the download worker (consumer). Lock-free for one producer and one
// consumer: each index is written by one side only and published with
// release ordering after its byte, read by the other side with acquire.
//
// A consumer that must not spin can sleep in WaitForData(); the producer
// calls NotifyData() after it has put a chunk.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CByteQueue {
public:
    enum { kSize = 8192 };

    CByteQueue();

    // Empties the queue and zeroes the storage. Not safe against a running
    // producer: the owner closes the port (which joins the watcher) first.
    void Reset();
    // Bytes held, 0..8191.
    int Count() const;
    // 1 if stored, 0 if the queue already holds 8191 bytes (byte dropped).
    int Put(unsigned char byte);
    // 1 with the byte when not empty; 0 when empty (byte untouched).
    int Get(unsigned char& byte);

    // Producer side: wake a consumer sleeping in WaitForData().
    void NotifyData();
    // Consumer side: sleep until bytes are held, NotifyData() is called or
    // the timeout passes. Returns true when bytes are held.
    bool WaitForData(int timeoutMs);

private:
    unsigned char m_Buffer[kSize];
    std::atomic<int32_t> m_Head;  // next slot to write (producer only)
    std::atomic<int32_t> m_Tail;  // next slot to read (consumer only)

    std::mutex m_WaitLock;
    std::condition_variable m_WaitCond;
    unsigned m_NotifySeq = 0;  // guarded by m_WaitLock
};
