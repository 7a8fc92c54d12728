#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cctype>
#include <cstdlib>

namespace {

std::string SpeedList()
{
    std::string list;
    for (unsigned long s : CliSpeeds())
        list += (list.empty() ? "" : ", ") + std::to_string(s);
    return list;
}

bool ParseSpeed(const std::string& text, const std::string& where, unsigned long& speed, std::string& error)
{
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    const auto& speeds = CliSpeeds();
    if (text.empty() || errno != 0 || *end != '\0' || text[0] == '-' ||
        std::find(speeds.begin(), speeds.end(), v) == speeds.end()) {
        error = where + ": not one of " + SpeedList();
        return false;
    }
    speed = v;
    return true;
}

bool ParseCount(const std::string& text, long long& out, std::string& error)
{
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v < 1) {
        error = "--count " + text + ": not a whole number of boxes, 1 or more";
        return false;
    }
    out = v;
    return true;
}

bool ParseSeconds(const std::string& text, double& out, std::string& error)
{
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    // Up to a year: far past any shift, and far from a double's edge.
    if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 31536000) {
        error = "--wait-timeout " + text + ": not a number of seconds above 0";
        return false;
    }
    out = v;
    return true;
}

PortArgument SplitPortArgument(const std::string& value)
{
    // PORT=FILE: device names hold no '=', file names may.
    PortArgument a;
    size_t eq = value.find('=');
    a.port = value.substr(0, eq);
    if (eq != std::string::npos)
        a.file = value.substr(eq + 1);
    return a;
}

// Long options with a value, and which short letter stands for each.
struct ValueOption {
    const char* name;
    char letter;
};
const ValueOption kValueOptions[] = {{"--port", 'p'},      {"--speed", 'b'},   {"--baud", 0},
                                     {"--trace", 0},       {"--log", 0},       {"--count", 0},
                                     {"--wait-timeout", 0}, {"--station", 0},  {"--operator", 0},
                                     {"--order", 0},       {"--expect-sha256", 0}, {"--max-failures", 0},
                                     {"--http", 0}};

// 64 hex digits, in lower case.
bool ParseSha256(const std::string& text, std::string& out, std::string& error)
{
    std::string hex;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            hex.clear();
            break;
        }
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64) {
        error = "--expect-sha256 " + text + ": not a SHA-256 (64 hex digits)";
        return false;
    }
    out = hex;
    return true;
}

const char* LongForLetter(char c)
{
    for (const ValueOption& o : kValueOptions)
        if (o.letter == c)
            return o.name;
    return nullptr;
}

bool TakesValue(const std::string& name)
{
    for (const ValueOption& o : kValueOptions)
        if (name == o.name)
            return true;
    return false;
}

}  // namespace

int UsageError(const std::string& error)
{
    std::fprintf(stderr, "zurivavave-cli: %s\nTry 'zurivavave-cli --help'.\n", error.c_str());
    return 2;
}

const char* DefaultPort()
{
#ifdef _WIN32
    return "COM1";
#else
    return "/dev/ttyUSB0";
#endif
}

const std::vector<unsigned long>& CliSpeeds()
{
    static const std::vector<unsigned long> speeds = {19200, 38400, 57600, 115200, 230400, 460800, 921600};
    return speeds;
}

