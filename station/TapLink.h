// Stands between the download worker and a serial port while a wire trace
// is written: a pump thread moves every received byte from the port's
// queue into this link's own queue and counts it, so the trace can tell
// exactly how many bytes the frame parser took between two frames, and so
// how many it skipped as garbage. Writes go straight to the port.
#pragma once

#include "serial/SerialComm.h"
#include "serial/SerialLink.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class CTapLink : public CSerialLink {
public:
    explicit CTapLink(CSerialComm& port) : m_Port(port) {}
    ~CTapLink() override { Stop(); }

    CTapLink(const CTapLink&) = delete;
    CTapLink& operator=(const CTapLink&) = delete;

    // After the port is open: mirrors its state and starts the pump.
    void Start();
    // Ends the pump and waits for it; afterwards this link reads as closed.
    // Safe from any thread but the pump, and more than once.
    void Stop();

    int Write(const void* buffer, int count) override { return m_Port.Write(buffer, count); }

    // Bytes the consumer of m_QueueRead has taken out so far. Exact when
    // called by that consumer: the pump cannot add bytes during the count.
    uint64_t Consumed();

private:
    void Pump();

    CSerialComm& m_Port;
    std::thread m_Pump;
    std::mutex m_StopLock;  // serialises Start and Stop
    std::atomic<bool> m_Stop{false};
    std::mutex m_CountLock;  // held while bytes move and while they are counted
    uint64_t m_Produced = 0;
};
