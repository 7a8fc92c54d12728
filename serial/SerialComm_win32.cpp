// CSerialComm on Win32: an overlapped COM port handle, one event per
// direction, and the receive watcher thread ThreadWatchComm.

#include "SerialComm.h"
#include "LineSettings_win32.h"
#include "SharedPortHandle_win32.h"

#include "framework/WideText.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

const DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
const DWORD kDriverQueueSize = 4096;

// How long Close waits for the watcher and for calls still using the port,
// and how often it cancels their I/O and clears the event mask meanwhile
// (either may have started a new wait or write just after the first cancel).
const DWORD kWatcherJoinMs = 2000;
const DWORD kJoinSliceMs = 50;
// The first checks come sooner: a watcher or write that has been cancelled
// is normally gone within a few milliseconds.
const DWORD kFirstSliceMs = 2;

// Consecutive failed reads after which the device counts as gone even when
// the error code says nothing specific.
const int kMaxReadFailures = 200;

// A driver whose event wait keeps returning without an event is polled
// instead after this many such waits in a row. Wine on a pseudo-terminal
// fails every wait at once, and each costs milliseconds of CPU there.
const int kEmptyWaitsBeforePolling = 3;

// When the driver's wait gives no events, the watcher polls: every 1 ms
// while bytes are coming, every 10 ms once the line has been quiet for
// about 100 polls. Either is far inside the time the driver's 4096-byte
// queue takes to fill at 115200 baud (about 350 ms).
const int kQuietPolls = 100;
const DWORD kBusyPollMs = 1;
const DWORD kQuietPollMs = 10;

const char kWatcherStartError[] = "Error while creating ThreadWatchComm, ";
const char kQueueFull[] = "m_QueueRead FULL!";

// Errors with which drivers answer once the device has gone away (USB
// adapter unplugged, driver unloaded, the far end of a pseudo-terminal
// closed under Wine).
bool IsDeviceGone(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
}

DWORD WINAPI WatcherEntry(LPVOID arg)
{
    return static_cast<DWORD>(CSerialComm::ThreadWatchComm(static_cast<CSerialComm*>(arg)));
}

void CloseIfSet(HANDLE& handle)
{
    if (handle) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

}  // namespace

struct CSerialComm::Platform {
    // The port handle, shared by Write, Read and the watcher with Close.
    CSharedPortHandle port;
    OVERLAPPED readOv = {};
    OVERLAPPED writeOv = {};
    // Cleared by the watcher itself as it ends.
    std::atomic<HANDLE> watcher{nullptr};
    // Our own copy of the watcher's handle: Close waits on it and closes it.
    HANDLE watcherJoin = nullptr;
    // Open and Close may come from the user-interface and worker threads.
    std::mutex lifecycle;

    void FreeEvents()
    {
        CloseIfSet(readOv.hEvent);
        CloseIfSet(writeOv.hEvent);
    }

    bool WatcherEnded(DWORD waitMs)
    {
        if (!watcherJoin)
            return true;
        if (WaitForSingleObject(watcherJoin, waitMs) != WAIT_OBJECT_0)
            return false;
        CloseIfSet(watcherJoin);
        return true;
    }

    // Waits (bounded) for the watcher to end, cancelling pending I/O on
    // portHandle in between. true when no watcher is left.
    bool JoinWatcher(HANDLE portHandle)
    {
        for (DWORD waited = 0;; waited += kJoinSliceMs) {
            if (portHandle != INVALID_HANDLE_VALUE)
                CancelIoEx(portHandle, nullptr);
            if (WatcherEnded(kJoinSliceMs))
                return true;
            if (waited >= kWatcherJoinMs)
                return false;
        }
    }

    // Close's wait: until the watcher has ended and no call uses the port,
    // or kWatcherJoinMs have passed. Every slice cancels what is pending on
    // the handle and clears the event mask again: a wait the watcher began
    // after the first clear would otherwise go on (under Wine the helper
    // that serves a wait holds a descriptor of the device of its own until
    // an event comes or the mask changes). Returns whether both are done.
    bool Quiesce(HANDLE h)
    {
        bool ended = false;
        DWORD slice = kFirstSliceMs;
        for (DWORD waited = 0;; waited += slice, slice = kJoinSliceMs) {
            CancelIoEx(h, nullptr);
            SetCommMask(h, 0);
            if (!ended)
                ended = WatcherEnded(slice);
            if (ended && port.WaitIdle(slice))
                return true;
            if (waited >= kWatcherJoinMs)
                return false;
        }
    }

