// Sleeping to the wire's deadlines. A line paced from a thread that sleeps
// costs a CPU nothing between bytes, so one process can pace many lines on
// a small machine; the deadlines are absolute, so a late wake-up delays one
// byte and never the ones after it.
#pragma once

#include <chrono>

namespace wire {

using Clock = std::chrono::steady_clock;

// Sleeps until t on the steady clock (an absolute deadline, never a
// duration worked out beforehand); returns at once when t has passed.
void SleepUntil(Clock::time_point t);

// Readies the calling thread for pacing: the kernel's default timer slack
// (50 µs) would let every sleep end that much later, about half a byte's
// time at 115200 baud.
void PrepareThread();

}  // namespace wire
