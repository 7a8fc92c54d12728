// zv-bench: measures the command-line downloader from the outside, as the
// box sees it. Every measurement runs the real programs over real
// pseudo-terminals and prints one "RESULT key=value ..." line.
//
//   turnaround  request-to-reply time of zurivavave-cli, or of the minimal
//               echo (the floor), over a pty without speed emulation
//   silent      CPU of zurivavave-cli while no box talks, and after a hello
//               until its watchdog gives up
//   line        a whole file served to the box simulator at an emulated
//               line speed: payload bytes/s against the stop-and-wait limit
//   ideal       the same with the bench as a box of exact wire timing, so
//               what is left over is the host's own time
//   peer        one file moved over a pty pair joined by a relay (paced or
//               not): zurivavave-cli with the simulator, or sz/rz
//
// line and ideal take --awake 1: every CPU is kept from going idle for the
// run (see AwakeCpus), to tell the host's own time from a virtual
// machine's wake-up delays.
#include "BenchUtil.h"
#include "BoxFrames.h"
#include "StationBench.h"

#include "protocol/Frame.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace bench;

namespace {

struct Args {
    std::map<std::string, std::string> values;
    std::string Get(const std::string& key, const std::string& def = "") const
    {
        auto it = values.find(key);
        return it == values.end() ? def : it->second;
    }
    long long Num(const std::string& key, long long def) const
    {
        auto it = values.find(key);
        return it == values.end() ? def : std::atoll(it->second.c_str());
    }
    bool Has(const std::string& key) const { return values.count(key) != 0; }
};

[[noreturn]] void Die(const std::string& text)
{
    std::fprintf(stderr, "zv-bench: %s\n", text.c_str());
    std::exit(1);
}

struct Stats {
    double median = 0, p90 = 0, p99 = 0, p999 = 0, max = 0, mean = 0, min = 0;
};

Stats Summarise(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
        return v[std::min(v.size() - 1, i == 0 ? 0 : i - 1)];
    };
    s.median = at(0.5);
    s.p90 = at(0.9);
    s.p99 = at(0.99);
    s.p999 = at(0.999);
    s.max = v.back();
    s.min = v.front();
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / static_cast<double>(v.size());
    return s;
}

// ---------------------------------------------------------------- turnaround

// One host under measurement on its own pty: zurivavave-cli (real frames,
// checked against the file) or the echo floor (fixed frames).
struct Endpoint {
    std::string name;
    bool echo = false;
    Pty pty;
    Child child;
    ChildLaunch launch;
    unsigned char tag = 1;
    std::vector<double> us;
    int64_t cpuNs = 0;
    long bad = 0;
    int exitCode = 0;
};

bool StartEndpoint(Endpoint& e, const std::string& program, const std::string& file, const std::string& dir)
{
    std::string err;
    if (!e.pty.Open(err))
        Die(err);
    if (e.echo)
        e.launch.argv = {program, e.pty.slave};
    else
        e.launch.argv = {program, "--port", e.pty.slave, "--speed", "115200", file};
    e.launch.stdoutPath = dir + "/" + e.name + ".out";
    e.launch.stderrPath = dir + "/" + e.name + ".err";
    if (!e.child.Start(e.launch) || !e.pty.WaitSlaveOpen(5000))
        return false;
    if (e.echo) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // its raw mode set
        return true;
    }
    return Greet(e.pty.master, e.tag++);
}

// count requests of 255 bytes to one host, timed from handing the request
// to the line until the last byte of the reply has been read.
void RunRequests(Endpoint& e, const std::vector<unsigned char>& file, long count, long first, bool record)
{
    const long span = e.echo ? 1 : static_cast<long>(file.size()) - 255 + 1;
    unsigned char reply[263];
    int64_t cpu0 = ThreadCpuNs(e.child.Pid());
    for (long i = first; i < first + count; ++i) {
        long offset = (i * 255) % span;
        auto req = DataRequest(e.tag, offset, 255);
        // From the moment the request is handed to the line: the write
        // itself can be overtaken by the reply on a second core.
        auto t0 = Clock::now();
        if (!WriteAll(e.pty.master, req.data(), req.size(), 2000))
            Die(e.name + ": request write failed at " + std::to_string(i));
        if (!ReadExact(e.pty.master, reply, sizeof reply, 2000))
            Die(e.name + ": no complete reply to request " + std::to_string(i) + "\n" +
                ReadText(e.launch.stdoutPath) + ReadText(e.launch.stderrPath));
        auto t1 = Clock::now();
        if (record)
            e.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        if (!e.echo) {
            unsigned char want[263];
            EncodeFrame(e.tag, FT_DATA, file.data() + offset, 255, want);
            if (std::memcmp(want, reply, sizeof want) != 0)
                ++e.bad;
        }
        ++e.tag;
    }
    if (record)
        e.cpuNs += ThreadCpuNs(e.child.Pid()) - cpu0;
}

