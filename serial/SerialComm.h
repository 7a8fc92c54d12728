// One serial port for the length of one transfer: opens and configures it
// (8N1, no flow control), runs the receive watcher thread ThreadWatchComm
// that moves every arriving byte into m_QueueRead, and offers blocking
// writes and non-blocking reads.
//
// The class interface is shared; each platform has its own implementation
// file (SerialComm_win32.cpp, SerialComm_posix.cpp) with its state behind
// m_Platform.
#pragma once

#include "SerialLink.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CSerialComm : public CSerialLink {
public:
    CSerialComm();
    ~CSerialComm() override;

    CSerialComm(const CSerialComm&) = delete;
    CSerialComm& operator=(const CSerialComm&) = delete;

    // 1 when the port is open, configured and the watcher runs; 0 otherwise.
    // Win32 takes "COM1".."COM4" (any name CreateFile accepts); POSIX takes
    // a device path such as /dev/ttyUSB0.
    int Open(const char* portName, uint32_t baud, uint16_t portNumber);
    // Stops the watcher and waits for it (bounded), then closes the port.
    // On a port that is not open it only clears the connected flag.
    void Close();
    // See CSerialLink::Write.
    int Write(const void* buffer, int count) override;
    // Bytes read, 0 when nothing is waiting or the read fails.
    int Read(void* buffer, int maxCount);

    const std::string& PortName() const { return m_PortName; }
    // Why the last Open failed, in a few words for the operator ("in use by
    // another program (PID 1234)", "not a serial device", the system's
    // error text); empty after a successful Open or where the platform
    // does not say.
    const std::string& OpenError() const { return m_OpenError; }
    uint16_t PortNumber() const { return m_PortNumber; }
    // True while the watcher thread exists (for tests and diagnostics).
    bool WatcherRunning() const;

    // The watcher's two failures ("m_QueueRead FULL!", "Error while
    // creating ThreadWatchComm, ") go to a message box by default on
    // Windows; unattended front ends send them to stderr instead.
    void SetReportToStderr(bool toStderr) { m_ReportToStderr = toStderr; }
    // A front end that draws its own display (a progress line, a board)
    // takes the serial layer's notices (the two watcher failures, hints
    // about the adapter) through this sink, so no line cuts into the
    // display behind its back. Set before Open; called on the watcher's or
    // the opener's thread.
    using NoticeSink = std::function<void(const std::string& text)>;
    void SetNoticeSink(NoticeSink sink) { m_NoticeSink = std::move(sink); }

    // The receive watcher; runs on its own thread while connected.
    static int ThreadWatchComm(CSerialComm* port);

    // Largest chunk the watcher reads at once.
    enum { kWatchChunk = 2048 };

private:
    void ReportWatcherError(const std::string& text);

    struct Platform;
    std::unique_ptr<Platform> m_Platform;
    std::string m_PortName;
    std::string m_OpenError;
    uint16_t m_PortNumber = 0;
    bool m_ReportToStderr = false;
    NoticeSink m_NoticeSink;
    bool m_FullReported = false;
};
