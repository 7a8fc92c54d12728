// zurivavave-boxsim: plays set-top boxes on a serial line, or on every line
// of a production line at once, so the host side can be run and checked
// without hardware.
#include "BoxLines.h"
#include "BoxOptions.h"

#include <atomic>
#include <csignal>
#include <vector>

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
    CBoxLines lines;
    rc = lines.Open(options);
    if (rc == kGoOn)
        rc = lines.Play(options, expected);
    return rc;
}
