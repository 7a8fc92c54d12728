// The Win32 port handle as the serial port's calls share it. Write runs on
// the worker's thread, the watcher on its own, and Close on the user
// interface's: each call holds the handle in use for the length of its
// Win32 calls, and the closer stops new uses and closes the handle only once
// none is left, so no call ever runs on a handle (or an event beside it)
// that has been closed or reused. All fields are guarded by m_Lock.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

class CSharedPortHandle {
public:
    // The open handle for one call; INVALID_HANDLE_VALUE when the port is
    // not open or is being closed.
    HANDLE Acquire()
    {
        std::lock_guard<std::mutex> g(m_Lock);
        if (m_Closing || m_Handle == INVALID_HANDLE_VALUE)
            return INVALID_HANDLE_VALUE;
        ++m_Users;
        return m_Handle;
    }
    void Release()
    {
        std::lock_guard<std::mutex> g(m_Lock);
        if (--m_Users > 0)
            return;
        if (m_Orphan != INVALID_HANDLE_VALUE) {
            CloseHandle(m_Orphan);
            m_Orphan = INVALID_HANDLE_VALUE;
        }
        m_Idle.notify_all();
    }

    HANDLE Handle()
    {
        std::lock_guard<std::mutex> g(m_Lock);
        return m_Handle;
    }
    bool InUse()
    {
        std::lock_guard<std::mutex> g(m_Lock);
        return m_Users > 0;
    }
    void Set(HANDLE h)
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Handle = h;
    }

    // Stops new uses; returns the handle to close, INVALID_HANDLE_VALUE
    // when the port is not open.
    HANDLE BeginClose()
    {
        std::lock_guard<std::mutex> g(m_Lock);
        if (m_Handle != INVALID_HANDLE_VALUE)
            m_Closing = true;
        return m_Handle;
    }
    // true once no call uses the handle; waits at most ms.
    bool WaitIdle(DWORD ms)
    {
        std::unique_lock<std::mutex> g(m_Lock);
        return m_Idle.wait_for(g, std::chrono::milliseconds(ms), [this] { return m_Users == 0; });
    }
    void WaitIdleForever()
    {
        std::unique_lock<std::mutex> g(m_Lock);
        m_Idle.wait(g, [this] { return m_Users == 0; });
    }
    // Closes the handle now, or, when a call still uses it (one that
    // ignored every cancel), leaves it to that call's Release. Returns
    // whether it was closed now.
    bool FinishClose()
    {
        std::lock_guard<std::mutex> g(m_Lock);
        HANDLE h = m_Handle;
        m_Handle = INVALID_HANDLE_VALUE;
        m_Closing = false;
        if (m_Users > 0) {
            m_Orphan = h;
            return false;
        }
        CloseHandle(h);
        return true;
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Idle;
    HANDLE m_Handle = INVALID_HANDLE_VALUE;
    HANDLE m_Orphan = INVALID_HANDLE_VALUE;
    int m_Users = 0;
    bool m_Closing = false;
};

// Holds the shared handle in use for the length of one call.
class CPortUse {
public:
    explicit CPortUse(CSharedPortHandle& port) : m_Port(port), m_Handle(port.Acquire()) {}
    ~CPortUse()
    {
        if (m_Handle != INVALID_HANDLE_VALUE)
            m_Port.Release();
    }
    CPortUse(const CPortUse&) = delete;
    CPortUse& operator=(const CPortUse&) = delete;
    HANDLE Handle() const { return m_Handle; }

private:
    CSharedPortHandle& m_Port;
    HANDLE m_Handle;
};
