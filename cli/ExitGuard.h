// Once the run is interrupted (Ctrl+C, SIGTERM, SIGHUP), the process ends
// within a few seconds whatever stdout, stderr or a terminal do: a write
// to a pipe nobody reads can hold the thread that makes it for ever, so a
// guard thread ends the process with the interrupted run's code if the
// orderly end takes longer than grace.
#pragma once

#include <atomic>
#include <chrono>

// Starts the guard; it watches flag for the rest of the process, and
// calls beforeExit (which must not wait on any output) before it ends it.
void StartExitGuard(const std::atomic<int>& flag, std::chrono::milliseconds grace, int exitCode,
                    void (*beforeExit)() = nullptr);