void StopEndpoint(Endpoint& e)
{
    if (!e.echo) {
        auto done = MakeFrame(e.tag, FT_DONE, nullptr, 0);
        WriteAll(e.pty.master, done.data(), done.size(), 1000);
        if (!e.child.Wait(10000))
            Die(e.name + ": the CLI did not end after FT_DONE");
        e.exitCode = e.child.ExitCode();
    } else {
        e.pty.Close();  // the echo reads end of file or EIO and ends
        if (!e.child.Wait(2000))
            e.child.Kill();
    }
}

// The hosts run side by side and take turns in rounds, so load from the
// rest of the machine falls on all of them alike.
int Turnaround(const Args& a)
{
    const long requests = a.Num("requests", 20000);
    const long rounds = std::max(1LL, a.Num("rounds", 20));
    const long warmup = a.Num("warmup", 500);
    const long perRound = (requests + rounds - 1) / rounds;
    const std::string fileName = a.Get("file");
    std::vector<unsigned char> file = ReadBinary(fileName);
    std::string dir = TempDir();

    std::vector<std::unique_ptr<Endpoint>> hosts;
    for (const char* key : {"cli", "alt", "echo"}) {
        if (!a.Has(key))
            continue;
        hosts.emplace_back(new Endpoint);
        Endpoint& e = *hosts.back();
        e.name = key;
        e.echo = std::string(key) == "echo";
        if (!e.echo && file.size() < 255)
            Die("--file must name a file of at least 255 bytes");
        if (!StartEndpoint(e, a.Get(key), fileName, dir))
            Die(e.name + ": host did not start or greet");
    }
    for (auto& e : hosts)
        RunRequests(*e, file, warmup, 0, false);
    auto start = Clock::now();
    for (long r = 0; r < rounds; ++r)
        for (auto& e : hosts)
            RunRequests(*e, file, perRound, warmup + r * perRound, true);
    double wall = Seconds(Clock::now() - start);
    int rc = 0;
    for (auto& e : hosts) {
        StopEndpoint(*e);
        Stats s = Summarise(e->us);
        std::printf("RESULT turnaround rep=%s host=%s n=%zu min_us=%.1f median_us=%.1f p90_us=%.1f p99_us=%.1f "
                    "p999_us=%.1f max_us=%.1f mean_us=%.1f cpu_us_per_req=%.1f bad=%ld exit=%d wall_s=%.2f\n",
                    a.Get("rep", "1").c_str(), e->name.c_str(), e->us.size(), s.min, s.median, s.p90, s.p99, s.p999, s.max, s.mean,
                    static_cast<double>(e->cpuNs) / 1e3 / static_cast<double>(e->us.size()), e->bad,
                    e->exitCode, wall);
        if (e->bad != 0 || e->exitCode != 0)
            rc = 1;
    }
    RemoveDir(dir);
    return rc;
}

// -------------------------------------------------------------------- silent

