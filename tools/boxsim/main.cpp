// zurivavave-boxsim: plays the set-top box on a serial line so the host
// side can be run and checked without hardware.
#include "BoxLine.h"
#include "BoxSim.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

extern std::atomic<bool> g_BoxStop;

namespace {

const char kUsage[] =
    "Usage: zurivavave-boxsim [options] (--pty | --port PATH)\n"
    "Plays the set-top box: greets, requests the whole image block by block,\n"
    "optionally asks for the time, reports done and checks what it received.\n"
    "\n"
    "Line:\n"
    "  --pty                create a pseudo-terminal pair; the first line on\n"
    "                       stdout is 'PTY <slave path>' for the host to open\n"
    "  --link PATH          with --pty: also make PATH a symlink to the slave\n"
    "  --port PATH          use this serial device instead\n"
    "  --speed B            device speed for --port (default 115200)\n"
    "  --wait-host          with --pty: wait until the host opens the line\n"
    "  --start-delay MS     wait this long before the first hello\n"
    "  --baud B             emulate the wire time of B baud in both directions:\n"
    "                       each byte reaches the host when it has crossed the\n"
    "                       wire, and the box answers a frame only once all of\n"
    "                       it has\n"
    "  --block-delay MS     extra delay after every block (USB latency timer)\n"
    "\n"
    "Transfer:\n"
    "  --expect FILE        the image the host should serve; exit 0 only if\n"
    "                       every byte received matches it\n"
    "  --size N             image size to request (default: size of --expect)\n"
    "  --out FILE           write the bytes received to FILE\n"
    "  --block N            bytes per request, 1..255 (default 255)\n"
    "  --tag-start N        first frame tag, 0..255, then +1 per frame (default 1)\n"
    "  --time               ask for the time and check it is within a day of now\n"
    "  --reply-timeout MS   wait per request (default 2000)\n"
    "  --retries N          further tries per request (default 3)\n"
    "  --hello-interval MS  repeat the hello this often until answered (default 500)\n"
    "  --hello-timeout MS   give up on the hello after this long (default 30000)\n"
    "  --linger MS          after done, wait this long for the host to close (default 3000)\n"
    "  --hold MS            with --silent-after: longest hold of the line (default 30000)\n"
    "\n"
    "Faults:\n"
    "  --noise-before N     N random bytes before every frame\n"
    "  --noise-in-magic     a zero byte inside every magic: \"Ku\" 00 \"vo\"\n"
    "  --split-magic        send every magic in two writes with a pause\n"
    "  --split-pause MS     that pause (default 20)\n"
    "  --bad-checksum-at K  send request K once with a wrong checksum first;\n"
    "                       it must go unanswered\n"
    "  --cancel-greeting-at K  send a type-3 frame before request K; the next\n"
    "                       request must go unanswered, then greet again\n"
    "  --past-end           last request reaches one byte past the end; it must\n"
    "                       go unanswered (the host ends with an error)\n"
    "  --silent-after K     stop after K requests and hold the line until the\n"
    "                       host gives up\n"
    "  --flood N            N garbage bytes at once after the greeting\n"
    "  --flood-pause MS     quiet time after the flood (default 300)\n"
    "  --seed N             seed for noise (default 1)\n"
    "\n"
    "Exit codes: 0 success, 1 failure or mismatch, 2 usage error.\n";

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

void OnSignal(int) { g_BoxStop.store(true); }

std::string g_LinkPath;
void RemoveLink()
{
    if (!g_LinkPath.empty())
        ::unlink(g_LinkPath.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    BoxOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto need = [&](std::string& out) {
            if (hasValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        auto number = [&](long long lo, long long hi, long long& out) {
            std::string text;
            if (!need(text))
                return false;
            return ParseInt(text, lo, hi, out);
        };
        long long v = 0;
        auto flag = [&](bool& f) {
            f = true;
            return !hasValue;
        };
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--pty") {
            ok = flag(o.pty);
        } else if (arg == "--port") {
            ok = need(o.port);
        } else if (arg == "--link") {
            ok = need(o.link);
        } else if (arg == "--speed") {
            ok = number(1, 4000000, v), o.speed = static_cast<uint32_t>(v);
        } else if (arg == "--wait-host") {
            ok = flag(o.waitHost);
        } else if (arg == "--start-delay") {
            ok = number(0, 600000, v), o.startDelayMs = static_cast<int>(v);
        } else if (arg == "--baud") {
            ok = number(0, 10000000, v), o.baud = static_cast<uint32_t>(v);
        } else if (arg == "--block-delay") {
            ok = number(0, 10000, v), o.blockDelayMs = static_cast<int>(v);
        } else if (arg == "--expect") {
            ok = need(o.expectPath);
        } else if (arg == "--size") {
            ok = number(0, 1LL << 24, v), o.size = v;
        } else if (arg == "--out") {
            ok = need(o.outPath);
        } else if (arg == "--block") {
            ok = number(1, 255, v), o.block = static_cast<int>(v);
        } else if (arg == "--tag-start") {
            ok = number(0, 255, v), o.tagStart = static_cast<int>(v);
        } else if (arg == "--time") {
            ok = flag(o.time);
        } else if (arg == "--reply-timeout") {
            ok = number(1, 600000, v), o.replyTimeoutMs = static_cast<int>(v);
        } else if (arg == "--retries") {
            ok = number(0, 1000, v), o.retries = static_cast<int>(v);
        } else if (arg == "--hello-interval") {
            ok = number(1, 600000, v), o.helloIntervalMs = static_cast<int>(v);
        } else if (arg == "--hello-timeout") {
            ok = number(1, 3600000, v), o.helloTimeoutMs = static_cast<int>(v);
        } else if (arg == "--linger") {
            ok = number(0, 600000, v), o.lingerMs = static_cast<int>(v);
        } else if (arg == "--hold") {
            ok = number(0, 3600000, v), o.holdMs = static_cast<int>(v);
        } else if (arg == "--noise-before") {
            ok = number(0, 100000, v), o.noiseBefore = static_cast<int>(v);
        } else if (arg == "--noise-in-magic") {
            ok = flag(o.noiseInMagic);
        } else if (arg == "--split-magic") {
            ok = flag(o.splitMagic);
        } else if (arg == "--split-pause") {
            ok = number(0, 10000, v), o.splitPauseMs = static_cast<int>(v);
        } else if (arg == "--bad-checksum-at") {
            ok = number(1, INT_MAX, v), o.badChecksumAt = static_cast<int>(v);
        } else if (arg == "--cancel-greeting-at") {
            ok = number(1, INT_MAX, v), o.cancelGreetingAt = static_cast<int>(v);
        } else if (arg == "--past-end") {
            ok = flag(o.pastEnd);
        } else if (arg == "--silent-after") {
            ok = number(0, INT_MAX, v), o.silentAfter = static_cast<int>(v);
        } else if (arg == "--flood") {
            ok = number(0, 1 << 24, v), o.flood = static_cast<int>(v);
        } else if (arg == "--flood-pause") {
            ok = number(0, 60000, v), o.floodPauseMs = static_cast<int>(v);
        } else if (arg == "--seed") {
            ok = number(0, UINT32_MAX, v), o.seed = static_cast<uint32_t>(v);
        } else {
            return Usage("unknown option '" + std::string(argv[i]) + "'");
        }
        if (!ok)
            return Usage("bad or missing value for " + arg);
    }

    if (o.pty == !o.port.empty())
        return Usage("give exactly one of --pty and --port PATH");
    if (!o.link.empty() && !o.pty)
        return Usage("--link needs --pty");
    if (o.size < 0 && o.expectPath.empty())
        return Usage("give --size N or --expect FILE");

    std::vector<unsigned char> expected;
    if (!o.expectPath.empty()) {
        std::ifstream in(o.expectPath, std::ios::binary);
        if (!in)
            return Usage("cannot read " + o.expectPath + ": " + std::strerror(errno));
        expected.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (o.size > static_cast<long long>(expected.size()))
            return Usage("--size is larger than " + o.expectPath);
    }
    long long imageSize = o.size >= 0 ? o.size : static_cast<long long>(expected.size());
    if (imageSize > (1LL << 24))
        return Usage("the box addresses only the first 16 MiB (24-bit offsets)");
    if (o.pastEnd && imageSize == 0)
        return Usage("--past-end needs a non-empty image");

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    CBoxLine line;
    std::string error;
    bool opened = o.pty ? line.OpenPty(error) : line.OpenDevice(o.port, o.speed, error);
    if (!opened) {
        std::fprintf(stderr, "zurivavave-boxsim: %s\n", error.c_str());
        return 1;
    }
    line.SetBaud(o.baud);
    if (o.pty) {
        if (!o.link.empty()) {
            struct stat st;
            if (::lstat(o.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                ::unlink(o.link.c_str());
            if (::symlink(line.SlavePath().c_str(), o.link.c_str()) != 0) {
                std::fprintf(stderr, "zurivavave-boxsim: cannot link %s: %s\n", o.link.c_str(),
                             std::strerror(errno));
                return 1;
            }
            g_LinkPath = o.link;
        }
        std::printf("PTY %s\n", line.SlavePath().c_str());
        std::fflush(stdout);
    }

    CBoxSim box(o, line, std::move(expected));
    int rc = box.Run();
    const BoxStats& s = box.Stats();

    if (!o.outPath.empty()) {
        std::FILE* f = std::fopen(o.outPath.c_str(), "wb");
        size_t n = static_cast<size_t>(box.Received());
        if (!f || std::fwrite(box.Image().data(), 1, n, f) != n) {
            std::fprintf(stderr, "zurivavave-boxsim: cannot write %s\n", o.outPath.c_str());
            rc = 1;
        }
        if (f)
            std::fclose(f);
    }
    RemoveLink();

    double rate = s.seconds > 0 ? static_cast<double>(s.received) / 1024.0 / s.seconds : 0.0;
    std::printf("%s %llu bytes, %llu requests, %llu retries, %llu stray, %.2f s, %.1f KiB/s\n",
                rc == 0 ? "OK" : "FAILED", static_cast<unsigned long long>(s.received),
                static_cast<unsigned long long>(s.requests), static_cast<unsigned long long>(s.retries),
                static_cast<unsigned long long>(s.stray), s.seconds, rate);
    std::fflush(stdout);
    return rc;
}