    // The read rules of CSerialComm::Read on a handle the caller holds in
    // use; error receives the code of the call that failed, 0 when none did.
    int ReadPort(HANDLE h, void* buffer, int maxCount, DWORD& error)
    {
        error = 0;
        if (h == INVALID_HANDLE_VALUE || !buffer || maxCount <= 0)
            return 0;
        DWORD commErrors = 0;
        COMSTAT stat = {};
        if (!ClearCommError(h, &commErrors, &stat)) {
            error = GetLastError();
            return 0;
        }
        if (stat.cbInQue == 0)
            return 0;

        DWORD n = 0;
        if (ReadFile(h, buffer, static_cast<DWORD>(maxCount), &n, &readOv))
            return static_cast<int>(n);
        DWORD err = GetLastError();
        if (err == ERROR_IO_PENDING) {
            for (;;) {
                if (GetOverlappedResult(h, &readOv, &n, TRUE))
                    return static_cast<int>(n);
                err = GetLastError();
                if (err != ERROR_IO_INCOMPLETE)
                    break;
            }
            error = err;
            ClearCommError(h, &commErrors, &stat);
            return static_cast<int>(n);
        }
        error = err;
        ClearCommError(h, &commErrors, &stat);
        return 0;
    }

    // Close's work, with the lifecycle lock held. When it returns the
    // device is released, unless a call ignored every cancel (it then
    // closes the handle as it leaves).
    void Shutdown(CSerialComm& owner)
    {
        owner.m_Connected.store(0, std::memory_order_release);
        HANDLE h = port.BeginClose();
        if (h == INVALID_HANDLE_VALUE)
            return;
        // Makes a waiting WaitCommEvent return and aborts a pending write;
        // Quiesce repeats both for drivers that ignore the first. Once the
        // watcher has ended, no chunk can reach the queue after the owner
        // empties it.
        SetCommMask(h, 0);
        PurgeComm(h, kPurgeAll);
        bool quiet = Quiesce(h);
        bool closed = port.FinishClose();
        // A watcher still held up (by a message box) or a call still inside
        // the port may yet use the events; they are freed by the next Open
        // or the destructor, which wait for both.
        if (quiet && closed)
            FreeEvents();
    }
};

CSerialComm::CSerialComm() : m_Platform(new Platform) {}

CSerialComm::~CSerialComm()
{
    Platform& p = *m_Platform;
    std::lock_guard<std::mutex> lock(p.lifecycle);
    p.Shutdown(*this);
    // Only a watcher held by a message box nobody has dismissed yet, or a
    // call that ignored every cancel, can still be here; both touch this
    // object until they leave.
    if (p.watcherJoin) {
        WaitForSingleObject(p.watcherJoin, INFINITE);
        CloseIfSet(p.watcherJoin);
    }
    p.port.WaitIdleForever();
    p.FreeEvents();
}

int CSerialComm::Open(const char* portName, uint32_t baud, uint16_t portNumber)
{
    Platform& p = *m_Platform;
    std::lock_guard<std::mutex> lock(p.lifecycle);
    // Opening an open port reopens it rather than leaking the old handle.
    if (p.port.Handle() != INVALID_HANDLE_VALUE)
        p.Shutdown(*this);
    // A watcher of the last open that is still held up would share the
    // read event and the queue with the new one; a call still inside the
    // last handle would share the write event.
    if (!p.JoinWatcher(INVALID_HANDLE_VALUE) || p.port.InUse())
        return 0;

    m_PortNumber = portNumber;
    m_Connected.store(0, std::memory_order_release);
    p.readOv.Offset = p.readOv.OffsetHigh = 0;
    p.writeOv.Offset = p.writeOv.OffsetHigh = 0;

    p.FreeEvents();
    p.readOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!p.readOv.hEvent)
        return 0;
    p.writeOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!p.writeOv.hEvent) {
        p.FreeEvents();
        return 0;
    }

    m_PortName = portName ? portName : "";
    // No port is opened at 0 baud (and the write timeout divides by it).
    if (m_PortName.empty() || baud == 0) {
        p.FreeEvents();
        return 0;
    }
    // Wide: a device name is UTF-8 here like every other name.
    HANDLE h = CreateFileW(Widen(SerialDevicePath(m_PortName)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        p.FreeEvents();
        return 0;
    }

    SetCommMask(h, EV_RXCHAR);
    SetupComm(h, kDriverQueueSize, kDriverQueueSize);
    PurgeComm(h, kPurgeAll);
    COMMTIMEOUTS timeouts = SerialTimeoutsForBaud(baud);
    SetCommTimeouts(h, &timeouts);
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(h, &dcb);
    SetLineSettings(dcb, baud);
    if (!SetCommState(h, &dcb)) {
        CloseHandle(h);
        p.FreeEvents();
        return 0;
    }
    p.port.Set(h);

    m_Lost.store(false, std::memory_order_release);
    m_FullReported = false;
    m_Connected.store(1, std::memory_order_release);
    // Started suspended so the handle is stored before the thread can end
    // and clear it.
    HANDLE thread = CreateThread(nullptr, 0, WatcherEntry, this, CREATE_SUSPENDED, nullptr);
    if (!thread) {
        p.Shutdown(*this);
        return 0;
    }
    p.watcherJoin = thread;
    p.watcher.store(thread);
    SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST);
    ResumeThread(thread);
    return 1;
}

void CSerialComm::Close()
{
    Platform& p = *m_Platform;
    std::lock_guard<std::mutex> lock(p.lifecycle);
    p.Shutdown(*this);
}

