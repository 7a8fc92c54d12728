// The operator's hand on a running station: requests to return set-aside
// ports to service come from SIGUSR1 (POSIX, for scripts and service
// managers) and from the r key on the board's terminal. Keys are read only
// when stdin is that terminal and this process is in its foreground; the
// terminal is put back as it was when the run ends, however it ends.
// KeyInput_posix.cpp, KeyInput_win32.cpp.
#pragma once

#include <atomic>
#include <functional>

// Bumped by each request; read by the ports' threads. A lock-free atomic
// at namespace scope, so a signal handler may bump it.
extern std::atomic<int> g_ReturnRequests;

// Starts reading keys on a thread of its own; false where there is no
// terminal to read (then nothing changes).
bool StartKeyInput(std::function<void(char key)> onKey);
// Stops reading and restores the terminal; safe more than once.
void StopKeyInput();
// Only puts the terminal back, waiting for nothing: on the way out of a
// process whose orderly end is stuck.
void RestoreKeyTerminal();
