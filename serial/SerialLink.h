// What the frame codec and the download worker need of a serial line: a
// blocking write, the queue the receive watcher fills, and whether the line
// is still up. CSerialComm is the real one; tests substitute their own.
#pragma once

#include "ByteQueue.h"

#include <atomic>
#include <string>

class CSerialLink {
public:
    virtual ~CSerialLink() = default;

    // Bytes written; 0 when the write fails at once; -1 when a pending
    // write fails.
    virtual int Write(const void* buffer, int count) = 0;

    // Writes one frame (magic, body, checksum); see Frame.h.
    int SendFrame(const unsigned char* body);

    // 1 while the port is open and its watcher runs.
    int IsConnected() const { return m_Connected.load(std::memory_order_acquire); }
    // Set by the watcher when the device went away under it (unplugged
    // adapter, hang-up); cleared by the next successful open.
    bool IsLost() const { return m_Lost.load(std::memory_order_acquire); }
    // What the device said when it went away ("hang-up", the system's
    // error text); "" where the platform does not say. Read it once
    // IsLost() is true: the watcher writes it before it sets the flag.
    const std::string& LostReason() const { return m_LostReason; }

    CByteQueue m_QueueRead;

protected:
    std::atomic<int> m_Connected{0};
    std::atomic<bool> m_Lost{false};
    std::string m_LostReason;
};
