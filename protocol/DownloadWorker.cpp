#include "DownloadWorker.h"

#include "DownloadHost.h"
#include "Frame.h"
#include "Messages.h"
#include "serial/SerialLink.h"

#include <cstdio>

int ExitCodeFor(TransferResult result)
{
    switch (result) {
    case TransferResult::Completed: return kExitOk;
    case TransferResult::FileOpenError: return kExitFile;
    case TransferResult::SizeOver:
    case TransferResult::ReadError:
    case TransferResult::PortLost: return kExitTransfer;
    case TransferResult::Stopped: return kExitTimeout;
    }
    return kExitFailure;
}

namespace {

// The parser may wait for the rest of a frame only while the transfer runs
// and the port is up; otherwise a stopped worker would sit in the wait and
// live on into the next transfer.
class TransferWait : public IParseWait {
public:
    TransferWait(CDownloadHost& host, CSerialLink& port) : m_Host(host), m_Port(port) {}
    bool KeepWaiting() override
    {
        return m_Host.m_RunFlag.load() != 0 && m_Port.IsConnected() && !m_Port.IsLost();
    }

private:
    CDownloadHost& m_Host;
    CSerialLink& m_Port;
};

class Session {
public:
    Session(CDownloadHost& host, const WorkerOptions& options)
        : m_Host(host), m_Options(options), m_Port(*host.m_pSerialPort)
    {
    }

    TransferResult Run();

private:
    void RequestSeen()
    {
        // After the host has ended the transfer a late request changes
        // neither the text nor the stopped watchdog.
        if (!m_Host.SetRunningMessage(msg::kDownloading))
            return;
        m_Host.ShowMessage(-1);
        m_Host.m_WatchdogCounter.store(0);
    }
    void Send(unsigned char* reply)
    {
        if (m_Options.observer)
            m_Options.observer->OnSent(reply);
        SendFrame(m_Port, reply);
    }
    // false ends the loop with the error in m_Result.
    bool ServeBlock();
    void ServeTime();
    void ErrorExit(const char* text, TransferResult result)
    {
        m_Failed = true;
        // The host ended the transfer first: its end stands.
        if (!m_Host.ClaimEnd())
            return;
        m_Host.SetPendingMessage(text);
        m_Host.ShowMessage(3);
        m_Host.FinishTransfer();
        m_Result = result;
    }

    CDownloadHost& m_Host;
    const WorkerOptions& m_Options;
    CSerialLink& m_Port;
    std::unique_ptr<CServedImage> m_Image;
    bool m_Greeted = false;
    bool m_HelloSeen = false;  // any hello in this transfer, even one cancelled since
    bool m_Failed = false;
    TransferResult m_Result = TransferResult::Stopped;
    unsigned char m_Rx[kFrameBodyBufferSize] = {};
    unsigned char m_Reply[kFrameBodyBufferSize] = {};
};

bool Session::ServeBlock()
{
    // A request shorter than length + 24-bit offset carries no address:
    // it is not answered rather than served from bytes that never came.
    if (m_Rx[2] < 4)
        return true;
    const unsigned char* p = m_Rx + 3;
    int n = p[0];
    long offset = (long(p[1]) << 16) | (long(p[2]) << 8) | long(p[3]);
    int32_t fileSize = m_Host.m_FileSize.load();
    if (static_cast<long long>(fileSize) < offset + n) {
        ErrorExit(msg::kSizeOver, TransferResult::SizeOver);
        return false;
    }
    if (!m_Image->Read(offset, n, m_Reply + 3)) {
        ErrorExit(msg::kReadingFail, TransferResult::ReadError);
        return false;
    }
    m_Reply[0] = m_Rx[0];
    m_Reply[1] = FT_DATA;
    m_Reply[2] = static_cast<unsigned char>(n);
    Send(m_Reply);
    // An empty file has nothing to measure progress against: stay at 0.
    int percent = fileSize > 0 ? static_cast<int>(static_cast<long long>(offset) * 100 / fileSize) : 0;
    m_Host.SetProgress(percent);
    return true;
}

void Session::ServeTime()
{
    LocalTime now = m_Options.clock ? m_Options.clock() : CurrentLocalTime();
    if (!EncodeTimePayload(now, m_Reply + 3))
        return;
    m_Reply[0] = m_Rx[0];
    m_Reply[1] = FT_TIME;
    m_Reply[2] = 5;
    Send(m_Reply);
}

TransferResult Session::Run()
{
    const std::string path = m_Host.m_SelectedPath;
    m_Image = m_Host.OpenServedImage(path);
    if (!m_Image) {
        ErrorExit(msg::kFileOpenError, TransferResult::FileOpenError);
    } else {
        TransferWait wait(m_Host, m_Port);
        while (m_Host.m_RunFlag.load() != 0) {
            int r = ParseFrame(m_Port.m_QueueRead, m_Rx, &wait);
            if (r != kParseNoFrame && m_Options.observer)
                m_Options.observer->OnReceived(m_Rx, r);
            if (r != kParseOk) {
                if (r == kParseNoFrame && m_Port.m_QueueRead.Count() == 0) {
                    if (m_Port.IsLost() && m_Host.m_RunFlag.load() != 0) {
                        ErrorExit(msg::kPortLost, TransferResult::PortLost);
                        break;
                    }
                    // Sleep until the watcher brings bytes; the timeout keeps
                    // the run flag looked at.
                    m_Port.m_QueueRead.WaitForData(20);
                }
                continue;
            }
            switch (m_Rx[1]) {
            case FT_HELLO:
                RequestSeen();
                m_Greeted = true;
                m_HelloSeen = true;
                m_Reply[0] = m_Rx[0];
                m_Reply[1] = FT_HELLO_ACK;
                m_Reply[2] = 0;
                Send(m_Reply);
                break;
            case FT_DATA_REQ:
                RequestSeen();
                if (m_Greeted && !ServeBlock())
                    goto done;
                break;
            case FT_DONE:
                // A box that has not greeted in this transfer has nothing
                // to be done with: a second DONE of the last box, or one
                // that arrives after the host gave a box up, is not an end.
                if (!m_HelloSeen) {
                    if (m_Options.observer)
                        m_Options.observer->OnIgnored(m_Rx, "DONE before the box greeted");
                    break;
                }
                if (m_Host.ClaimEnd()) {
                    m_Host.SetProgress(100);
                    m_Host.FinishTransfer();
                    m_Result = TransferResult::Completed;
                }
                break;
            case FT_TIME_REQ:
                RequestSeen();
                if (m_Greeted)
                    ServeTime();
                break;
            default:
                m_Greeted = false;
                break;
            }
        }
        if (!m_Failed) {
            m_Host.ShowMessage(3);
            m_Host.SetProgress(0);
        }
    }
done:
    m_Image.reset();
    m_Host.m_FileSize.store(0);
    if (m_Host.m_CommandLineMode)
        m_Host.ExitCommandLine(ExitCodeFor(m_Result));
    return m_Result;
}

}  // namespace

TransferResult RunDownload(CDownloadHost& host, const WorkerOptions& options)
{
    Session session(host, options);
    return session.Run();
}

int DownloadWorker(CDownloadHost* host)
{
    RunDownload(*host);
    return 0;
}
