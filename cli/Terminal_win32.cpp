#include "Terminal.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <io.h>

#include "framework/WideText.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

std::atomic<int> g_Interrupted{0};

// Runs on a thread of its own for every console event. Ctrl+C and
// Ctrl+Break end the run as an interrupt, the second and every later one
// too (the C runtime's signal() is one-shot: a second Ctrl+C would kill
// the process with the system's code instead of 130). Closing the console
// window or logging off: the same, but Windows ends the process once this
// returns, so give the ports a moment.
BOOL WINAPI OnConsoleEvent(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_Interrupted.store(1);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        g_Interrupted.store(1);
        ::Sleep(2000);
        return TRUE;
    default:
        return FALSE;
    }
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
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

const std::atomic<int>& InterruptFlag() { return g_Interrupted; }

// The console has no resize signal; the board asks for the size as it draws.
bool TakeResized() { return true; }

std::string HostName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = L"";
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size))
        return "";
    return Narrow(name);
}
