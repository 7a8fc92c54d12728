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

const char kUsage[] =
    "Usage: zurivavave-boxsim [OPTION]... (--pty | -p PATH)\n"
    "Plays set-top boxes on a serial line so the downloader can be tried and\n"
    "tested without hardware: each box greets, requests the whole image block\n"
    "by block, optionally asks for the time, reports done and checks what it\n"
    "received. Several boxes can follow one another on the same line, as on a\n"
    "production line, and faults can be injected.\n"
    "\n"
    "Line:\n"
    "      --pty              create a pseudo-terminal pair; the first line on\n"
    "                         stdout is 'PTY <slave path>' for the host to open\n"
    "      --link PATH        with --pty: also make PATH a symlink to the slave\n"
    "  -p, --port PATH        use this serial device instead\n"
    "  -b, --speed B          device speed for --port: 9600, 19200, 38400, 57600,\n"
    "                         115200 (default), 230400, 460800 or 921600\n"
    "      --wait-host        with --pty: wait until the host opens the line\n"
    "      --start-delay MS   wait this long before the first hello\n"
    "      --baud B           emulate the wire time of B baud in both directions\n"
    "                         (not the device speed): each byte reaches the host\n"
    "                         when it has crossed the wire, and the box answers a\n"
    "                         frame only once all of it has\n"
    "      --block-delay MS   extra delay after every block (USB latency timer)\n"
    "\n"
    "Transfer:\n"
    "      --expect FILE      the image the host should serve; a box is OK only\n"
    "                         if every byte it received matches it\n"
    "      --size N           image size to request (default: size of --expect)\n"
    "      --out FILE         write the bytes received to FILE (with --boxes:\n"
    "                         what the last box received)\n"
    "      --block N          bytes per request, 1..255 (default 255)\n"
    "      --tag-start N      first frame tag of every box, 0..255, then +1 per\n"
    "                         frame (default 1)\n"
    "      --time             ask for the time and check it is within a day of now\n"
    "      --reply-timeout MS\n"
    "                         wait per request (default 2000)\n"
    "      --retries N        further tries per request (default 3)\n"
    "      --hello-interval MS\n"
    "                         repeat the hello this often until answered\n"
    "                         (default 500)\n"
    "      --hello-timeout MS\n"
    "                         give up on the hello, or on a host opening the\n"
    "                         line, after this long (default 30000)\n"
    "      --linger MS        after the last box's done, wait this long for the\n"
    "                         host to close (default 3000)\n"
    "      --hold MS          with --silent-after: longest hold of the line\n"
    "                         (default 30000)\n"
    "\n"
    "Boxes:\n"
    "      --boxes N          play N boxes one after another on the line (default\n"
    "                         1); the host may keep the line open from box to box\n"
    "                         or close it and open it again: on a pty every box\n"
    "                         after the first waits for a host, as --wait-host\n"
    "      --box-pause MS     the technician's reset between two boxes (default\n"
    "                         1000): what arrives meanwhile is dropped\n"
    "      --fault-box K      the faults below apply to box K only (default: to\n"
    "                         every box)\n"
    "\n"
    "Faults:\n"
    "      --noise-before N   N random bytes before every frame\n"
    "      --noise-in-magic   a zero byte inside every magic: \"Ku\" 00 \"vo\"\n"
    "      --split-magic      send every magic in two writes with a pause\n"
    "      --split-pause MS   that pause (default 20)\n"
    "      --bad-checksum-at K\n"
    "                         send request K once with a wrong checksum first;\n"
    "                         it must go unanswered\n"
    "      --cancel-greeting-at K\n"
    "                         send a type-3 frame before request K; the next\n"
    "                         request must go unanswered, then greet again\n"
    "      --past-end         the last request reaches one byte past the end; it\n"
    "                         must go unanswered (the host ends with an error)\n"
    "      --silent-after K   stop after K requests and hold the line until the\n"
    "                         host gives up and closes it; with --boxes above 1\n"
    "                         a host may keep the line open, so the end of --hold\n"
    "                         also ends the box (make it longer than the host's\n"
    "                         watchdog, about 13 s)\n"
    "      --reset-after K    after K requests greet again, as a box reset in\n"
    "                         the middle of its download, and download the image\n"
    "                         from the start; still the same one of the --boxes\n"
    "      --flood N          N garbage bytes at once after the greeting\n"
    "      --flood-pause MS   quiet time after the flood (default 300)\n"
    "      --seed N           seed for noise (default 1; box k uses N + k - 1)\n"
    "\n"
    "Output:\n"
    "  -q, --quiet            only errors, the PTY line and the result lines\n"
    "  -h, --help             show this help and exit\n"
    "  -V, --version          show the version and exit\n"
    "\n"
    "Results:\n"
    "  With --boxes above 1 every box prints a line on stdout as it ends, for\n"
    "  example \"OK box 2/3 65536 bytes, 258 requests, 0 retries, 0 stray,\n"
    "  0.41 s, 156.1 KiB/s\" (FAILED when it failed). The last line is for the\n"
    "  whole run: OK only if every box was, the totals in the same form and,\n"
    "  with --boxes above 1, the count at its end (\", 3/3 boxes OK\"). A box\n"
    "  with a fault is OK when the host handled the fault as it must. Messages\n"
    "  go to stderr.\n"
    "\n"
    "Exit status:\n"
    "  0  every box OK\n"
    "  1  a box failed, received other bytes than --expect, or the line failed\n"
    "  2  usage error\n"
    "\n"
    "Examples:\n"
    "  Try the downloader on a pseudo-terminal (the simulator prints its PTY):\n"
    "    $ zurivavave-boxsim --pty --link /tmp/box --expect fw.wzb &\n"
    "    $ zurivavave-cli -p /tmp/box fw.wzb\n"
    "  Three boxes in a row, served by one downloader run per box or a shift:\n"
    "    $ zurivavave-boxsim --pty --link /tmp/box --boxes 3 --expect fw.wzb &\n"
    "    $ zurivavave-cli --loop --count 3 -p /tmp/box fw.wzb\n"
    "  The second of three boxes asks for a block past the end of the file:\n"
    "    $ zurivavave-boxsim --pty --boxes 3 --fault-box 2 --past-end --expect fw.wzb\n"
    "  A box reset after 10 requests:\n"
    "    $ zurivavave-boxsim --pty --reset-after 10 --expect fw.wzb\n"
    "  A box on a real serial line at 57600 baud:\n"
    "    $ zurivavave-boxsim -p /dev/ttyUSB1 -b 57600 --expect fw.wzb\n";

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

int CheckCombination(const BoxOptions& o)
{
    if (o.pty == !o.port.empty())
        return Usage("give exactly one of --pty and --port PATH");
    if (!o.link.empty() && !o.pty)
        return Usage("--link needs --pty");
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
    return kGoOn;
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
            std::fputs(kUsage, stdout);
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
    if (!o.outPath.empty()) {
        for (const std::string& other : {o.expectPath, o.port, o.link}) {
            if (!other.empty() && SameFile(o.outPath, other))
                return Usage("--out " + o.outPath + " is the same file as " + other);
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

BoxOptions OptionsForBox(const BoxOptions& all, int box)
{
    BoxOptions o = all;
    o.seed = all.seed + static_cast<uint32_t>(box - 1);
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