int Silent(const Args& a)
{
    const int seconds = static_cast<int>(a.Num("seconds", 30));
    Pty pty;
    std::string err;
    if (!pty.Open(err))
        Die(err);
    std::string dir = TempDir();
    ChildLaunch launch;
    launch.argv = {a.Get("cli"), "--port", pty.slave, a.Get("file")};
    launch.stdoutPath = dir + "/cli.out";
    launch.stderrPath = dir + "/cli.err";
    Child cli;
    if (!cli.Start(launch))
        Die("cannot start the CLI");
    if (!pty.WaitSlaveOpen(5000))
        Die("the CLI did not open " + pty.slave);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past start-up

    // Phase 1: nobody on the line (the box not reset yet).
    int64_t cpu0 = ThreadCpuNs(cli.Pid()), sw0 = VoluntarySwitches(cli.Pid());
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    int64_t cpu1 = ThreadCpuNs(cli.Pid()), sw1 = VoluntarySwitches(cli.Pid());
    double idleSecs = Seconds(Clock::now() - t0);
    if (!cli.Running() || cli.Wait(0))
        Die("the CLI ended while waiting for a box");

    // Phase 2: the box greeted and fell silent; the watchdog ends it.
    if (!Greet(pty.master, 7))
        Die("no FT_HELLO_ACK");
    int64_t cpu2 = ThreadCpuNs(cli.Pid()), sw2 = VoluntarySwitches(cli.Pid());
    auto t2 = Clock::now();
    int64_t swLast = sw2;
    while (!cli.Wait(0)) {
        if (Seconds(Clock::now() - t2) > 40)
            Die("the CLI still runs 40 s after the box fell silent");
        swLast = std::max(swLast, VoluntarySwitches(cli.Pid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    double greetedSecs = Seconds(cli.Ended() - t2);
    // Whole-life CPU from the kernel's accounting minus what was used up to
    // the hello's acknowledgement.
    double greetedCpu = cli.CpuSeconds() - static_cast<double>(cpu2) / 1e9;
    std::string out = ReadText(launch.stdoutPath);
    bool external = out.find("External Error Occurred!") != std::string::npos;
    RemoveDir(dir);

    std::printf("RESULT silent idle_s=%.1f idle_cpu_ms=%.2f idle_pct=%.4f idle_wakeups_per_s=%.1f "
                "greeted_s=%.2f greeted_cpu_ms=%.2f greeted_pct=%.4f greeted_wakeups_per_s=%.1f "
                "exit=%d external_error=%d total_cpu_s=%.3f\n",
                idleSecs, static_cast<double>(cpu1 - cpu0) / 1e6,
                static_cast<double>(cpu1 - cpu0) / 1e9 / idleSecs * 100.0,
                static_cast<double>(sw1 - sw0) / idleSecs, greetedSecs, greetedCpu * 1e3,
                greetedCpu / greetedSecs * 100.0, static_cast<double>(swLast - sw2) / greetedSecs,
                cli.ExitCode(), external ? 1 : 0, cli.CpuSeconds());
    return cli.ExitCode() == 6 && external ? 0 : 1;
}

// ---------------------------------------------------------------------- line

int Line(const Args& a)
{
    const std::string file = a.Get("file");
    const long baud = a.Num("baud", 0);
    const int blockDelay = static_cast<int>(a.Num("block-delay", 0));
    const long long size = static_cast<long long>(ReadBinary(file).size());
    AwakeCpus awake(a.Num("awake", 0) != 0);
    std::string dir = TempDir();

    ChildLaunch boxLaunch;
    boxLaunch.argv = {a.Get("boxsim"), "--pty", "--wait-host", "--hello-interval", "20", "--expect", file,
                    "--baud", std::to_string(baud)};
    if (blockDelay > 0) {
        boxLaunch.argv.push_back("--block-delay");
        boxLaunch.argv.push_back(std::to_string(blockDelay));
    }
    boxLaunch.stdoutPath = dir + "/box.out";
    boxLaunch.stderrPath = dir + "/box.err";
    Child box;
    if (!box.Start(boxLaunch))
        Die("cannot start the simulator");
    std::string slave;
    if (!WaitForPtyLine(boxLaunch.stdoutPath, slave, box))
        Die("the simulator did not announce its pty: " + ReadText(boxLaunch.stderrPath));

    long speed = baud >= 19200 && baud <= 115200 ? baud : 115200;
    ChildLaunch cliLaunch;
    cliLaunch.argv = {a.Get("cli"), "--port", slave, "--speed", std::to_string(speed), file};
    cliLaunch.stdoutPath = dir + "/cli.out";
    cliLaunch.stderrPath = dir + "/cli.err";
    Child cli;
    if (!cli.Start(cliLaunch))
        Die("cannot start the CLI");

    double expect = baud > 0 ? WireSeconds(size, 255, baud) : 0.0;
    long long blocks = (size + 254) / 255;
    int limitMs = static_cast<int>((expect * 1.5 + blocks * (blockDelay + 5) / 1000.0 + 60) * 1000);
    bool cliEnded = cli.Wait(limitMs);
    bool boxEnded = box.Wait(10000);
    cli.Kill();
    box.Kill();
    std::string cliOut = ReadText(cliLaunch.stdoutPath);
    std::string boxOut = ReadText(boxLaunch.stdoutPath);
    if (!cliEnded || !boxEnded || cli.ExitCode() != 0 || box.ExitCode() != 0) {
        std::fprintf(stderr, "zv-bench: line run failed (cli %d, box %d)\n%s%s%s%s", cli.ExitCode(),
                     box.ExitCode(), cliOut.c_str(), ReadText(cliLaunch.stderrPath).c_str(), boxOut.c_str(),
                     ReadText(boxLaunch.stderrPath).c_str());
        RemoveDir(dir);
        return 1;
    }
    unsigned long long served = 0, servedBlocks = 0, retries = 0;
    double servedSecs = 0, boxSecs = 0;
    ParseServed(cliOut, served, servedBlocks, servedSecs);
    size_t ok = boxOut.find("OK ");
    unsigned long long got = 0, reqs = 0, stray = 0;
    if (ok != std::string::npos)
        std::sscanf(boxOut.c_str() + ok, "OK %llu bytes, %llu requests, %llu retries, %llu stray, %lf s", &got,
                    &reqs, &retries, &stray, &boxSecs);
    RemoveDir(dir);

    // Whole download as the user sees it: from starting the CLI to its exit.
    double wall = cli.WallSeconds();
    double rate = static_cast<double>(size) / wall;
    double limit = baud > 0 ? baud / 10.0 * 255.0 / 275.0 : 0.0;
    double eff = baud > 0 ? expect / wall * 100.0 : 0.0;
    // Steady state: the interval between consecutive replies against one
    // block's wire time.
    double perBlock = servedBlocks > 1 ? servedSecs / static_cast<double>(servedBlocks - 1) : 0.0;
    double steady = baud > 0 && perBlock > 0 ? (275.0 * 10.0 / baud) / perBlock * 100.0 : 0.0;
    std::printf("RESULT line awake=%d baud=%ld block_delay_ms=%d size=%lld wall_s=%.3f rate_Bps=%.1f limit_Bps=%.1f "
                "eff_pct=%.2f steady_pct=%.2f per_block_ms=%.4f cli_cpu_s=%.3f cli_cpu_pct=%.3f "
                "box_s=%.2f retries=%llu\n",
                awake.Count() > 0 ? 1 : 0, baud, blockDelay, size, wall, rate, limit, eff, steady, perBlock * 1e3, cli.CpuSeconds(),
                cli.CpuSeconds() / wall * 100.0, boxSecs, retries);
    return 0;
}

// --------------------------------------------------------------------- ideal

// Sleeps most of the way, then spins: a line model that wakes late by the
// scheduler's timer slack would charge that lateness to the host.
void HoldUntil(Clock::time_point t)
{
    if (t - Clock::now() > std::chrono::microseconds(400))
        std::this_thread::sleep_until(t - std::chrono::microseconds(300));
    while (Clock::now() < t) {
    }
}

// The bench plays a box with exact wire timing: a request reaches the host
// once its 12 bytes have crossed the line, a reply is complete no earlier
// than its first byte plus the wire time of the whole frame. Whatever the
// download takes beyond the wire time is the host's.
int Ideal(const Args& a)
{
    const long baud = a.Num("baud", 115200);
    const std::string fileName = a.Get("file");
    std::vector<unsigned char> file = ReadBinary(fileName);
    std::string dir = TempDir();
    AwakeCpus awake(a.Num("awake", 0) != 0);
    Endpoint e;
    e.echo = a.Has("echo");
    e.name = e.echo ? "echo" : "cli";
    if (!StartEndpoint(e, a.Get(e.name), fileName, dir))
        Die("the host did not start or greet");

    const long size = static_cast<long>(file.size());
    long blocks = 0;
    Clock::duration wire{};
    unsigned char reply[263];
    int64_t cpu0 = ThreadCpuNs(e.child.Pid());
    auto start = Clock::now();
    auto lineFree = start;
    for (long offset = 0; offset < size; offset += 255) {
        // The echo answers every request with 255 bytes.
        int n = e.echo ? 255 : static_cast<int>(std::min<long>(255, size - offset));
        auto req = DataRequest(e.tag, offset, n);
        lineFree += WireTime(12, baud);
        HoldUntil(lineFree);
        if (!WriteAll(e.pty.master, req.data(), req.size(), 2000))
            Die("request write failed");
        // First byte of the reply, then the rest.
        if (!ReadExact(e.pty.master, reply, 1, 2000))
            Die("no reply at offset " + std::to_string(offset));
        auto first = Clock::now();
        if (!ReadExact(e.pty.master, reply + 1, static_cast<size_t>(n + 7), 2000))
            Die("incomplete reply at offset " + std::to_string(offset));
        lineFree = std::max(first + WireTime(n + 8, baud), Clock::now());
        HoldUntil(lineFree);
        unsigned char want[263];
        EncodeFrame(e.tag, FT_DATA, file.data() + offset, static_cast<unsigned char>(n), want);
        if (!e.echo && std::memcmp(want, reply, static_cast<size_t>(n + 8)) != 0)
            ++e.bad;
        wire += WireTime(12 + n + 8, baud);
        ++blocks;
        ++e.tag;
    }
    double total = Seconds(lineFree - start);
    int64_t cpu1 = ThreadCpuNs(e.child.Pid());
    StopEndpoint(e);
    RemoveDir(dir);
    double eff = Seconds(wire) / total * 100.0;
    std::printf("RESULT ideal awake=%d host=%s baud=%ld size=%ld blocks=%ld total_s=%.3f wire_s=%.3f eff_pct=%.2f "
                "host_us_per_block=%.1f cli_cpu_pct=%.3f bad=%ld exit=%d\n",
                awake.Count() > 0 ? 1 : 0, e.name.c_str(), baud, size, blocks, total, Seconds(wire), eff,
                (total - Seconds(wire)) * 1e6 / static_cast<double>(blocks),
                static_cast<double>(cpu1 - cpu0) / 1e9 / total * 100.0, e.bad, e.exitCode);
    return e.bad == 0 && e.exitCode == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------- peer

// Joins two pty masters, optionally holding every chunk for its wire time
// at baud, one thread per direction.
class Relay {
public:
    Relay(int a, int b, long baud) : m_A(a), m_B(b), m_Baud(baud) {}
    void Start()
    {
        m_Threads.emplace_back([this] { Pump(m_A, m_B, m_AtoB); });
        m_Threads.emplace_back([this] { Pump(m_B, m_A, m_BtoA); });
    }
    void Stop()
    {
        m_Stop.store(true);
        for (auto& t : m_Threads)
            t.join();
        m_Threads.clear();
    }
    ~Relay()
    {
        if (!m_Threads.empty())
            Stop();
    }
    uint64_t AtoB() const { return m_AtoB.load(); }
    uint64_t BtoA() const { return m_BtoA.load(); }

private:
    void Pump(int from, int to, std::atomic<uint64_t>& count)
    {
        unsigned char buf[4096];
        Clock::time_point lineFree{};
        while (!m_Stop.load()) {
            struct pollfd p = {from, POLLIN, 0};
            int pr = ::poll(&p, 1, 20);
            if (pr <= 0)
                continue;
            if (!(p.revents & POLLIN)) {
                // No one on that side (yet, or any more).
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            ssize_t r = ::read(from, buf, sizeof buf);
            if (r <= 0)
                continue;
            if (m_Baud > 0) {
                auto wire = std::chrono::nanoseconds(static_cast<int64_t>(r) * 10 * 1000000000LL / m_Baud);
                lineFree = std::max(lineFree, Clock::now()) + std::chrono::duration_cast<Clock::duration>(wire);
                std::this_thread::sleep_until(lineFree);
            }
            WriteAll(to, buf, static_cast<size_t>(r), 5000);
            count += static_cast<uint64_t>(r);
        }
    }

    int m_A, m_B;
    long m_Baud;
    std::atomic<bool> m_Stop{false};
    std::atomic<uint64_t> m_AtoB{0}, m_BtoA{0};
    std::vector<std::thread> m_Threads;
};

int Peer(const Args& a)
{
    const std::string tool = a.Get("tool");
    const std::string file = a.Get("file");
    const long baud = a.Num("baud", 0);
    const long long size = static_cast<long long>(ReadBinary(file).size());
    Pty host, box;
    std::string err;
    if (!host.Open(err) || !box.Open(err))
        Die(err);
    std::string dir = TempDir();
    Relay relay(host.master, box.master, baud);
    relay.Start();

    Child sender, receiver;
    ChildLaunch s, r;
    bool ok = false;
    bool lingered = false;
    std::string why;
    if (tool == "lrzsz") {
        // sz on the host's side, rz on the box's, each with the pty as its
        // terminal; rz writes into an empty directory.
        std::string inbox = dir + "/inbox";
        ::mkdir(inbox.c_str(), 0755);
        r.argv = {a.Get("rz", "/usr/bin/rz"), "-q", "-y"};
        r.ttyPath = box.slave;
        r.cwd = inbox;
        r.stderrPath = dir + "/rz.err";
        s.argv = {a.Get("sz", "/usr/bin/sz"), "-q", file};
        s.ttyPath = host.slave;
        s.stderrPath = dir + "/sz.err";
        if (!receiver.Start(r) || !sender.Start(s))
            Die("cannot start sz/rz");
        long limitMs = static_cast<long>((baud > 0 ? size * 10.0 / baud * 1.5 : 0) * 1000) + 60000;
        bool sEnded = sender.Wait(static_cast<int>(limitMs));
        // On a paced line rz can sit out its final timeout waiting for the
        // "OO" that ends a session, long after it has written the file; the
        // file is checked instead of its exit code then.
        bool rEnded = receiver.Wait(3000);
        lingered = !rEnded;
        if (lingered)
            receiver.Kill();
        std::string name = file.substr(file.rfind('/') + 1);
        ok = sEnded && sender.ExitCode() == 0 && (lingered || receiver.ExitCode() == 0) &&
             ReadBinary(inbox + "/" + name) == ReadBinary(file);
        why = "sz " + std::to_string(sender.ExitCode()) + ", rz " + std::to_string(receiver.ExitCode()) + "\n" +
              ReadText(s.stderrPath) + ReadText(r.stderrPath);
    } else {
        r.argv = {a.Get("boxsim"), "--port", box.slave, "--hello-interval", "20", "--expect", file};
        r.stdoutPath = dir + "/box.out";
        r.stderrPath = dir + "/box.err";
        s.argv = {a.Get("cli"), "--port", host.slave, file};
        s.stdoutPath = dir + "/cli.out";
        s.stderrPath = dir + "/cli.err";
        if (!sender.Start(s))
            Die("cannot start the CLI");
        if (!host.WaitSlaveOpen(5000))
            Die("the CLI did not open its port");
        if (!receiver.Start(r))
            Die("cannot start the simulator");
        long limitMs = static_cast<long>((baud > 0 ? WireSeconds(size, 255, baud) * 1.5 : 0) * 1000) + 60000;
        bool sEnded = sender.Wait(static_cast<int>(limitMs));
        bool rEnded = receiver.Wait(10000);
        ok = sEnded && rEnded && sender.ExitCode() == 0 && receiver.ExitCode() == 0;
        why = "cli " + std::to_string(sender.ExitCode()) + ", box " + std::to_string(receiver.ExitCode()) + "\n" +
              ReadText(s.stdoutPath) + ReadText(r.stdoutPath) + ReadText(r.stderrPath);
    }
    sender.Kill();
    receiver.Kill();
    relay.Stop();
    RemoveDir(dir);
    if (!ok) {
        std::fprintf(stderr, "zv-bench: peer run with %s failed: %s\n", tool.c_str(), why.c_str());
        return 1;
    }
    // From starting the first program to the sender's exit: the sender ends
    // only once the receiver has confirmed the whole file.
    auto first = std::min(sender.Started(), receiver.Started());
    double wall = Seconds(sender.Ended() - first);
    std::printf("RESULT peer tool=%s baud=%ld size=%lld wall_s=%.3f rate_Bps=%.1f sender_cpu_s=%.3f "
                "receiver_cpu_s=%.3f to_box=%llu to_host=%llu receiver_lingered=%d\n",
                tool.c_str(), baud, size, wall, static_cast<double>(size) / wall, sender.CpuSeconds(),
                receiver.CpuSeconds(), static_cast<unsigned long long>(relay.AtoB()),
                static_cast<unsigned long long>(relay.BtoA()), lingered ? 1 : 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: zv-bench turnaround|silent|line|ideal|peer|station --key value ...\n");
        return 2;
    }
    Args a;
    for (int i = 2; i < argc; ++i) {
        std::string k = argv[i];
        if (k.rfind("--", 0) != 0)
            Die("unexpected argument " + k);
        k = k.substr(2);
        a.values[k] = i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0 ? argv[++i] : "1";
    }
    std::string cmd = argv[1];
    if (cmd == "turnaround")
        return Turnaround(a);
    if (cmd == "silent")
        return Silent(a);
    if (cmd == "line")
        return Line(a);
    if (cmd == "ideal")
        return Ideal(a);
    if (cmd == "peer")
        return Peer(a);
    if (cmd == "station")
        return RunStation(a.values);
    Die("unknown command " + cmd);
}
