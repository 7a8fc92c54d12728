// zv-bench station: one zurivavave-cli run serving many simulated boxes at
// once, one zurivavave-boxsim process and pseudo-terminal per port. Prints
// one "RESULT station ..." line: each port's efficiency against the
// stop-and-wait limit (the same model as zv-bench line), the CLI's CPU in
// total and per port, the simulators' CPU, and what the rest of the machine
// used meanwhile. With --idle-seconds it measures the CLI waiting on that
// many silent ports instead ("RESULT station_idle ...").
#pragma once

#include <map>
#include <string>

namespace bench {

// Keys (without "--"): cli, boxsim, file, ports, baud (0: unpaced),
// awake (1: keep every CPU from halting), separate (1: one CLI process per
// port, the control for one run serving them all), box-sched (idle: the
// simulators at SCHED_IDLE), idle-seconds, limit (seconds).
int RunStation(const std::map<std::string, std::string>& args);

}  // namespace bench
