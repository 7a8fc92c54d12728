// What the whole machine's CPUs did during a benchmark run, beside what
// the bench and its children used: on a shared machine that tells a run's
// own cost from the load other work put on it.
#pragma once

#include "BenchUtil.h"

#include <string>

namespace bench {

// The whole machine's CPU next to this bench's own (its keep-awake spinners
// and every child reaped so far); the difference between two snapshots,
// less the kernel's workers, is what everything else used.
struct CpuSnapshot {
    double busy = 0;   // seconds over all CPUs: user, nice, system, irq, softirq
    double steal = 0;  // seconds the hypervisor ran something else
    double ours = 0;      // this process (its spinners) and its children reaped so far
    double kworkers = 0;  // the kernel's workers: a pty hands data on in them
    Clock::time_point at;
    std::string load;  // 1-minute load average
};

CpuSnapshot TakeCpu();

}  // namespace bench
