#include "PortHost.h"

#include "RecordPath.h"

#include "FileIdentity.h"

#include "protocol/Frame.h"
#include "protocol/Messages.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "framework/WideText.h"
#endif

namespace {

// Texts of this front end's own ends.
const char kInterrupted[] = "Interrupted.";
const char kIncomplete[] = "Error : The box asked for only part of the file.";

// "COM3" -> 3, anything else -> 0; stored by the port, not otherwise used.
uint16_t PortNumberOf(const std::string& port)
{
    size_t i = port.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(port[i - 1])))
        --i;
    if (i == port.size() || port.size() - i > 4)
        return 0;
    return static_cast<uint16_t>(std::stoi(port.substr(i)));
}

struct Ending {
    const char* result;
    int exitCode;
    const char* status;
};

Ending EndingOf(TransferResult result)
{
    switch (result) {
    case TransferResult::Completed: return {"completed", kExitOk, msg::kCompleted};
    case TransferResult::FileOpenError: return {"file_error", kExitFile, msg::kFileOpenError};
    case TransferResult::SizeOver: return {"size_over", kExitTransfer, msg::kSizeOver};
    case TransferResult::ReadError: return {"read_error", kExitTransfer, msg::kReadingFail};
    case TransferResult::PortLost: return {"port_lost", kExitTransfer, msg::kPortLost};
    case TransferResult::Stopped: break;
    }
    return {"timeout", kExitTimeout, msg::kExternalError};
}

}  // namespace

CPortHost::CPortHost(CPortEvents& events, const std::string& port)
    : m_Events(events), m_PortName(port), m_RecordPort(RecordPath(port))
{
}

CPortHost::~CPortHost()
{
    m_Port.Close();
    if (m_Tap)
        m_Tap->Stop();
}

std::string CPortHost::OpenErrorText(uint32_t speed) const
{
    if (!m_Port.OpenError().empty())
        return m_Port.OpenError();
#ifdef _WIN32
    (void)speed;
    DWORD err = ::GetLastError();
    wchar_t text[256] = L"";
    if (err != 0)
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text, 256,
                         nullptr);
    std::string why = text[0] ? Narrow(text) : "cannot open or configure the port";
    while (!why.empty() && std::isspace(static_cast<unsigned char>(why.back())))
        why.pop_back();
    return why;
#else
    int err = errno;
    if (err == ENOTTY)
        return "not a serial device";
    if (err != 0)
        return std::strerror(err);
    return "cannot configure the port at " + std::to_string(speed) + " baud";
#endif
}

Tone CPortHost::ToneOf(const std::string& text) const
{
    if (text == msg::kCompleted)
        return Tone::Good;
    if (text.rfind("Error", 0) == 0 || text == msg::kExternalError || text == msg::kInitFailed ||
        text == kInterrupted)
        return Tone::Bad;
    return Tone::Plain;
}

bool CPortHost::OpenPort(uint32_t speed, BoxRecord& failure, bool report)
{
    // Chosen before the watcher exists: no one is there to dismiss a
    // message box, and the board must not be written behind its back.
    m_Port.SetReportToStderr(true);
    m_Port.SetNoticeSink([this](const std::string& text) { m_Events.Error(text); });
#ifdef _WIN32
    ::SetLastError(0);
#else
    errno = 0;
#endif
    const int64_t startMs = WallMs();
    if (!m_Port.Open(m_PortName.c_str(), speed, PortNumberOf(m_PortName))) {
        failure = BoxRecord();
        failure.port = m_RecordPort;
        failure.portById = m_ById;
        failure.usbSerial = m_UsbSerial;
        failure.speed = speed;
        failure.exitCode = kExitPort;
        failure.result = "port_error";
        failure.status = msg::kInitFailed;
        failure.detail = OpenErrorText(speed);
        failure.startMs = startMs;
        failure.endMs = std::max(WallMs(), startMs);
        if (!report)
            return false;
        m_Events.Status(msg::kInitFailed, Tone::Bad, true);
        m_Events.Error(std::string(msg::kInitFailed) + " " + m_PortName + ": " + failure.detail);
        if (m_Trace)
            m_Trace->Note("cannot open " + m_PortName + ": " + failure.detail);
        return false;
    }
    m_PortOpen = true;
    m_TailTraced = false;
    m_TracedConsumed = 0;
    if (m_Trace) {
        m_Tap.reset(new CTapLink(m_Port));
        m_Tap->Start();
        m_pSerialPort = m_Tap.get();
    } else {
        m_pSerialPort = &m_Port;
    }
    return true;
}

