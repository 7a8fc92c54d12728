// Serves one download: answers the box's hello, data and time requests
// until it reports done, an error ends the transfer or the host clears the
// run flag.
#pragma once

#include "TimeCode.h"

class CDownloadHost;

enum class TransferResult {
    Completed,     // the box reported FT_DONE
    FileOpenError, // "Error : File open error."
    SizeOver,      // "Error : File size is over."
    ReadError,     // "Error : Reading is fail."
    PortLost,      // the serial device went away
    Stopped,       // the host cleared the run flag (watchdog, Stop and Exit)
};

// Exit code of a command-line run that ended with this result.
int ExitCodeFor(TransferResult result);

// Sees every frame the worker takes or sends (trace, statistics).
class IFrameObserver {
public:
    virtual ~IFrameObserver() = default;
    // A parse attempt that took bytes: result 0 or -2 with the body.
    virtual void OnReceived(const unsigned char* body, int parseResult) = 0;
    virtual void OnSent(const unsigned char* body) = 0;
    // A frame taken with a right checksum that the worker set aside (why
    // says what it was), after OnReceived.
    virtual void OnIgnored(const unsigned char* body, const char* why)
    {
        (void)body;
        (void)why;
    }
};

struct WorkerOptions {
    LocalTime (*clock)() = CurrentLocalTime;
    IFrameObserver* observer = nullptr;
};

// The worker's whole run, on the calling thread.
TransferResult RunDownload(CDownloadHost& host, const WorkerOptions& options = WorkerOptions());

// Thread procedure: RunDownload on the host; in command-line mode ends the
// process through the host with the result's exit code. Returns 0.
int DownloadWorker(CDownloadHost* host);
