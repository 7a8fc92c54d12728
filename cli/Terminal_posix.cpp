#include "Terminal.h"

#include "KeyInput.h"

#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::atomic<int> g_Interrupted{0};
std::atomic<int> g_Resized{0};
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the signal flags must be lock-free");

void OnInterrupt(int) { g_Interrupted.store(1); }
void OnResize(int) { g_Resized.store(1); }
void OnReturnRequest(int) { g_ReturnRequests.fetch_add(1); }

void Handle(int sig, void (*fn)(int))
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    // Restarted: a window resize must not break a port's read or write.
    sa.sa_flags = SA_RESTART;
    ::sigaction(sig, &sa, nullptr);
}

}  // namespace

bool IsTerminal(std::FILE* f) { return ::isatty(::fileno(f)) != 0; }

bool PrepareTerminal(std::FILE*)
{
    const char* term = std::getenv("TERM");
    return !(term && std::strcmp(term, "dumb") == 0);
}

void TerminalSize(std::FILE* f, int& width, int& height)
{
    width = height = 0;
    struct winsize ws;
    if (::ioctl(::fileno(f), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        width = ws.ws_col;
        height = ws.ws_row;
    }
}

void InstallSignalHandlers()
{
    std::signal(SIGPIPE, SIG_IGN);
    // A file size limit (ulimit -f) fails the log's write with EFBIG, which
    // the log undoes, instead of killing the run in the middle of a record.
    std::signal(SIGXFSZ, SIG_IGN);
    Handle(SIGINT, OnInterrupt);
    Handle(SIGTERM, OnInterrupt);
    Handle(SIGHUP, OnInterrupt);
    Handle(SIGWINCH, OnResize);
    Handle(SIGUSR1, OnReturnRequest);
}

const std::atomic<int>& InterruptFlag() { return g_Interrupted; }

bool TakeResized() { return g_Resized.exchange(0) != 0; }

std::string HostName()
{
    char name[256] = "";
    if (::gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}
