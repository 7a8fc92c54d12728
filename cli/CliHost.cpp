#include "CliHost.h"

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
#endif

namespace {

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               CCliHost::Clock::now().time_since_epoch())
        .count();
}

double SecondsBetween(int64_t fromNs, int64_t toNs) { return static_cast<double>(toNs - fromNs) / 1e9; }

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

const char* ResultName(TransferResult result, bool interrupted)
{
    if (interrupted)
        return "interrupted";
    switch (result) {
    case TransferResult::Completed: return "completed";
    case TransferResult::FileOpenError: return "file_error";
    case TransferResult::SizeOver: return "size_over";
    case TransferResult::ReadError: return "read_error";
    case TransferResult::PortLost: return "port_lost";
    case TransferResult::Stopped: return "timeout";
    }
    return "error";
}

}  // namespace

CCliHost::CCliHost(CConsole& console, int slot) : m_Console(console), m_Slot(slot) {}

CCliHost::~CCliHost()
{
    m_Port.Close();
    if (m_Tap)
        m_Tap->Stop();
}

std::string CCliHost::OpenErrorText(uint32_t speed) const
{
#ifdef _WIN32
    (void)speed;
    DWORD err = ::GetLastError();
    char text[256] = "";
    if (err != 0)
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text,
                         sizeof text, nullptr);
    std::string why = text[0] ? text : "cannot open or configure the port";
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

PortOutcome CCliHost::Run(const std::string& file, int32_t fileSize, const std::string& port, uint32_t speed)
{
    PortOutcome out;
    out.port = port;
    const int64_t startNs = NowNs();

#ifdef _WIN32
    ::SetLastError(0);
#else
    errno = 0;
#endif
    if (!m_Port.Open(port.c_str(), speed, PortNumberOf(port))) {
        out.exitCode = kExitPort;
        out.result = "port_error";
        out.status = msg::kInitFailed;
        out.detail = OpenErrorText(speed);
        if (m_ReportOpenError)
            m_Console.Note(m_Slot, std::string(msg::kInitFailed) + " " + out.detail, true);
        if (m_Trace)
            m_Trace->Note(std::string("cannot open ") + port + ": " + out.detail);
        out.elapsed = SecondsBetween(startNs, NowNs());
        return out;
    }
    // No one is there to dismiss a message box.
    m_Port.SetReportToStderr(true);

    m_SelectedPath = file;
    m_FileSize.store(fileSize);
    m_Total = fileSize;
    if (m_Trace) {
        m_Tap.reset(new CTapLink(m_Port));
        m_Tap->Start();
        m_pSerialPort = m_Tap.get();
        m_Trace->Note("port " + port + ", " + std::to_string(speed) + " baud, file " + file + " (" +
                      std::to_string(fileSize) + " bytes)");
    } else {
        m_pSerialPort = &m_Port;
    }
    m_CommandLineMode = 1;
    m_WatchdogCounter.store(-1);  // counts only once the box has spoken
    {
        char text[64];
        std::snprintf(text, sizeof text, " (%ld bytes) on ", static_cast<long>(fileSize));
        m_Console.Note(m_Slot, "Serving " + file + text + port + " at " + std::to_string(speed) + " baud.");
    }
    SetPendingMessage(msg::kWaiting);
    ShowMessage(-1);
    SetProgress(0);

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

    bool interrupted = false;
    auto nextTick = Clock::now() + m_Tick;
    std::unique_lock<std::mutex> lock(m_DoneLock);
    while (!m_Done) {
        // Short waits keep an interrupt and the progress line responsive;
        // the thread sleeps in between.
        auto until = std::min(nextTick, Clock::now() + std::chrono::milliseconds(100));
        m_DoneCond.wait_until(lock, until, [this] { return m_Done; });
        if (m_Done)
            break;
        lock.unlock();
        if (!interrupted && m_Interrupt && m_Interrupt->load() != 0) {
            interrupted = true;
            m_Console.Note(m_Slot, "Interrupted.", true);
            Abort(nullptr);
        }
        if (Clock::now() >= nextTick) {
            nextTick += m_Tick;
            WatchdogTick();
        }
        if (m_Served.load() > 0)
            m_Console.Progress(m_Slot, Snapshot(), false);
        if (m_Trace)
            m_Trace->Flush();
        lock.lock();
    }
    lock.unlock();
    worker.join();
    const int64_t endNs = NowNs();

    // The worker is gone: nothing else touches the queues now.
    ClosePort();

    uint64_t served = m_Served.load();
    if (served > 0) {
        double secs = SecondsBetween(m_FirstServeNs.load(), m_LastServeNs.load());
        char text[160];
        std::snprintf(text, sizeof text, "Served %llu bytes in %llu blocks, %.2f s, %s.",
                      static_cast<unsigned long long>(served),
                      static_cast<unsigned long long>(m_Blocks.load()), secs,
                      secs > 0 ? FormatRate(static_cast<double>(served) / secs).c_str() : "-");
        m_Console.Note(m_Slot, text);
    }

    out.exitCode = interrupted ? static_cast<int>(kExitInterrupted) : m_ExitCode.load();
    out.result = ResultName(result, interrupted);
    {
        std::lock_guard<std::mutex> g(m_ShownLock);
        out.status = interrupted ? std::string("Interrupted.") : m_LastShown;
    }
    out.served = served;
    out.blocks = m_Blocks.load();
    out.requests = m_Requests.load();
    out.badFrames = m_BadFrames.load();
    out.elapsed = SecondsBetween(startNs, endNs);
    int64_t first = m_FirstFrameNs.load();
    out.transferSeconds = first ? SecondsBetween(first, endNs) : 0.0;
    if (m_Trace) {
        m_Trace->Note("end: " + out.status + " (" + out.result + ")");
        m_Trace->Flush();
    }
    return out;
}