int CSerialComm::Write(const void* buffer, int count)
{
    if (!buffer || count < 0)
        return 0;
    Platform& p = *m_Platform;
    CPortUse use(p.port);
    HANDLE h = use.Handle();
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    if (WriteFile(h, buffer, static_cast<DWORD>(count), &written, &p.writeOv))
        return static_cast<int>(written);

    DWORD commErrors = 0;
    COMSTAT stat = {};
    if (GetLastError() != ERROR_IO_PENDING) {
        ClearCommError(h, &commErrors, &stat);
        return 0;
    }
    for (;;) {
        if (GetOverlappedResult(h, &p.writeOv, &written, TRUE))
            return static_cast<int>(written);
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            ClearCommError(h, &commErrors, &stat);
            return -1;
        }
    }
}

int CSerialComm::Read(void* buffer, int maxCount)
{
    Platform& p = *m_Platform;
    CPortUse use(p.port);
    DWORD error = 0;
    return p.ReadPort(use.Handle(), buffer, maxCount, error);
}

bool CSerialComm::WatcherRunning() const { return m_Platform->watcher.load() != nullptr; }

void CSerialComm::ReportWatcherError(const std::string& text)
{
    if (m_NoticeSink) {
        m_NoticeSink(text);
        return;
    }
    if (m_ReportToStderr) {
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        return;
    }
    MessageBoxW(nullptr, Widen(text).c_str(), nullptr, MB_OK | MB_ICONERROR | MB_TOPMOST);
}

int CSerialComm::ThreadWatchComm(CSerialComm* self)
{
    Platform& p = *self->m_Platform;

    HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL masked = FALSE;
    if (waitEvent) {
        CPortUse use(p.port);
        masked = use.Handle() != INVALID_HANDLE_VALUE && SetCommMask(use.Handle(), EV_RXCHAR);
    }
    if (!waitEvent || !masked) {
        CloseIfSet(waitEvent);
        // A Close that came first is no failure of the watcher.
        if (self->m_Connected.load(std::memory_order_acquire))
            self->ReportWatcherError(kWatcherStartError + self->m_PortName);
        p.watcher.store(nullptr);
        return 0;
    }

    unsigned char chunk[kWatchChunk];
    int failures = 0;
    int quietPolls = 0;
    int emptyWaits = 0;
    bool lost = false;
    while (self->m_Connected.load(std::memory_order_acquire) && !lost) {
        bool event = false;
        bool failed = false;
        bool received = false;
        bool full = false;
        {
            // The port stays in use for this pass only: a message box or a
            // pause below must not hold up Close.
            CPortUse use(p.port);
            HANDLE h = use.Handle();
            if (h == INVALID_HANDLE_VALUE)
                break;
            if (emptyWaits < kEmptyWaitsBeforePolling) {
                // The handle is overlapped, so the wait needs its own block;
                // the mask is written when the wait completes, so it lives as
                // long.
                DWORD mask = 0;
                OVERLAPPED waitOv = {};
                waitOv.hEvent = waitEvent;
                bool signalled = WaitCommEvent(h, &mask, &waitOv) != FALSE;
                if (!signalled && GetLastError() == ERROR_IO_PENDING) {
                    DWORD unused = 0;
                    signalled = GetOverlappedResult(h, &waitOv, &unused, TRUE) != FALSE;
                }
                event = signalled && (mask & EV_RXCHAR);
                emptyWaits = event ? 0 : emptyWaits + 1;
            }
            if (!self->m_Connected.load(std::memory_order_acquire))
                break;

            // Read whatever is waiting even when the wait said nothing about
            // received characters.
            for (;;) {
                DWORD error = 0;
                int n = p.ReadPort(h, chunk, kWatchChunk, error);
                if (n > 0) {
                    received = true;
                    if (n < CByteQueue::kSize - self->m_QueueRead.Count()) {
                        for (int i = 0; i < n; ++i)
                            self->m_QueueRead.Put(chunk[i]);
                        self->m_QueueRead.NotifyData();
                    } else {
                        // Reported below, outside the port's use; reading
                        // goes on once the report is done.
                        full = true;
                        break;
                    }
                }
                if (error) {
                    failed = true;
                    if (self->m_Connected.load(std::memory_order_acquire) &&
                        (IsDeviceGone(error) || ++failures >= kMaxReadFailures))
                        lost = true;
                    break;
                }
                failures = 0;
                if (n <= 0)
                    break;
            }
        }
        if (full && (self->m_ReportToStderr || !self->m_FullReported)) {
            // One box per open: a box holds this thread up, and a stream of
            // them would lose far more than one chunk.
            self->m_FullReported = true;
            self->ReportWatcherError(kQueueFull);
        }
        // Without a real event the wait may return at once again: pause so
        // polling does not spin.
        if (received)
            quietPolls = 0;
        else if (quietPolls < kQuietPolls)
            ++quietPolls;
        if (!lost && !full && (failed || !event))
            Sleep(quietPolls < kQuietPolls ? kBusyPollMs : kQuietPollMs);
    }

    if (lost && self->m_Connected.load(std::memory_order_acquire)) {
        self->m_Lost.store(true, std::memory_order_release);
        self->m_QueueRead.NotifyData();
    }
    CloseHandle(waitEvent);
    p.watcher.store(nullptr);
    return 1;
}