void CPortHost::ClosePort()
{
    // Close joins the watcher, Stop the pump: the queues have no producer
    // left when they are emptied; the worker, their consumer, is gone.
    m_Port.Close();
    if (m_Tap) {
        m_Tap->Stop();
        TraceSkipped();
        m_Tap->m_QueueRead.Reset();
    }
    m_Port.m_QueueRead.Reset();
    m_PortOpen = false;
}

std::unique_ptr<CServedImage> CPortHost::OpenServedImage(const std::string&)
{
    // Every box of the run is served the copy read when the run started.
    return m_Plan.image ? m_Plan.image->Reader() : nullptr;
}

CPortHost::Served CPortHost::ServeBox(const ServePlan& plan)
{
    m_Plan = plan;
    const CPinnedImage& image = *plan.image;
    m_Addressable = image.Reachable();
    m_SelectedPath = image.Path();
    m_FileSize.store(ClampFileSize(image.FileSize()));
    m_CommandLineMode = 1;
    StartBox(NowNs());
    m_HostEnd.store(static_cast<int>(HostEnd::None));
    BeginTransfer();
    m_WatchdogCounter.store(-1);  // counts only once the box has spoken
    {
        std::lock_guard<std::mutex> g(m_ShownLock);
        m_LastShown.clear();
    }
    if (m_Trace)
        m_Trace->Note("port " + m_PortName + ", " + std::to_string(plan.speed) + " baud, file " + image.Path() +
                      " (" + std::to_string(image.FileSize()) + " bytes)" +
                      (plan.loop ? ", box " + std::to_string(m_BoxesEnded + 1) : ""));
    if (m_BoxesEnded == 0)
        m_Events.Note("Serving " + image.Path() + " (" + std::to_string(image.FileSize()) + " bytes) on " +
                      m_PortName + " at " + std::to_string(plan.speed) + " baud.");
    m_Events.BoxWaiting();
    SetPendingMessage(msg::kWaiting);
    ShowMessage(-1);

    {
        std::lock_guard<std::mutex> lock(m_DoneLock);
        m_Done = false;
    }
    m_RunFlag.store(1);
    TransferResult result = TransferResult::Stopped;
    std::thread worker([this, &result] {
        WorkerOptions options;
        options.observer = this;
        result = RunDownload(*this, options);
        std::lock_guard<std::mutex> lock(m_DoneLock);
        m_Done = true;
        m_DoneCond.notify_all();
    });

    auto nextTick = Clock::now() + m_Tick;
    const auto waitLimit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(plan.waitTimeout));
    const auto waitStart = Clock::now();
    std::unique_lock<std::mutex> lock(m_DoneLock);
    while (!m_Done) {
        // Short waits keep an interrupt and the progress line responsive;
        // the thread sleeps in between.
        auto until = std::min(nextTick, Clock::now() + std::chrono::milliseconds(100));
        m_DoneCond.wait_until(lock, until, [this] { return m_Done; });
        if (m_Done)
            break;
        lock.unlock();
        bool greeted;
        {
            std::lock_guard<std::mutex> g(m_BoxLock);
            greeted = m_Box.firstHelloNs != 0;
        }
        bool stop = m_Interrupt && m_Interrupt->load() != 0;
        if (!stop && plan.loop && m_NoMoreBoxes && m_NoMoreBoxes())
            stop = !greeted;
        if (stop && EndByHost(HostEnd::Interrupted, kInterrupted))
            StopWorker(true);
        if (plan.waitTimeout > 0 && Clock::now() - waitStart >= waitLimit && !greeted) {
            char text[96];
            std::snprintf(text, sizeof text, "No box greeted within %g s.", plan.waitTimeout);
            if (EndByHost(HostEnd::NoBox, text))
                StopWorker(!plan.loop);
        }
        if (Clock::now() >= nextTick) {
            nextTick += m_Tick;
            WatchdogTick();
        }
        PortProgress p = Snapshot();
        if (p.served > 0)
            m_Events.Progress(p, false);
        if (m_Trace)
            m_Trace->Flush();
        lock.lock();
    }
    lock.unlock();
    worker.join();
    const int64_t endNs = NowNs();

    const HostEnd hostEnd = static_cast<HostEnd>(m_HostEnd.load());
    bool greeted;
    {
        std::lock_guard<std::mutex> g(m_BoxLock);
        greeted = m_Box.firstHelloNs != 0;
    }
    // The worker is gone: nothing else touches the queues now.
    if (!plan.loop || hostEnd == HostEnd::Interrupted || result == TransferResult::PortLost)
        ClosePort();
    // In a shift, a port that no box greeted has no box to record: neither
    // when the run ends nor when its adapter goes away.
    if (plan.loop && !greeted) {
        if (hostEnd == HostEnd::Interrupted)
            return Served::NoBox;
        if (result == TransferResult::PortLost && hostEnd == HostEnd::None) {
            if (m_Trace)
                m_Trace->Note("port lost while no box was on it: " + m_Port.LostReason());
            return Served::Lost;
        }
    }

    Ending e = EndingOf(result);
    std::string status = e.status;
    BoxRecord record;
    record.result = e.result;
    record.exitCode = e.exitCode;
    if (hostEnd == HostEnd::Interrupted) {
        record.result = "interrupted";
        record.exitCode = kExitInterrupted;
        status = kInterrupted;
    } else if (hostEnd == HostEnd::Timeout) {
        record.result = "timeout";
        record.exitCode = kExitTimeout;
        status = msg::kExternalError;
    } else if (hostEnd == HostEnd::NoBox) {
        record.result = "no_box";
        record.exitCode = kExitTimeout;
        status = PendingMessage();
    }
    FillRecord(record, endNs);
    if (record.result == std::string("completed") && plan.requireFull &&
        static_cast<long long>(record.requested) < m_Addressable) {
        record.result = "incomplete";
        record.exitCode = kExitTransfer;
        status = kIncomplete;
        SetPendingMessage(kIncomplete);
        ShowMessage(3);
    }
    record.status = status;
    record.detail = DetailOf(record, hostEnd, result, endNs);
    FinishRecord(record);
    return Served::Box;
}