bool ParseOptions(int argc, char** argv, const EnvLookup& env, CliOptions& o, std::string& error)
{
    o = CliOptions();
    error.clear();
    bool speedGiven = false, countGiven = false, waitGiven = false, maxGiven = false, httpGiven = false,
         onlyOperands = false;
    std::vector<std::string> operands;

    // Applies one option (by its long name) with its value.
    auto apply = [&](const std::string& name, const std::string& value) -> bool {
        if (TakesValue(name) && value.empty()) {
            error = name + " needs a value";
            return false;
        }
        if (name == "--port") {
            PortArgument a = SplitPortArgument(value);
            if (a.port.empty() || (value.find('=') != std::string::npos && a.file.empty())) {
                error = "--port " + value + ": give PORT or PORT=FILE";
                return false;
            }
            o.ports.push_back(a);
        } else if (name == "--speed" || name == "--baud") {
            speedGiven = true;
            return ParseSpeed(value, name + " " + value, o.speed, error);
        } else if (name == "--trace") {
            o.tracePath = value;
        } else if (name == "--log") {
            o.logPath = value;
        } else if (name == "--http") {
            std::string why;
            if (!ParseListenAddress(value, o.httpAddress, why)) {
                error = "--http " + value + ": " + why;
                return false;
            }
            o.http = httpGiven = true;
        } else if (name == "--count") {
            countGiven = true;
            return ParseCount(value, o.count, error);
        } else if (name == "--wait-timeout") {
            waitGiven = true;
            return ParseSeconds(value, o.waitTimeout, error);
        } else if (name == "--station") {
            o.station = value;
        } else if (name == "--operator") {
            o.operatorName = value;
        } else if (name == "--order") {
            o.order = value;
        } else if (name == "--max-failures") {
            maxGiven = true;
            char* end = nullptr;
            errno = 0;
            const long v = std::strtol(value.c_str(), &end, 10);
            if (errno != 0 || *end != '\0' || v < 0 || v > 1000000) {
                error = "--max-failures " + value + ": not a whole number of boxes, 0 (never) or more";
                return false;
            }
            o.maxFailures = static_cast<int>(v);
        } else if (name == "--expect-sha256") {
            return ParseSha256(value, o.expectSha256, error);
        } else if (name == "--json") {
            o.json = true;
        } else if (name == "--check") {
            o.check = true;
        } else if (name == "--list-ports") {
            o.listPorts = true;
        } else if (name == "--loop") {
            o.loop = true;
        } else if (name == "--require-full") {
            o.requireFull = true;
        } else if (name == "--quiet") {
            o.quiet = true;
        } else if (name == "--help") {
            o.help = true;
        } else if (name == "--version") {
            o.version = true;
        } else if (name == "--report") {
            o.report = true;
        } else {
            error = "unknown option '" + name + "'";
            return false;
        }
        return true;
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (onlyOperands || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyOperands = true;
            continue;
        }
        if (arg.compare(0, 2, "--") == 0) {
            std::string name = arg, value;
            size_t eq = arg.find('=');
            bool inlineValue = eq != std::string::npos;
            if (inlineValue) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
            }
            if (!TakesValue(name)) {
                if (inlineValue) {
                    error = name + " takes no value";
                    return false;
                }
            } else if (!inlineValue) {
                if (i + 1 >= argc) {
                    error = name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!apply(name, value))
                return false;
            continue;
        }
        // Short options; flags may be bundled (-qj is not: only -q, -h, -V
        // are flags), a value follows at once or as the next argument.
        for (size_t k = 1; k < arg.size(); ++k) {
            char c = arg[k];
            if (const char* name = LongForLetter(c)) {
                std::string value = arg.substr(k + 1);
                if (value.empty()) {
                    if (i + 1 >= argc) {
                        error = std::string("-") + c + " needs a value";
                        return false;
                    }
                    value = argv[++i];
                }
                if (!apply(name, value))
                    return false;
                break;
            }
            const char* flag = c == 'q' ? "--quiet" : c == 'h' ? "--help" : c == 'V' ? "--version" : nullptr;
            if (!flag) {
                error = std::string("unknown option '-") + c + "'";
                return false;
            }
            apply(flag, "");
        }
    }
    if (o.help || o.version)
        return true;
    // --report reads logs in place of serving an image.
    if (o.report) {
        o.reportLogs = operands;
        if (!o.ports.empty() || !o.tracePath.empty() || !o.logPath.empty() || o.listPorts || o.loop ||
            o.requireFull || speedGiven || countGiven || waitGiven)
            error = "--report reads logs and serves nothing: it takes LOG... and --json only";
        else if (operands.empty())
            error = "--report needs a LOG to read (a --log file of a shift)";
        return error.empty();
    }
    // The environment's speed only where the command line gives none.
    if (const char* speed = env && !speedGiven ? env("ZURIVAVAVE_SPEED") : nullptr) {
        if (*speed && !ParseSpeed(speed, std::string("ZURIVAVAVE_SPEED=") + speed, o.speed, error))
            return false;
    }

    // The environment's board address only where the command line gives none.
    if (const char* http = env && !o.http ? env("ZURIVAVAVE_HTTP") : nullptr) {
        std::string why;
        if (*http && !ParseListenAddress(http, o.httpAddress, why)) {
            error = std::string("ZURIVAVAVE_HTTP=") + http + ": " + why;
            return false;
        }
        o.http = *http != '\0';
    }

    if (operands.size() > 1) {
        error = "only one FILE can be served (got '" + operands[0] + "' and '" + operands[1] + "')";
        return false;
    }
    if (!operands.empty())
        o.file = operands[0];

    if (o.listPorts) {
        if (!o.file.empty() || !o.ports.empty() || !o.tracePath.empty() || !o.logPath.empty() || o.loop ||
            httpGiven)
            error = "--list-ports takes no FILE, --port, --trace, --log, --loop or --http";
        o.http = false;  // ZURIVAVAVE_HTTP: the list is printed and the tool ends
        return error.empty();
    }
    if (o.ports.empty()) {
        const char* port = env ? env("ZURIVAVAVE_PORT") : nullptr;
        o.portDefaulted = !(port && *port);
        o.ports.push_back(SplitPortArgument(o.portDefaulted ? DefaultPort() : port));
    }
    bool everyPortHasAFile = true;
    for (const PortArgument& p : o.ports)
        everyPortHasAFile = everyPortHasAFile && !p.file.empty();
    if (o.file.empty() && !everyPortHasAFile) {
        error = "no FILE given";
        return false;
    }
    if (!o.file.empty() && everyPortHasAFile) {
        error = "FILE " + o.file + " would serve no port: every --port names its own";
        return false;
    }
    if (countGiven && !o.loop) {
        error = "--count needs --loop";
        return false;
    }
    if (maxGiven && !o.loop) {
        error = "--max-failures needs --loop";
        return false;
    }
    if (waitGiven && o.loop) {
        error = "--wait-timeout is for one box per port; with --loop every port waits for its next box";
        return false;
    }
    return true;
}
