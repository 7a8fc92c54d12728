#include "BoxOptions.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/stat.h>

#ifndef ZV_VERSION
#error ZV_VERSION must be the project version
#endif

namespace {

int Usage(const std::string& error)
{
    std::fprintf(stderr, "zurivavave-boxsim: %s\nTry 'zurivavave-boxsim --help'.\n", error.c_str());
    return 2;
}

bool ParseInt(const std::string& text, long long lo, long long hi, long long& out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

enum class Kind { Flag, Text, Number };

using Setter = void (*)(BoxOptions&, const std::string& text, long long number);

struct OptionRule {
    const char* name;
    char shortName;  // 0 = none
    Kind kind;
    long long lo, hi;
    Setter set;
};

#define ZV_INT(field) [](BoxOptions& o, const std::string&, long long v) { o.field = static_cast<decltype(o.field)>(v); }
#define ZV_TEXT(field) [](BoxOptions& o, const std::string& t, long long) { o.field = t; }
#define ZV_FLAG(field) [](BoxOptions& o, const std::string&, long long) { o.field = true; }

const OptionRule kRules[] = {
    {"--pty", 0, Kind::Flag, 0, 0, ZV_FLAG(pty)},
    {"--port", 'p', Kind::Text, 0, 0, ZV_TEXT(port)},
    {"--link", 0, Kind::Text, 0, 0, ZV_TEXT(link)},
    {"--lines", 0, Kind::Number, 1, 512, ZV_INT(lines)},
    {"--link-prefix", 0, Kind::Text, 0, 0, ZV_TEXT(linkPrefix)},
    {"--speed", 'b', Kind::Number, 1, 4000000, ZV_INT(speed)},
    {"--wait-host", 0, Kind::Flag, 0, 0, ZV_FLAG(waitHost)},
    {"--start-delay", 0, Kind::Number, 0, 600000, ZV_INT(startDelayMs)},
    {"--baud", 0, Kind::Number, 0, 10000000, ZV_INT(baud)},
    {"--block-delay", 0, Kind::Number, 0, 10000, ZV_INT(blockDelayMs)},
    {"--expect", 0, Kind::Text, 0, 0, ZV_TEXT(expectPath)},
    {"--size", 0, Kind::Number, 0, 1LL << 24, ZV_INT(size)},
    {"--out", 0, Kind::Text, 0, 0, ZV_TEXT(outPath)},
    {"--block", 0, Kind::Number, 1, 255, ZV_INT(block)},
    {"--tag-start", 0, Kind::Number, 0, 255, ZV_INT(tagStart)},
    {"--hello-payload", 0, Kind::Text, 0, 0, ZV_TEXT(helloSpec)},
    {"--time", 0, Kind::Flag, 0, 0, ZV_FLAG(time)},
    {"--reply-timeout", 0, Kind::Number, 1, 600000, ZV_INT(replyTimeoutMs)},
    {"--retries", 0, Kind::Number, 0, 1000, ZV_INT(retries)},
    {"--hello-interval", 0, Kind::Number, 1, 600000, ZV_INT(helloIntervalMs)},
    {"--hello-timeout", 0, Kind::Number, 1, 3600000, ZV_INT(helloTimeoutMs)},
    {"--linger", 0, Kind::Number, 0, 600000, ZV_INT(lingerMs)},
    {"--hold", 0, Kind::Number, 0, 3600000, ZV_INT(holdMs)},
    {"--quiet", 'q', Kind::Flag, 0, 0, ZV_FLAG(quiet)},
    {"--boxes", 0, Kind::Number, 1, 1000000, ZV_INT(boxes)},
    {"--box-pause", 0, Kind::Number, 0, 600000, ZV_INT(boxPauseMs)},
    {"--fault-box", 0, Kind::Number, 1, 1000000, ZV_INT(faultBox)},
    {"--noise-before", 0, Kind::Number, 0, 100000, ZV_INT(noiseBefore)},
    {"--noise-in-magic", 0, Kind::Flag, 0, 0, ZV_FLAG(noiseInMagic)},
    {"--split-magic", 0, Kind::Flag, 0, 0, ZV_FLAG(splitMagic)},
    {"--split-pause", 0, Kind::Number, 0, 10000, ZV_INT(splitPauseMs)},
    {"--bad-checksum-at", 0, Kind::Number, 1, INT_MAX, ZV_INT(badChecksumAt)},
    {"--cancel-greeting-at", 0, Kind::Number, 1, INT_MAX, ZV_INT(cancelGreetingAt)},
    {"--past-end", 0, Kind::Flag, 0, 0, ZV_FLAG(pastEnd)},
    {"--silent-after", 0, Kind::Number, 0, INT_MAX, ZV_INT(silentAfter)},
    {"--reset-after", 0, Kind::Number, 1, INT_MAX, ZV_INT(resetAfter)},
    {"--flood", 0, Kind::Number, 0, 1 << 24, ZV_INT(flood)},
    {"--flood-pause", 0, Kind::Number, 0, 60000, ZV_INT(floodPauseMs)},
    {"--seed", 0, Kind::Number, 0, UINT32_MAX, ZV_INT(seed)},
};

#undef ZV_INT
#undef ZV_TEXT
#undef ZV_FLAG

const OptionRule* Find(const std::string& name)
{
    for (const OptionRule& s : kRules) {
        if (name == s.name || (name.size() == 2 && s.shortName != 0 && name[1] == s.shortName))
            return &s;
    }
    return nullptr;
}

bool DeviceSpeed(uint32_t speed)
{
    for (uint32_t s : {9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 460800u, 921600u}) {
        if (speed == s)
            return true;
    }
    return false;
}

bool AnyFault(const BoxOptions& o)
{
    return o.noiseBefore > 0 || o.noiseInMagic || o.splitMagic || o.badChecksumAt > 0 ||
           o.cancelGreetingAt > 0 || o.pastEnd || o.silentAfter >= 0 || o.resetAfter > 0 ||
           o.flood > 0;
}

// Reads --hello-payload and checks that every box's greeting fits a frame.
int CheckHello(BoxOptions& o)
{
    std::string error;
    if (!o.helloSpec.empty() && !o.hello.Parse(o.helloSpec, error))
        return Usage("--hello-payload '" + o.helloSpec + "': " + error);
    HelloCounters most;
    most.line = LineCount(o) - 1;
    most.box = o.boxes;
    most.serial = static_cast<long long>(LineCount(o)) * o.boxes;
    if (!o.hello.Fits(most, error))
        return Usage("--hello-payload '" + o.helloSpec + "': " + error);
    return kGoOn;
}

int CheckCombination(BoxOptions& o)
{
    if (o.pty == !o.port.empty())
        return Usage("give exactly one of --pty and --port PATH");
    if (!o.link.empty() && !o.pty)
        return Usage("--link needs --pty");
    if (o.lines > 0 && !o.pty)
        return Usage("--lines needs --pty: each line is a pseudo-terminal of its own");
    if (!o.linkPrefix.empty() && !o.pty)
        return Usage("--link-prefix needs --pty");
    if (!o.link.empty() && !o.linkPrefix.empty())
        return Usage("give one of --link and --link-prefix");
    if (!o.link.empty() && o.lines > 1)
        return Usage("--link names one line; for --lines " + std::to_string(o.lines) +
                     " give --link-prefix P for P0 to P" + std::to_string(o.lines - 1));
    if (!DeviceSpeed(o.speed))
        return Usage("--speed " + std::to_string(o.speed) +
                     ": not one of 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600");
    if (o.size < 0 && o.expectPath.empty())
        return Usage("give --size N or --expect FILE");
    if (o.faultBox > o.boxes)
        return Usage("--fault-box " + std::to_string(o.faultBox) + " is beyond --boxes " +
                     std::to_string(o.boxes));
    if (o.faultBox > 0 && !AnyFault(o))
        return Usage("--fault-box names the box for a fault, but no fault option is given");
    return CheckHello(o);
}

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int ParseBoxOptions(int argc, char** argv, BoxOptions& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(BoxUsage(), stdout);
            return 0;
        }
        if (arg == "--version" || arg == "-V") {
            std::puts("zurivavave-boxsim " ZV_VERSION);
            return 0;
        }
        // --name=value, or a short option with its value attached: -pPATH.
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasValue = true;
            }
        } else if (arg.size() > 2 && arg[0] == '-') {
            value = arg.substr(2);
            arg = arg.substr(0, 2);
            hasValue = true;
        }
        const OptionRule* rule = arg.size() >= 2 && arg[0] == '-' ? Find(arg) : nullptr;
        if (!rule)
            return Usage("unknown option '" + std::string(argv[i]) + "'");
        if (rule->kind == Kind::Flag) {
            if (hasValue)
                return Usage(arg + " takes no value");
            rule->set(o, std::string(), 0);
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= argc)
                return Usage(arg + " needs a value");
            value = argv[++i];
        }
        long long number = 0;
        if (rule->kind == Kind::Number && !ParseInt(value, rule->lo, rule->hi, number))
            return Usage(arg + " '" + value + "': not a number from " + std::to_string(rule->lo) +
                         " to " + std::to_string(rule->hi));
        if (rule->kind == Kind::Text && value.empty())
            return Usage(arg + " needs a value");
        rule->set(o, value, number);
    }
    return CheckCombination(o);
}