bool CPortHost::EndByHost(HostEnd why, const std::string& text)
{
    if (!ClaimEnd())
        return false;
    m_HostEnd.store(static_cast<int>(why));
    SetPendingMessage(text);
    ShowMessage(3);
    return true;
}

void CPortHost::StopWorker(bool closePort)
{
    // Closing wakes a write the worker may be stuck in and makes its frame
    // wait give up; the queues are reset only once the worker, their
    // consumer, has ended. In a shift the port stays open for the next
    // box: the run flag alone ends the worker's wait.
    if (closePort) {
        m_Port.Close();
        if (m_Tap)
            m_Tap->Stop();
    }
    m_WatchdogCounter.store(-1);
    m_RunFlag.store(0);
}

void CPortHost::WatchdogTick()
{
    // The worker stores 0 on every request; count up only while counting.
    int32_t cur = m_WatchdogCounter.load();
    while (cur >= 0 && !m_WatchdogCounter.compare_exchange_weak(cur, cur + 1)) {
    }
    if (cur < 0 || cur + 1 <= 3)
        return;
    if (EndByHost(HostEnd::Timeout, msg::kExternalError))
        StopWorker(!m_Plan.loop);
}

void CPortHost::ShowMessage(int)
{
    // The countdown that clears the dialog's status line has no meaning for
    // a stream of lines; each new text is shown once.
    std::string text = PendingMessage();
    // Held while the text is shown, so texts from the worker and from the
    // watchdog appear in the order they were decided.
    std::lock_guard<std::mutex> lock(m_ShownLock);
    if (text.empty() || text == m_LastShown)
        return;
    m_LastShown = text;
    m_Events.Status(text, ToneOf(text));
}

void CPortHost::SetProgress(int percent)
{
    // The figure is the dialog's bar; here progress counts the bytes the box
    // asked for, so the call only says when to draw.
    PortProgress p = Snapshot();
    if (p.served > 0)
        m_Events.Progress(p, percent == 100);
}

void CPortHost::FinishTransfer()
{
    // The worker claimed the end before it called this.
    SetPendingMessage(msg::kCompleted);
    m_WatchdogCounter.store(-1);
    m_RunFlag.store(0);
    if (!m_Plan.loop) {
        // Let go of the line at once; the port's thread empties the queues
        // once the worker is gone.
        m_Port.Close();
        if (m_Tap)
            m_Tap->Stop();
    }
}

void CPortHost::TraceSkipped()
{
    if (!m_Trace || !m_Tap || m_TailTraced)
        return;
    uint64_t consumed = m_Tap->Consumed();
    if (consumed > m_TracedConsumed)
        m_Trace->Garbage(consumed - m_TracedConsumed);
    m_TracedConsumed = consumed;
    m_TailTraced = true;
}

