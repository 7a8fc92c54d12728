// The station run against boxes the bench plays itself, one thread per port
// in this process, with exact wire timing (the model of zv-bench ideal: a
// request reaches the host once its 12 bytes have crossed, a reply is
// complete no earlier than its first byte plus its wire time). The threads
// sleep instead of busy-waiting and run at SCHED_FIFO where allowed, so
// they neither hold a CPU a CLI thread wakes on nor wait behind one: what a
// download takes beyond the wire time is then the CLI's, as it would be with
// real boxes, whose UARTs keep time without the host's CPUs.
// Prints "RESULT station_bench ...".
#pragma once

#include "StationBench.h"

namespace bench {

int ServeBenchBoxes(const StationArgs& a);

}  // namespace bench
