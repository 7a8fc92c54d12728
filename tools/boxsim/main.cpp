// zurivavave-boxsim: plays set-top boxes on a serial line so the host side
// can be run and checked without hardware.
#include "BoxLine.h"
#include "BoxOptions.h"
#include "BoxSeries.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

extern std::atomic<bool> g_BoxStop;

namespace {

void OnSignal(int) { g_BoxStop.store(true); }

void HandleSignals()
{
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
}

std::string g_LinkMade;  // removed again at exit

// Replaces only a symlink left at PATH (by an earlier run), never a file.
bool MakeLink(const std::string& link, const std::string& target)
{
    struct stat st;
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) == 0) {
        g_LinkMade = link;
        return true;
    }
    std::fprintf(stderr, "zurivavave-boxsim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
    return false;
}

// Opens the device or a new pty (announced on stdout for the host to open).
int OpenLine(const BoxOptions& o, CBoxLine& line)
{
    std::string error;
    bool opened = o.pty ? line.OpenPty(error) : line.OpenDevice(o.port, o.speed, error);
    if (!opened) {
        std::fprintf(stderr, "zurivavave-boxsim: %s\n", error.c_str());
        return 1;
    }
    line.SetBaud(o.baud);
    if (!o.pty)
        return kGoOn;
    if (!o.link.empty() && !MakeLink(o.link, line.SlavePath()))
        return 1;
    std::printf("PTY %s\n", line.SlavePath().c_str());
    std::fflush(stdout);
    return kGoOn;
}

}  // namespace

int main(int argc, char** argv)
{
    BoxOptions options;
    int rc = ParseBoxOptions(argc, argv, options);
    if (rc != kGoOn)
        return rc;
    std::vector<unsigned char> expected;
    rc = LoadExpectedImage(options, expected);
    if (rc != kGoOn)
        return rc;

    HandleSignals();
    CBoxLine line;
    rc = OpenLine(options, line);
    if (rc == kGoOn)
        rc = PlayBoxes(options, line, expected);
    if (!g_LinkMade.empty())
        ::unlink(g_LinkMade.c_str());
    return rc;
}
