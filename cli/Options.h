// The command line of zurivavave-cli, parsed and checked before anything
// is opened: a usage error costs no port and touches no file. The
// environment gives defaults (ZURIVAVAVE_PORT, ZURIVAVAVE_SPEED,
// ZURIVAVAVE_HTTP); the command line wins.
#pragma once

#include "ListenAddress.h"

#include <functional>
#include <string>
#include <vector>

// One --port argument: a port or a pattern, and the image it serves when
// it names one (PORT=FILE).
struct PortArgument {
    std::string port;
    std::string file;  // "" = the run's FILE
};

struct CliOptions {
    std::vector<PortArgument> ports;  // as given; patterns are expanded later
    bool portDefaulted = false;       // no --port, no ZURIVAVAVE_PORT: ports holds DefaultPort()
    unsigned long speed = 115200;
    std::string file;                 // the run's FILE, "" when every port names its own
    std::string tracePath;
    std::string logPath;
    // Who, where, what for: in every record.
    std::string station;              // "" = the host name
    std::string operatorName;
    std::string order;                // the work order
    std::string expectSha256;         // the approved image, lower-case hex; "" = any
    bool http = false;                // --http or ZURIVAVAVE_HTTP: serve the board and the API
    ListenAddress httpAddress;
    bool json = false;
    bool listPorts = false;
    bool check = false;               // the pre-flight checklist instead of a run
    bool loop = false;
    long long count = 0;              // with --loop: boxes per port, 0 = no limit
    int maxFailures = 3;              // with --loop: failed boxes in a row that set a port aside, 0 = never
    double waitTimeout = 0;           // seconds for the first hello, 0 = no limit
    bool requireFull = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool report = false;                 // --report: read these logs, serve nothing
    std::vector<std::string> reportLogs;
};

// Looks up an environment variable; nullptr when unset.
using EnvLookup = std::function<const char*(const char* name)>;

// Parses argv into options. false with the message in error ("--speed
// 9600: not one of ..."); help and version are flagged, not printed.
bool ParseOptions(int argc, char** argv, const EnvLookup& env, CliOptions& options, std::string& error);

// Says a usage error on stderr with the hint to --help; returns exit code 2.
int UsageError(const std::string& error);

// The port tried when neither --port nor ZURIVAVAVE_PORT names one.
const char* DefaultPort();

// The speeds the tool offers, in order.
const std::vector<unsigned long>& CliSpeeds();

// The help text (--help), with the default port and a pattern example of
// the platform.
std::string HelpText();
