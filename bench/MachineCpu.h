// What the whole machine's CPUs did during a benchmark run, beside what
// the bench and its children used: on a shared machine that tells a run's
// own cost from the load other work put on it.
#pragma once

#include "BenchUtil.h"

#include <map>
#include <string>

namespace bench {

// The whole machine's CPU next to this bench's own (its keep-awake spinners
// and every child reaped so far); the difference between two snapshots,
// less the kernel's workers, is what everything else used.
struct CpuSnapshot {
    double busy = 0;   // seconds over all CPUs: user, nice, system, irq, softirq
    double steal = 0;  // seconds the hypervisor ran something else
    double ours = 0;      // this process (its spinners) and its children reaped so far
    std::map<int, double> kworkers;  // by pid: a pty hands its data on in them
    Clock::time_point at;
    std::string load;  // 1-minute load average
};

CpuSnapshot TakeCpu();
// CPU the kernel's workers used between two snapshots; a worker that ended
// meanwhile takes its share with it (it then counts as others').
double KworkerDelta(const CpuSnapshot& before, const CpuSnapshot& after);

// A virtual machine's CPUs can be taken away by its host without the guest
// seeing it as steal time. Threads pinned one per CPU spin for seconds and
// time every gap of more than 1 ms between two clock readings: the share of
// time lost so is the host's, and keeping CPUs awake by spinning pays it.
struct SpinCheck {
    double lostS = 0;  // after CheckSpinning: the lost share of the time, 0..1
    long gaps = 0;
    double maxGapMs = 0;
};
SpinCheck CheckSpinning(int threads, int seconds);

}  // namespace bench
