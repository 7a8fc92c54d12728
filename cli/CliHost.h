// The command-line front end's download host for one port: owns the serial
// port, and serves one box at a time on it: the download worker runs on a
// thread of its own, and on the calling thread the watchdog that ends a
// box once it falls silent. Each box gets a fresh worker, watchdog and
// record; in a shift the port stays open from box to box. Several hosts
// run side by side, one per port, each on its own thread; they share only
// the console, the interrupt flag and the record sink.
#pragma once

#include "BoxRecord.h"
#include "Console.h"
#include "Coverage.h"
#include "RateWindow.h"
#include "Sha256.h"
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
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// How a port's boxes are served.
struct ServePlan {
    std::string file;
    long long fileSize = 0;    // the real size, past 2 GiB too
    uint32_t speed = 115200;
    bool loop = false;         // a shift: the port stays open for the next box
    bool requireFull = false;  // a box that asked for less than all it can reach fails
    double waitTimeout = 0;    // seconds for the first hello; 0 = no limit
};

// Bytes the box can ask for: 24-bit offsets plus a block of up to 255.
constexpr long long kAddressableLimit = (1LL << 24) + 254;
inline long long AddressableBytes(long long fileSize)
{
    return fileSize < kAddressableLimit ? (fileSize > 0 ? fileSize : 0) : kAddressableLimit;
}

class CCliHost : public CDownloadHost, private IFrameObserver {
public:
    using Clock = std::chrono::steady_clock;
    // A finished record, handed over before the port takes its next box;
    // the sink makes it durable before it returns. Called on the port's
    // thread, or on the worker's for a box that was reset.
    using RecordSink = std::function<void(BoxRecord& record)>;

    // The port's lines go to console slot slot.
    CCliHost(CConsole& console, int slot, const std::string& port);
    ~CCliHost() override;

    // Non-zero ends the run as an interruption (read by every port's
    // thread, written by a signal handler: a lock-free atomic).
    void SetInterruptFlag(const std::atomic<int>* flag) { m_Interrupt = flag; }
    // In a shift: true when the port is to take no further box (the log
    // failed); a port still waiting for one then stops.
    void SetNoMoreBoxes(std::function<bool()> check) { m_NoMoreBoxes = std::move(check); }
    // The watchdog's period; a box is given up after more than 3 ticks
    // without a request.
    void SetWatchdogTick(std::chrono::milliseconds tick) { m_Tick = tick; }
    // Every frame and every run of skipped bytes goes to trace (owned by
    // the caller, used only by this host).
    void SetTrace(CTraceLog* trace) { m_Trace = trace; }
    void SetRecordSink(RecordSink sink) { m_Sink = std::move(sink); }
    // The port's stable name and its adapter's serial number, for the records.
    void SetPortIdentity(const std::string& byId, const std::string& usbSerial)
    {
        m_ById = byId;
        m_UsbSerial = usbSerial;
    }

    // Opens the port. false with the failure's record (port_error) filled;
    // said on the console when report.
    bool OpenPort(uint32_t speed, BoxRecord& failure, bool report);
    // Waits for a box on the open port and serves it until it ends.
    // Returns false, with nothing to record, when the run was interrupted
    // before any box spoke in a shift.
    bool ServeBox(const ServePlan& plan, BoxRecord& record);
    void ClosePort();
    // Boxes ended on this port, reset ones included.
    int BoxesEnded() const { return m_BoxesEnded.load(); }

    // Exit code for an interrupted run (SIGINT, SIGTERM, SIGHUP, Ctrl+C).
    enum { kExitInterrupted = 130 };

    // CDownloadHost
    void ShowMessage(int n) override;
    void SetProgress(int percent) override;
    void FinishTransfer() override;
    void ExitCommandLine(int) override {}
    std::FILE* OpenServedFile(const std::string& path) override;

private:
    static int64_t NowNs()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    }
    static int64_t WallMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    static double SecondsBetween(int64_t fromNs, int64_t toNs) { return static_cast<double>(toNs - fromNs) / 1e9; }

    // Which end the host claimed, if any.
    enum class HostEnd { None, Interrupted, Timeout, NoBox };

    // Per-box statistics, written by the worker's thread and read by the
    // port's; m_BoxLock guards them.
    struct BoxStats {
        uint64_t served = 0, blocks = 0, requests = 0, rerequests = 0, badFrames = 0;
        CCoverage requested;  // distinct bytes asked for, within the file
        CCoverage delivered;  // bytes served
        int64_t hashedEnd = 0;     // the hash covers [0, hashedEnd)
        bool hashBroken = false;   // a block left a gap: the hash stops there
        int64_t firstFrameNs = 0;  // steady clock, 0 = the box has not spoken
        int64_t firstHelloNs = 0;
        int64_t firstServeNs = 0, lastServeNs = 0;
        int64_t waitStartNs = 0;   // steady clock: the port began waiting for this box
        int64_t startMs = 0;       // wall clock of the record's start
        bool greeted = false;        // as the worker sees it
        bool askedForData = false;   // a data request since the greeting
        int64_t pendingOffset = -1;  // the data request being answered
    };

    // IFrameObserver, on the worker thread.
    void OnReceived(const unsigned char* body, int parseResult) override;
    void OnSent(const unsigned char* body) override;

    void StartBox(int64_t waitStartNs);
    // The host ends the box: the later end changes nothing.
    bool EndByHost(HostEnd why, const std::string& text);
    void StopWorker(bool closePort);
    void WatchdogTick();
    void FillRecord(BoxRecord& r, int64_t endNs);
    void FinishRecord(BoxRecord& r);
    PortProgress Snapshot();
    void TraceSkipped();
    std::string OpenErrorText(uint32_t speed) const;
    Tone ToneOf(const std::string& text) const;

    CConsole& m_Console;
    int m_Slot;
    std::string m_PortName;
    std::string m_ById, m_UsbSerial;
    const std::atomic<int>* m_Interrupt = nullptr;
    std::function<bool()> m_NoMoreBoxes;
    std::chrono::milliseconds m_Tick{3200};
    CTraceLog* m_Trace = nullptr;
    RecordSink m_Sink;

    CSerialComm m_Port;
    std::unique_ptr<CTapLink> m_Tap;  // between worker and port while tracing
    bool m_PortOpen = false;          // the port's own thread only
    std::atomic<int> m_BoxesEnded{0};  // the port's thread, or the worker's at a reset

    ServePlan m_Plan;                 // set before the worker starts, then read-only
    int64_t m_Addressable = 0;
    std::atomic<int> m_HostEnd{0};    // a HostEnd

    // Worker end, for the watchdog loop to wake on.
    std::mutex m_DoneLock;
    std::condition_variable m_DoneCond;
    bool m_Done = false;

    std::mutex m_ShownLock;
    std::string m_LastShown;

    std::mutex m_BoxLock;
    BoxStats m_Box;
    CRateWindow m_Rate;
    CSha256 m_Hash;

    // Worker-thread state of the trace.
    uint64_t m_TracedConsumed = 0;
    bool m_TailTraced = false;
};
