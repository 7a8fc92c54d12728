// zv-bench station: one zurivavave-cli run serving many simulated boxes at
// once, one zurivavave-boxsim process and pseudo-terminal per port (or one
// zurivavave-boxsim --lines for all of them). Prints
// one "RESULT station ..." line: each port's efficiency against the
// stop-and-wait limit (the same model as zv-bench line), the CLI's CPU in
// total and per port, the simulators' CPU, and what the rest of the machine
// used meanwhile. With --boxes bench the bench plays the boxes itself
// ("RESULT station_bench ...", see StationBoxes.h); with --idle-seconds it
// measures the CLI waiting on that many silent ports ("RESULT station_idle
// ..."); with --spin-seconds it only checks what the machine takes from
// spinning threads ("RESULT station_spin ...", see MachineCpu.h).
#pragma once

#include <map>
#include <string>

namespace bench {

struct StationArgs {
    std::string cli, boxsim, file;
    int ports = 1;
    long baud = 115200;
    bool awake = false;       // keep every CPU from halting
    bool separate = false;    // one CLI process per port instead of one run
    bool benchBoxes = false;  // the bench plays the boxes instead of simulators
    bool lineSim = false;     // one simulator plays every port (--lines)
    int idleSeconds = 0;
    int spinSeconds = 0, spinners = 2;  // the machine check, see CheckSpinning
    double limitSeconds = 0;  // 0: from the wire time
    int webClients = -1;      // with --boxes bench: >= 0 serves --http too, under that many
                              // board streams, a scrape a second and /api/state probes
    std::string series = "-";  // a name the RESULT line carries, to tell runs apart
};

// Keys (without "--"): cli, boxsim, file, ports, baud (0: unpaced),
// awake (1: keep every CPU from halting), separate (1: one CLI process per
// port, the control for one run serving them all), boxes (bench: the
// bench's own boxes, see StationBoxes.h; lines: one zurivavave-boxsim
// --lines N plays every port, "RESULT station_lines ..."), idle-seconds,
// limit (seconds);
// spin-seconds S with spinners N: no CLI, the machine check of
// CheckSpinning ("RESULT station_spin ..."); web N (with --boxes bench):
// the run serves --http as well, under N board streams, a /metrics
// scrape a second and /api/state probes (see WebLoad.h).
int RunStation(const std::map<std::string, std::string>& args);

}  // namespace bench
