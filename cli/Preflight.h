// zurivavave-cli --check: a checklist before a shift, with the same options
// as the run. Each line says what was looked at, what is wrong and how to
// fix it; what does not apply (a pseudo-terminal has no by-id name or
// latency timer) says so and is no failure. Nothing is written, no box is
// served; each port is opened and let go again, as a run would.
#pragma once

#include "Options.h"

// Prints the checklist on stdout; 0 when all is well, 1 otherwise.
int RunPreflight(const CliOptions& options);
