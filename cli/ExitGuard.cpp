#include "ExitGuard.h"

#include <cstdlib>
#include <thread>

void StartExitGuard(const std::atomic<int>& flag, std::chrono::milliseconds grace, int exitCode,
                    void (*beforeExit)())
{
    std::thread([&flag, grace, exitCode, beforeExit] {
        while (flag.load() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::this_thread::sleep_for(grace);
        // The orderly end is stuck in a write: end without flushing the
        // streams, which would only wait on the same write again.
        if (beforeExit)
            beforeExit();
        std::_Exit(exitCode);
    }).detach();
}
