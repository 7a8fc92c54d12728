// The box's end of the serial line: a pseudo-terminal master the simulator
// creates itself, or a serial device it opens. Optionally paces traffic to a
// wire speed so timings look like a real line.
#pragma once

#include "serial/ByteQueue.h"

#include <chrono>
#include <cstdint>
#include <string>

class CBoxLine {
public:
    using Clock = std::chrono::steady_clock;

    CBoxLine() = default;
    ~CBoxLine();
    CBoxLine(const CBoxLine&) = delete;
    CBoxLine& operator=(const CBoxLine&) = delete;

    // New pseudo-terminal pair; SlavePath() is what the host opens.
    bool OpenPty(std::string& error);
    // Existing serial device, raw 8N1 at speed.
    bool OpenDevice(const std::string& path, uint32_t speed, std::string& error);
    const std::string& SlavePath() const { return m_SlavePath; }
    bool IsPty() const { return m_IsPty; }

    // Emulated wire speed (0 = as fast as the line goes).
    void SetBaud(uint32_t baud) { m_Baud = baud; }
    // Paced frame by frame: everything one Send() is given reaches the
    // host in one write when its last byte has crossed the wire, the thread
    // asleep until then (see wire::PrepareThread). For many lines in one
    // process. Otherwise byte by byte, as a UART hands them on, spinning
    // the last 0.3 ms to each byte's time: that keeps one line's timing on
    // a machine whose idle CPUs are slow to wake, at the cost of a CPU.
    void SetWholeFrames(bool whole) { m_WholeFrames = whole; }

    // Pty only: true while no host holds the other end open.
    bool HostAbsent();
    // Set once the host closed its end after having opened it.
    bool HostGone() const { return m_HostGone; }
    // From now on a hang-up means the host went away.
    void MarkHostSeen() { m_HostSeen = true; }
    // A new box (or a reset one) greets whoever opens the line next: until
    // a host answers, a pty's hang-up is again "no host yet", since a host
    // run once per box closes the line between boxes.
    void ForgetHost()
    {
        m_HostGone = false;
        m_HostSeen = !m_IsPty;
    }

    // Writes all bytes (paced); false when the line is down.
    bool Send(const unsigned char* data, int n);
    // What has been received reaches the box ms later (a USB adapter's
    // latency timer): the next Send() starts no sooner.
    void DelayReceived(int ms);
    // Moves what has arrived into queue, waiting up to timeoutMs for it.
    void Pump(CByteQueue& queue, int timeoutMs);
    // Waits for the output to leave (devices; a pty has nothing to drain).
    void Drain();

    uint64_t BytesReceived() const { return m_BytesIn; }
    uint64_t BytesSent() const { return m_BytesOut; }

private:
    Clock::duration ByteTime(int n) const;
    static void HoldUntil(Clock::time_point t);
    bool WriteAll(const unsigned char* data, int n);

    int m_Fd = -1;
    bool m_IsPty = false;
    bool m_HostSeen = false;
    bool m_HostGone = false;
    std::string m_SlavePath;
    uint32_t m_Baud = 0;
    bool m_WholeFrames = false;
    Clock::time_point m_TxFree{};
    Clock::time_point m_RxFree{};
    uint64_t m_BytesIn = 0;
    uint64_t m_BytesOut = 0;
};