int LoadExpectedImage(const BoxOptions& o, std::vector<unsigned char>& expected)
{
    if (!o.expectPath.empty()) {
        std::ifstream in(o.expectPath, std::ios::binary);
        if (!in)
            return Usage("cannot read " + o.expectPath + ": " + std::strerror(errno));
        expected.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (o.size > static_cast<long long>(expected.size()))
            return Usage("--size is larger than " + o.expectPath);
    }
    // What the run writes must never be what it reads or talks through.
    for (int line = 0; line < LineCount(o) && !o.outPath.empty(); ++line) {
        const std::string out = OutPathOfLine(o, line);
        std::vector<std::string> others = {o.expectPath, o.port, o.link};
        for (int other = 0; other < LineCount(o) && !o.linkPrefix.empty(); ++other)
            others.push_back(o.linkPrefix + std::to_string(other));
        for (const std::string& other : others) {
            if (!other.empty() && SameFile(out, other))
                return Usage("--out " + out + " is the same file as " + other);
        }
    }
    long long imageSize = o.size >= 0 ? o.size : static_cast<long long>(expected.size());
    if (imageSize > (1LL << 24))
        return Usage("the box addresses only the first 16 MiB (24-bit offsets)");
    if (o.pastEnd && imageSize == 0)
        return Usage("--past-end needs a non-empty image");
    long long requests = (imageSize + o.block - 1) / o.block;
    if (o.resetAfter > 0 && o.resetAfter >= requests)
        return Usage("--reset-after " + std::to_string(o.resetAfter) + ": the image takes only " +
                     std::to_string(requests) + " requests, so the box would never reset");
    return kGoOn;
}

