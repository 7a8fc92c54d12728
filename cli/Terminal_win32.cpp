#include "Terminal.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <csignal>
#include <io.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

std::atomic<int> g_Interrupted{0};

void OnInterrupt(int) { g_Interrupted.store(1); }

// Closing the console window or logging off: end as on Ctrl+C. Windows
// ends the process once this returns, so give the ports a moment.
BOOL WINAPI OnConsoleEvent(DWORD type)
{
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        g_Interrupted.store(1);
        ::Sleep(2000);
        return TRUE;
    }
    return FALSE;
}

HANDLE ConsoleOf(std::FILE* f) { return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f))); }

}  // namespace

bool IsTerminal(std::FILE* f) { return ::_isatty(::_fileno(f)) != 0; }

bool PrepareTerminal(std::FILE* f)
{
    HANDLE h = ConsoleOf(f);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
           ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void TerminalSize(std::FILE* f, int& width, int& height)
{
    width = height = 0;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(ConsoleOf(f), &info)) {
        width = info.srWindow.Right - info.srWindow.Left + 1;
        height = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
}

void InstallSignalHandlers()
{
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#ifdef SIGBREAK
    std::signal(SIGBREAK, OnInterrupt);
#endif
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

const std::atomic<int>& InterruptFlag() { return g_Interrupted; }

// The console has no resize signal; the board asks for the size as it draws.
bool TakeResized() { return true; }

std::string HostName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size))
        return "";
    return name;
}