void CCliHost::ClosePort()
{
    // Close joins the watcher, Stop the pump: the queues have no producer
    // left when they are emptied; the worker, their consumer, is the caller
    // or gone.
    m_Port.Close();
    if (m_Tap) {
        m_Tap->Stop();
        TraceSkipped();
        m_Tap->m_QueueRead.Reset();
    }
    m_Port.m_QueueRead.Reset();
}

void CCliHost::TraceSkipped()
{
    if (!m_Trace || !m_Tap || m_TailTraced)
        return;
    uint64_t consumed = m_Tap->Consumed();
    if (consumed > m_TracedConsumed)
        m_Trace->Garbage(consumed - m_TracedConsumed);
    m_TracedConsumed = consumed;
    m_TailTraced = true;
}

void CCliHost::WatchdogTick()
{
    // The worker stores 0 on every request; count up only while counting.
    int32_t cur = m_WatchdogCounter.load();
    while (cur >= 0 && !m_WatchdogCounter.compare_exchange_weak(cur, cur + 1)) {
    }
    if (cur < 0 || cur + 1 <= 3)
        return;
    m_WatchdogCounter.store(-1);
    SetProgress(0);
    Abort(msg::kExternalError);
}

void CCliHost::Abort(const char* text)
{
    // Close first: it joins the watcher and wakes a write the worker may be
    // stuck in, and makes the worker's frame wait give up. The queues are
    // reset only once the worker, their consumer, has ended (in Run).
    m_Port.Close();
    if (m_Tap)
        m_Tap->Stop();
    if (text) {
        SetPendingMessage(text);
        ShowMessage(3);
    }
    m_WatchdogCounter.store(-1);
    m_RunFlag.store(0);
}

void CCliHost::ShowMessage(int)
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
    m_Console.Status(m_Slot, text);
}

void CCliHost::SetProgress(int percent)
{
    // The drop back to 0 at the end of a transfer is the dialog's bar being
    // cleared; the last real figure stays on screen here.
    if (percent == 0 && m_Served.load() > 0)
        return;
    m_Percent.store(percent);
    m_Console.Progress(m_Slot, Snapshot(), percent == 100);
}

void CCliHost::FinishTransfer()
{
    SetProgress(0);
    SetPendingMessage(msg::kCompleted);
    m_WatchdogCounter.store(-1);
    m_RunFlag.store(0);
    // On the worker thread, the queues' consumer.
    ClosePort();
}

PortProgress CCliHost::Snapshot()
{
    PortProgress p;
    p.percent = m_Percent.load();
    p.served = m_Served.load();
    p.total = m_Total;
    std::lock_guard<std::mutex> g(m_RateLock);
    auto now = Clock::now();
    p.rate = m_Rate.Rate(now);
    uint64_t remaining = m_Total > m_ReachedEnd ? static_cast<uint64_t>(m_Total - m_ReachedEnd) : 0;
    p.eta = m_Rate.EtaSeconds(now, remaining);
    return p;
}

void CCliHost::OnReceived(const unsigned char* body, int parseResult)
{
    int64_t zero = 0;
    m_FirstFrameNs.compare_exchange_strong(zero, NowNs());
    if (parseResult == kParseOk) {
        m_Requests.fetch_add(1);
        if (body[1] == FT_DATA_REQ && body[2] >= 4)
            m_PendingEnd = ((int64_t(body[4]) << 16) | (int64_t(body[5]) << 8) | int64_t(body[6])) + body[3];
    } else {
        m_BadFrames.fetch_add(1);
    }
    if (!m_Trace)
        return;
    if (m_Tap) {
        // What the parser took since the last frame, less this frame, it
        // skipped.
        uint64_t consumed = m_Tap->Consumed();
        uint64_t frame = static_cast<uint64_t>(body[2]) + kFrameMagicSize + kFrameHeaderSize + 1;
        if (consumed > m_TracedConsumed + frame)
            m_Trace->Garbage(consumed - m_TracedConsumed - frame);
        m_TracedConsumed = consumed;
    }
    m_Trace->Received(body);
}

void CCliHost::OnSent(const unsigned char* body)
{
    if (m_Trace)
        m_Trace->Sent(body);
    if (body[1] != FT_DATA)
        return;
    int64_t now = NowNs();
    int64_t zero = 0;
    m_FirstServeNs.compare_exchange_strong(zero, now);
    m_LastServeNs.store(now);
    m_Served.fetch_add(body[2]);
    m_Blocks.fetch_add(1);
    std::lock_guard<std::mutex> g(m_RateLock);
    m_Rate.Add(Clock::now(), body[2]);
    m_ReachedEnd = std::max(m_ReachedEnd, m_PendingEnd);
}
