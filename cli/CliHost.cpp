#include "CliHost.h"

#include "protocol/Frame.h"
#include "protocol/Messages.h"

#include <cctype>
#include <cerrno>
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

std::string FormatRate(double bytesPerSecond)
{
    char text[32];
    if (bytesPerSecond >= 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.2f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
    return text;
}

}  // namespace

CCliHost::CCliHost(std::FILE* out, bool terminal) : m_Out(out), m_Terminal(terminal) {}

CCliHost::~CCliHost() { m_Port.Close(); }

int CCliHost::Run(const std::string& file, int32_t fileSize, const std::string& port, uint32_t speed,
                  std::string& portError)
{
#ifdef _WIN32
    ::SetLastError(0);
#else
    errno = 0;
#endif
    if (!m_Port.Open(port.c_str(), speed, PortNumberOf(port))) {
#ifdef _WIN32
        DWORD err = ::GetLastError();
        char text[256] = "";
        if (err != 0)
            ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0,
                             text, sizeof text, nullptr);
        portError = text[0] ? text : "cannot open or configure the port";
        while (!portError.empty() && std::isspace(static_cast<unsigned char>(portError.back())))
            portError.pop_back();
#else
        int err = errno;
        if (err == ENOTTY)
            portError = "not a serial device";
        else if (err != 0)
            portError = std::strerror(err);
        else
            portError = "cannot configure the port at " + std::to_string(speed) + " baud";
#endif
        return kExitPort;
    }
    // No one is there to dismiss a message box.
    m_Port.SetReportToStderr(true);

    m_SelectedPath = file;
    m_FileSize.store(fileSize);
    m_Total = fileSize;
    m_pSerialPort = &m_Port;
    m_CommandLineMode = 1;
    m_WatchdogCounter.store(-1);  // counts only once the box has spoken
    {
        std::lock_guard<std::mutex> lock(m_OutLock);
        std::fprintf(m_Out, "Serving %s (%ld bytes) on %s at %u baud.\n", file.c_str(),
                     static_cast<long>(fileSize), port.c_str(), static_cast<unsigned>(speed));
        std::fflush(m_Out);
    }
    SetPendingMessage(msg::kWaiting);
    ShowMessage(-1);
    SetProgress(0);

    m_RunFlag.store(1);
    std::thread worker([this] {
        WorkerOptions options;
        options.observer = this;
        RunDownload(*this, options);
        std::lock_guard<std::mutex> lock(m_DoneLock);
        m_Done = true;
        m_DoneCond.notify_all();
    });

    bool interrupted = false;
    auto nextTick = Clock::now() + m_Tick;
    std::unique_lock<std::mutex> lock(m_DoneLock);
    while (!m_Done) {
        // Short waits keep an interrupt and the progress line responsive;
        // the process sleeps in between.
        auto until = std::min(nextTick, Clock::now() + std::chrono::milliseconds(100));
        m_DoneCond.wait_until(lock, until, [this] { return m_Done; });
        if (m_Done)
            break;
        lock.unlock();
        if (!interrupted && m_Interrupt && *m_Interrupt) {
            interrupted = true;
            {
                std::lock_guard<std::mutex> out(m_OutLock);
                PrintLine("Interrupted.");
            }
            Abort(nullptr);
        }
        if (Clock::now() >= nextTick) {
            nextTick += m_Tick;
            WatchdogTick();
        }
        if (m_Terminal) {
            std::lock_guard<std::mutex> out(m_OutLock);
            DrawProgress(false);
        }
        lock.lock();
    }
    lock.unlock();
    worker.join();

    // The worker is gone and the watcher joined by Close: nothing else
    // touches the queue now.
    m_Port.Close();
    m_Port.m_QueueRead.Reset();

    {
        std::lock_guard<std::mutex> out(m_OutLock);
        if (m_ProgressShown) {
            std::fputc('\n', m_Out);
            m_ProgressShown = false;
        }
        uint64_t served = m_Served.load();
        if (served > 0) {
            double secs = static_cast<double>(m_LastServeNs.load() - m_FirstServeNs.load()) / 1e9;
            char text[160];
            std::snprintf(text, sizeof text, "Served %llu bytes in %llu blocks, %.2f s, %s.",
                          static_cast<unsigned long long>(served),
                          static_cast<unsigned long long>(m_Blocks.load()), secs,
                          secs > 0 ? FormatRate(static_cast<double>(served) / secs).c_str() : "-");
            PrintLine(text);
        }
        std::fflush(m_Out);
    }
    return interrupted ? kExitInterrupted : m_ExitCode.load();
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
    // stuck in, and makes the worker's frame wait give up. The queue is
    // reset only once the worker, its consumer, has ended (in Run).
    m_Port.Close();
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
    // a stream of lines; each new text is printed once.
    std::string text = PendingMessage();
    std::lock_guard<std::mutex> lock(m_OutLock);
    if (text.empty() || text == m_LastShown)
        return;
    m_LastShown = text;
    PrintLine(text);
}

