#include "PortClaim_posix.h"

#include "PortLock_posix.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <sys/ioctl.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

// Longest Close waits for queued output to leave before it puts the old
// settings back; a wedged device must not hold Close.
constexpr long kDrainMaxMs = 250;

#ifdef __linux__
void ClearLowLatency(int fd)
{
    struct serial_struct ss;
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags &= ~ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &ss);
    }
}
#endif

// Waits, briefly, for what is still queued for the line to go out, so the
// last reply is not cut by the flush and the change of speed after it.
void DrainBriefly(int fd, uint32_t baud)
{
    int queued = 0;
    if (baud == 0 || ::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
        return;
    // Ten bits a byte at the line's speed, and a little for the adapter.
    long ms = std::min(kDrainMaxMs, static_cast<long>(queued) * 10000L / static_cast<long>(baud) + 20);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            return;
    }
}

}  // namespace

void TuneLowLatency(int fd, const char* path, PortClaim& claim, std::string& hint)
{
    claim.lowLatencySet = false;
#ifdef __linux__
    struct serial_struct ss;
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        // A pty or a driver without it refuses: fine.
        claim.lowLatencySet = ::ioctl(fd, TIOCSSERIAL, &ss) == 0;
    }

    static std::atomic<bool> hinted{false};
    if (hinted.load())
        return;
    char real[PATH_MAX];
    if (!::realpath(path, real))
        return;
    const char* name = std::strrchr(real, '/');
    name = name ? name + 1 : real;
    std::string sysfs = std::string("/sys/class/tty/") + name + "/device/latency_timer";
    std::FILE* f = std::fopen(sysfs.c_str(), "r");
    if (!f)
        return;
    int ms = 0;
    if (std::fscanf(f, "%d", &ms) == 1 && ms > 1 && !hinted.exchange(true)) {
        hint = std::string("Hint: ") + name + " has a " + std::to_string(ms) +
               " ms USB latency timer, which slows every block; fix: echo 1 | sudo tee " + sysfs;
    }
    std::fclose(f);
#else
    (void)fd;
    (void)path;
    (void)hint;
#endif
}

void LetGo(int fd, const PortClaim& claim, bool drain)
{
    if (drain)
        DrainBriefly(fd, claim.baud);
    ::tcflush(fd, TCIOFLUSH);
    if (claim.haveSaved)
        ::tcsetattr(fd, TCSANOW, &claim.saved);
#ifdef __linux__
    if (claim.lowLatencySet)
        ClearLowLatency(fd);
#endif
    ::ioctl(fd, TIOCNXCL);
    UnlockPort(fd);
    ::close(fd);
}
