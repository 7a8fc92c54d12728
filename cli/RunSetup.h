// Everything a run checks before it opens a port: every image can be read,
// the default port is there when no port was named, every port argument
// names at least one port (each device served once), and no output is the
// served file, a port or another output. A failure
// here costs no box; with --json a script still gets a record per port.
#pragma once

#include "BoxLog.h"
#include "BoxRecord.h"
#include "Options.h"
#include "OutputCheck.h"
#include "PinnedImage.h"
#include "StationEngine.h"
#include "Trace.h"

#include <memory>
#include <string>
#include <vector>

struct RunPort {
    std::string port;
    std::shared_ptr<CPinnedImage> image;  // read once, shared by the ports that serve it
    std::string byId;       // stable name, for the records
    std::string usbSerial;  // the adapter's serial number
};

struct RunSetup {
    std::vector<RunPort> ports;
    std::vector<StationPattern> patterns;             // --port patterns, for a shift to watch
    std::vector<GuardedPath> guarded;                 // never to be written
    std::vector<std::string> tracePaths;              // one per port with --trace
    std::vector<std::unique_ptr<CTraceLog>> traces;  // one per port, or none
    CTraceLog::Clock::time_point traceStart;        // where the traces' times count from
    std::unique_ptr<CBoxLog> log;
    RecordContext context;
};

// Checks images, ports and output names; says what is wrong (and prints
// the --json records) and returns the exit code, kExitOk to go on.
int CheckRun(const CliOptions& options, RunSetup& run);
// Opens the trace and log files once the checks passed.
int OpenOutputs(const CliOptions& options, RunSetup& run);
// With --json, what a script gets when the run ends before any port opens:
// a record per named port; culprit (a port or file, "" for all) gets result,
// the others not_served.
void PrintFailureRecords(const CliOptions& options, const RunSetup& run, const std::string& culprit,
                         const char* result, int exitCode, const std::string& status, const std::string& detail);

// The trace file of each port: FILE itself for one port, else
// FILE.<last part of the port name>, or FILE.<n> when two ports end alike.
std::vector<std::string> TracePaths(const std::string& base, const std::vector<std::string>& ports);

// The trace of a port that joined a shift while it ran (after OpenOutputs;
// called by one thread at a time); nullptr without --trace or when it
// cannot be written (said on stderr).
CTraceLog* OpenJoinedTrace(const CliOptions& options, RunSetup& run, const std::string& port);

// Reads the image a run serves (its reachable part) once; never opens
// anything that could block, such as a FIFO. nullptr with the reason.
std::shared_ptr<CPinnedImage> LoadImage(const std::string& path, std::string& why);
