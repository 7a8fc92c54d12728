#include "KeyInput.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <thread>

namespace {

std::atomic<bool> g_Stop{false};
std::atomic<bool> g_Saved{false};
DWORD g_Mode = 0;
std::thread g_Reader;

}  // namespace

bool StartKeyInput(std::function<void(char key)> onKey)
{
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    if (in == INVALID_HANDLE_VALUE || in == nullptr || g_Saved.load() || !::GetConsoleMode(in, &g_Mode))
        return false;
    // Keys one at a time without echo; Ctrl+C still reaches the handler.
    if (!::SetConsoleMode(in, (g_Mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) |
                                  ENABLE_PROCESSED_INPUT))
        return false;
    g_Saved.store(true);
    g_Stop.store(false);
    g_Reader = std::thread([in, onKey] {
        while (!g_Stop.load()) {
            if (::WaitForSingleObject(in, 200) != WAIT_OBJECT_0)
                continue;
            INPUT_RECORD rec;
            DWORD n = 0;
            if (!::ReadConsoleInputW(in, &rec, 1, &n) || n == 0)
                break;
            if (rec.EventType == KEY_EVENT && rec.Event.KeyEvent.bKeyDown) {
                const WCHAR c = rec.Event.KeyEvent.uChar.UnicodeChar;
                if (c > 0 && c < 128)
                    onKey(static_cast<char>(c));
            }
        }
    });
    return true;
}

void StopKeyInput()
{
    g_Stop.store(true);
    if (g_Reader.joinable() && g_Reader.get_id() != std::this_thread::get_id())
        g_Reader.join();
    RestoreKeyTerminal();
}

void RestoreKeyTerminal()
{
    if (g_Saved.exchange(false))
        ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), g_Mode);
}
