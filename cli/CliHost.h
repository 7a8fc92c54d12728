// The command-line front end's download host: owns one serial port, runs
// the download worker on its own thread and, on the calling thread, the
// watchdog that ends a transfer once the box falls silent. Status texts go
// to a stream as lines, with progress either as one updating line (on a
// terminal) or as a line every 10 %.
#pragma once

#include "protocol/DownloadHost.h"
#include "protocol/DownloadWorker.h"
#include "protocol/Messages.h"
#include "serial/SerialComm.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class CCliHost : public CDownloadHost, private IFrameObserver {
public:
    using Clock = std::chrono::steady_clock;

    // out receives status and progress lines; terminal selects the single
    // updating progress line.
    CCliHost(std::FILE* out, bool terminal);
    ~CCliHost() override;

    // Non-zero ends the transfer as an interruption (set by a signal
    // handler, hence a plain sig_atomic_t).
    void SetInterruptFlag(volatile std::sig_atomic_t* flag) { m_Interrupt = flag; }
    // The watchdog's period; a transfer ends after more than 3 ticks
    // without a request.
    void SetWatchdogTick(std::chrono::milliseconds tick) { m_Tick = tick; }

    // Opens the port, serves file (size measured by the caller) until the
    // transfer ends and returns the process exit code. A port that cannot
    // be opened gives kExitPort with portError set to the reason.
    int Run(const std::string& file, int32_t fileSize, const std::string& port, uint32_t speed,
            std::string& portError);

    // Exit code for an interrupted run (SIGINT, SIGTERM, Ctrl+C).
    enum { kExitInterrupted = 130 };

    // CDownloadHost
    void ShowMessage(int n) override;
    void SetProgress(int percent) override;
    void FinishTransfer() override;
    void ExitCommandLine(int exitCode) override { m_ExitCode.store(exitCode); }

    uint64_t BytesServed() const { return m_Served.load(); }

private:
    // IFrameObserver, on the worker thread.
    void OnReceived(const unsigned char* body, int parseResult) override;
    void OnSent(const unsigned char* body) override;

    void Abort(const char* text);
    void WatchdogTick();
    // Caller holds m_OutLock.
    void PrintLine(const std::string& text);
    void DrawProgress(bool force);
    std::string ProgressText() const;

    std::FILE* m_Out;
    bool m_Terminal;
    volatile std::sig_atomic_t* m_Interrupt = nullptr;
    std::chrono::milliseconds m_Tick{3200};

    CSerialComm m_Port;
    std::atomic<int> m_ExitCode{kExitFailure};

    // Worker end, for the watchdog loop to wake on.
    std::mutex m_DoneLock;
    std::condition_variable m_DoneCond;
    bool m_Done = false;

    // Output and progress state, guarded by m_OutLock.
    std::mutex m_OutLock;
    std::string m_LastShown;
    bool m_ProgressShown = false;
    int m_Percent = 0;
    int m_NextDecile = 10;
    Clock::time_point m_LastDraw{};
    int64_t m_Total = 0;

    std::atomic<uint64_t> m_Served{0};
    std::atomic<uint64_t> m_Blocks{0};
    std::atomic<int64_t> m_FirstServeNs{0};  // steady clock, 0 = nothing served yet
    std::atomic<int64_t> m_LastServeNs{0};
};
