#include "WireClock.h"

#include <cerrno>
#include <thread>
#include <type_traits>

#include <time.h>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace wire {

void SleepUntil(Clock::time_point t)
{
#if defined(__linux__)
    // libstdc++'s steady_clock is CLOCK_MONOTONIC, so its time points are
    // that clock's readings.
    static_assert(std::is_same<Clock::duration, std::chrono::nanoseconds>::value, "nanosecond ticks");
    const auto ns = t.time_since_epoch().count();
    if (ns <= 0)
        return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
#else
    std::this_thread::sleep_until(t);
#endif
}

void PrepareThread()
{
#if defined(__linux__)
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

}  // namespace wire