int LineCount(const BoxOptions& o) { return o.lines > 0 ? o.lines : 1; }

std::string OutPathOfLine(const BoxOptions& o, int line)
{
    if (o.outPath.empty() || o.lines == 0)
        return o.outPath;
    return o.outPath + "." + std::to_string(line);
}

BoxOptions OptionsForLine(const BoxOptions& all, int line)
{
    BoxOptions o = all;
    o.line = line;
    o.outPath = OutPathOfLine(all, line);
    return o;
}

BoxOptions OptionsForBox(const BoxOptions& all, int box)
{
    BoxOptions o = all;
    HelloCounters at;
    at.line = all.line;
    at.box = box;
    at.serial = static_cast<long long>(all.line) * all.boxes + box;
    o.helloBytes = all.hello.Expand(at);
    // Noise of its own for every box of the run, every line's too.
    o.seed = all.seed + static_cast<uint32_t>(at.serial - 1);
    if (all.faultBox == 0 || all.faultBox == box)
        return o;
    o.noiseBefore = 0;
    o.noiseInMagic = false;
    o.splitMagic = false;
    o.badChecksumAt = 0;
    o.cancelGreetingAt = 0;
    o.pastEnd = false;
    o.silentAfter = -1;
    o.resetAfter = 0;
    o.flood = 0;
    return o;
}
