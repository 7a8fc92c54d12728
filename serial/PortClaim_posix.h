// What Open changes on a serial port and how Close puts it back: the port
// is left as it was found (settings, exclusive mode, lock, low-latency
// flag), so a console or a terminal program finds it as before the run.
#pragma once

#include <cstdint>
#include <string>

#include <termios.h>

struct PortClaim {
    struct termios saved;
    bool haveSaved = false;      // saved holds the settings found at open
    bool lowLatencySet = false;  // the low-latency flag was ours to set
    uint32_t baud = 0;
};

// USB serial adapters (FTDI in particular) hold received bytes for up to
// their latency timer (16 ms by default) before passing them on; with one
// small request per block that timer, not the baud rate, sets the pace.
// Sets the low-latency flag where the driver has one (claim records it);
// hint is advice to give the operator, at most once per process.
void TuneLowLatency(int fd, const char* path, PortClaim& claim, std::string& hint);

// Puts the port back as it was found and closes fd: the last output given a
// moment to leave (when drain), settings restored at once (TCSANOW: nothing
// here waits on the device), exclusive mode and the lock released. Without
// that a pty that outlives the run stays exclusive.
void LetGo(int fd, const PortClaim& claim, bool drain);