void CCliHost::SetProgress(int percent)
{
    std::lock_guard<std::mutex> lock(m_OutLock);
    // The drop back to 0 at the end of a transfer is the dialog's bar being
    // cleared; the last real figure stays on screen here.
    if (percent == 0 && m_Served.load() > 0)
        return;
    m_Percent = percent;
    if (m_Terminal) {
        DrawProgress(percent == 100);
        return;
    }
    if (percent >= m_NextDecile) {
        m_NextDecile = (percent / 10 + 1) * 10;
        PrintLine("Progress " + ProgressText());
    }
}

void CCliHost::FinishTransfer()
{
    SetProgress(0);
    SetPendingMessage(msg::kCompleted);
    m_WatchdogCounter.store(-1);
    m_RunFlag.store(0);
    // On the worker thread: Close joins the watcher, so the queue has no
    // producer left when it is emptied; the worker itself is the consumer.
    m_Port.Close();
    m_Port.m_QueueRead.Reset();
}

void CCliHost::OnReceived(const unsigned char*, int) {}

void CCliHost::OnSent(const unsigned char* body)
{
    if (body[1] != FT_DATA)
        return;
    int64_t now = NowNs();
    int64_t zero = 0;
    m_FirstServeNs.compare_exchange_strong(zero, now);
    m_LastServeNs.store(now);
    m_Served.fetch_add(body[2]);
    m_Blocks.fetch_add(1);
}

std::string CCliHost::ProgressText() const
{
    uint64_t served = m_Served.load();
    double secs = static_cast<double>(m_LastServeNs.load() - m_FirstServeNs.load()) / 1e9;
    double rate = secs > 0.05 ? static_cast<double>(served) / secs : 0.0;
    char text[160];
    int n = std::snprintf(text, sizeof text, "%3d%%  %llu/%lld bytes", m_Percent,
                          static_cast<unsigned long long>(served), static_cast<long long>(m_Total));
    if (rate > 0 && n > 0 && n < static_cast<int>(sizeof text)) {
        double left = static_cast<double>(m_Total) - static_cast<double>(served);
        long eta = left > 0 ? static_cast<long>(left / rate + 0.5) : 0;
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "  %s  ETA %ld:%02ld",
                      FormatRate(rate).c_str(), eta / 60, eta % 60);
    }
    return text;
}

void CCliHost::PrintLine(const std::string& text)
{
    if (m_ProgressShown) {
        // Wipe the progress line (it is drawn again below the text), except
        // a finished one, which stays as the record of the transfer.
        if (m_Percent == 100)
            std::fputc('\n', m_Out);
        else
            std::fprintf(m_Out, "\r%-79s\r", "");
        m_ProgressShown = false;
    }
    std::fprintf(m_Out, "%s\n", text.c_str());
    std::fflush(m_Out);
}

void CCliHost::DrawProgress(bool force)
{
    if (!m_Terminal || m_Served.load() == 0)
        return;
    auto now = Clock::now();
    if (!force && m_ProgressShown && now - m_LastDraw < std::chrono::milliseconds(100))
        return;
    m_LastDraw = now;
    std::fprintf(m_Out, "\r%-79s", ProgressText().c_str());
    std::fflush(m_Out);
    m_ProgressShown = true;
}
