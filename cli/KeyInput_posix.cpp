#include "KeyInput.h"

#include <atomic>
#include <thread>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_Stop{false};
std::atomic<bool> g_Saved{false};
struct termios g_Original;
std::thread g_Reader;

}  // namespace

bool StartKeyInput(std::function<void(char key)> onKey)
{
    // Only a terminal we own: in the background tcsetattr would stop us.
    if (!::isatty(STDIN_FILENO) || ::tcgetpgrp(STDIN_FILENO) != ::getpgrp() || g_Saved.load())
        return false;
    if (::tcgetattr(STDIN_FILENO, &g_Original) != 0)
        return false;
    struct termios raw = g_Original;
    // Keys one at a time without echo; Ctrl+C still signals.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        return false;
    g_Saved.store(true);
    g_Stop.store(false);
    g_Reader = std::thread([onKey] {
        while (!g_Stop.load()) {
            struct pollfd p = {STDIN_FILENO, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char c;
            if (::read(STDIN_FILENO, &c, 1) == 1)
                onKey(c);
            else if (p.revents & (POLLHUP | POLLERR))
                break;
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
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_Original);
}
