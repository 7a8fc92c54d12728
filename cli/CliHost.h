// The command-line front end's download host for one port: owns the serial
// port, runs the download worker on its own thread and, on the calling
// thread, the watchdog that ends a transfer once the box falls silent.
// Several hosts run side by side, one per port, each on its own thread;
// they share only the console and the interrupt flag.
#pragma once

#include "Console.h"
#include "RateWindow.h"
#include "TapLink.h"
#include "Trace.h"

#include "protocol/DownloadHost.h"
#include "protocol/DownloadWorker.h"
#include "protocol/Messages.h"
#include "serial/SerialComm.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// How one port's run ended, for the summary, the exit code and --json.
struct PortOutcome {
    std::string port;
    int exitCode = kExitFailure;
    // completed, file_error, size_over, read_error, port_lost, timeout,
    // interrupted, port_error
    std::string result = "port_error";
    std::string status;  // the last status text shown
    std::string detail;  // why the port could not be opened
    uint64_t served = 0;     // bytes sent in data replies
    uint64_t blocks = 0;     // data replies
    uint64_t requests = 0;   // frames from the box with a right checksum
    uint64_t badFrames = 0;  // frames from the box with a wrong checksum
    double elapsed = 0.0;          // seconds from opening the port to the end
    double transferSeconds = 0.0;  // seconds from the box's first frame to the end
};

class CCliHost : public CDownloadHost, private IFrameObserver {
public:
    using Clock = std::chrono::steady_clock;

    // The port's lines go to console slot slot.
    CCliHost(CConsole& console, int slot);
    ~CCliHost() override;

    // Non-zero ends the transfer as an interruption. Set by a signal
    // handler on whichever thread the signal lands and read by every
    // port's thread, hence a lock-free atomic rather than sig_atomic_t.
    void SetInterruptFlag(const std::atomic<int>* flag) { m_Interrupt = flag; }
    // The watchdog's period; a transfer ends after more than 3 ticks
    // without a request.
    void SetWatchdogTick(std::chrono::milliseconds tick) { m_Tick = tick; }
    // Every frame and every run of skipped bytes goes to trace (owned by
    // the caller, used only by this host).
    void SetTrace(CTraceLog* trace) { m_Trace = trace; }
    // Say on the console, not only in the outcome, that the port could not
    // be opened (with several ports there is no one stderr line per port).
    void SetReportOpenError(bool report) { m_ReportOpenError = report; }

    // Opens the port, serves file (size measured by the caller) until the
    // transfer ends. A port that cannot be opened gives kExitPort with the
    // reason in the outcome's detail.
    PortOutcome Run(const std::string& file, int32_t fileSize, const std::string& port, uint32_t speed);

    // Exit code for an interrupted run (SIGINT, SIGTERM, Ctrl+C).
    enum { kExitInterrupted = 130 };

    // CDownloadHost
    void ShowMessage(int n) override;
    void SetProgress(int percent) override;
    void FinishTransfer() override;
    void ExitCommandLine(int exitCode) override { m_ExitCode.store(exitCode); }

    uint64_t BytesServed() const { return m_Served.load(); }
    PortProgress Snapshot();

private:
    // IFrameObserver, on the worker thread.
    void OnReceived(const unsigned char* body, int parseResult) override;
    void OnSent(const unsigned char* body) override;

    void Abort(const char* text);
    void WatchdogTick();
    // Closes the port and empties the queues; the worker must be gone or be
    // the caller.
    void ClosePort();
    // Bytes the parser skipped since the last frame go to the trace; before
    // the queues are emptied, or the bytes thrown away would count too.
    void TraceSkipped();
    std::string OpenErrorText(uint32_t speed) const;

    CConsole& m_Console;
    int m_Slot;
    const std::atomic<int>* m_Interrupt = nullptr;
    std::chrono::milliseconds m_Tick{3200};
    CTraceLog* m_Trace = nullptr;
    bool m_ReportOpenError = false;

    CSerialComm m_Port;
    std::unique_ptr<CTapLink> m_Tap;  // between worker and port while tracing
    std::atomic<int> m_ExitCode{kExitFailure};

    // Worker end, for the watchdog loop to wake on.
    std::mutex m_DoneLock;
    std::condition_variable m_DoneCond;
    bool m_Done = false;

    std::mutex m_ShownLock;
    std::string m_LastShown;

    std::atomic<int> m_Percent{0};
    int64_t m_Total = 0;
    std::atomic<uint64_t> m_Served{0};
    std::atomic<uint64_t> m_Blocks{0};
    std::atomic<uint64_t> m_Requests{0};
    std::atomic<uint64_t> m_BadFrames{0};
    std::atomic<int64_t> m_FirstFrameNs{0};  // steady clock, 0 = the box has not spoken
    std::atomic<int64_t> m_FirstServeNs{0};  // steady clock, 0 = nothing served yet
    std::atomic<int64_t> m_LastServeNs{0};

    // Rate over the last seconds and how far into the file the box has
    // got, for the time left. m_RateLock guards both.
    std::mutex m_RateLock;
    CRateWindow m_Rate;
    int64_t m_ReachedEnd = 0;

    // Worker-thread state of the trace.
    int64_t m_PendingEnd = 0;  // end of the block the last data request asked for
    uint64_t m_TracedConsumed = 0;
    bool m_TailTraced = false;
};
