// What the download worker uses of its host: the Windows main dialog and
// the command-line downloader both implement this.
#pragma once

#include "ServedImage.h"
#include "serial/SerialLink.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

class CDownloadHost {
public:
    virtual ~CDownloadHost() = default;

    // File to serve; read once when the worker starts.
    std::string m_SelectedPath;
    // Size of that file, measured when it was chosen; the worker sets it to
    // 0 when it ends.
    std::atomic<int32_t> m_FileSize{0};
    // The worker's request loop runs while non-zero.
    std::atomic<int> m_RunFlag{0};
    // The open port: its queue feeds the parser, replies are written to it.
    CSerialLink* m_pSerialPort = nullptr;
    // -1 = not counting; set to 0 by the worker on every hello, data or
    // time request; counted up by the host's watchdog timer.
    std::atomic<int32_t> m_WatchdogCounter{-1};
    // When set, the process ends after the worker ends.
    int m_CommandLineMode = 0;

    // The next text for the status line. Written by the worker and by the
    // host's own thread, so it is handed over under a lock.
    void SetPendingMessage(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m_PendingLock);
        m_PendingMessage = text;
    }
    std::string PendingMessage() const
    {
        std::lock_guard<std::mutex> lock(m_PendingLock);
        return m_PendingMessage;
    }

    // One end per transfer. The worker's FinishTransfer (FT_DONE, a block
    // error) and the host's own abort (watchdog, Stop and Exit, interrupt)
    // run on different threads and can meet: whichever claims the end
    // first decides it, and the other must change nothing. The host calls
    // BeginTransfer before it starts a worker.
    void BeginTransfer()
    {
        std::lock_guard<std::mutex> lock(m_PendingLock);
        m_EndClaimed = false;
    }
    bool ClaimEnd()
    {
        std::lock_guard<std::mutex> lock(m_PendingLock);
        if (m_EndClaimed)
            return false;
        m_EndClaimed = true;
        return true;
    }
    bool EndClaimed() const
    {
        std::lock_guard<std::mutex> lock(m_PendingLock);
        return m_EndClaimed;
    }
    // A text about a transfer still running ("Downloading Processing..").
    // Refused once the end is claimed, under the same lock as the claim, so
    // a late request cannot put it over the text of the end.
    bool SetRunningMessage(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m_PendingLock);
        if (m_EndClaimed)
            return false;
        m_PendingMessage = text;
        return true;
    }

    // Show the pending message; n = -1 keeps it, n >= 0 clears it after a
    // countdown of n * 20 ticks of a 1 ms timer.
    virtual void ShowMessage(int n) = 0;
    // Progress bar position, 0..100.
    virtual void SetProgress(int percent) = 0;
    // End the transfer: progress 0, "Completely Transfered!", watchdog
    // stopped, run flag cleared, port closed, queue emptied, controls on.
    virtual void FinishTransfer() = 0;
    // Opens the file to serve, read-only and without text translation. A
    // host whose paths the narrow C runtime cannot open (UTF-8 on Windows)
    // opens them its own way.
    virtual std::FILE* OpenServedFile(const std::string& path) { return std::fopen(path.c_str(), "rb"); }
    // Where the worker reads its blocks: by default the file at path, read
    // as it is at each request. nullptr when it cannot be opened.
    virtual std::unique_ptr<CServedImage> OpenServedImage(const std::string& path)
    {
        std::FILE* f = OpenServedFile(path);
        return f ? std::unique_ptr<CServedImage>(new CFileImage(f)) : nullptr;
    }
    // Command-line mode: how the process ends once the worker is done.
    virtual void ExitCommandLine(int exitCode) { std::exit(exitCode); }

private:
    mutable std::mutex m_PendingLock;
    std::string m_PendingMessage;
    bool m_EndClaimed = false;
};

// A file size as the host keeps it: signed 32-bit. Sizes past 2 GiB are held
// at the largest value instead of wrapping negative, so every block the box
// can address (24-bit offsets) is still served.
inline int32_t ClampFileSize(long long size)
{
    if (size < 0)
        return 0;
    return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}
