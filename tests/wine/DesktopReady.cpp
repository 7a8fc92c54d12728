// zv-desktop-ready.exe: holds Wine's desktop up for a session of the test
// harness (wine-lib.sh, zv_desktop_up). The first window of a session makes
// Wine start its desktop process (explorer.exe /desktop), which loads the
// display driver, and waits for it only 10 s; on a loaded or freshly
// installed machine that can take longer, and the first program's window
// then meets a desktop that is not up. This program takes that wait: once
// the desktop process has its display driver (Wine marks the desktop
// window with the driver's id) and a hidden window of its own has been
// made, it says READY on stdout and stays until the session ends it. Exit 1
// with the reason on stderr when no window can be made (the harness tries
// again, or reports Wine's display as the failure).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

int main()
{
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = L"ZvDesktopReady";
    ::RegisterClassW(&wc);
    // Starts the desktop process if it is not running yet. A Wine that
    // marks nothing is given 30 s; the window below is the last word.
    HWND desktop = ::GetDesktopWindow();
    const DWORD start = ::GetTickCount();
    while (!::GetPropW(desktop, L"__wine_display_device_guid") && ::GetTickCount() - start < 30000)
        ::Sleep(50);
    // A top-level window, hidden: unlike a message-only one it needs the
    // display driver the desktop process loads.
    HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance,
                                    nullptr);
    if (!window) {
        std::fprintf(stderr, "zv-desktop-ready: no window (error %lu)\n", ::GetLastError());
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0)
        ::DispatchMessageW(&msg);
    return 0;
}
