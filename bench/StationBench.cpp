#include "StationBench.h"

#include "BenchUtil.h"
#include "MachineCpu.h"
#include "StationBoxes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <vector>

#include <unistd.h>

namespace bench {
namespace {

bool ParseArgs(const std::map<std::string, std::string>& m, StationArgs& a)
{
    auto get = [&](const char* k) {
        auto it = m.find(k);
        return it == m.end() ? std::string() : it->second;
    };
    a.cli = get("cli");
    a.boxsim = get("boxsim");
    a.file = get("file");
    if (!get("ports").empty())
        a.ports = std::atoi(get("ports").c_str());
    if (!get("baud").empty())
        a.baud = std::atol(get("baud").c_str());
    a.awake = get("awake") == "1";
    a.separate = get("separate") == "1";
    a.benchBoxes = get("boxes") == "bench";
    a.lineSim = get("boxes") == "lines";
    a.idleSeconds = std::atoi(get("idle-seconds").c_str());
    a.limitSeconds = std::atof(get("limit").c_str());
    a.spinSeconds = std::atoi(get("spin-seconds").c_str());
    if (!get("series").empty())
        a.series = get("series");
    if (!get("web").empty())
        a.webClients = std::atoi(get("web").c_str());
    if (!get("spinners").empty())
        a.spinners = std::atoi(get("spinners").c_str());
    if (a.spinSeconds > 0)
        return a.spinners >= 1 && a.spinners <= 64;
    if (a.cli.empty() || a.file.empty() || a.ports < 1 || a.ports > 256 || a.baud < 0 ||
        (a.idleSeconds == 0 && !a.benchBoxes && a.boxsim.empty()) || (a.benchBoxes && a.baud == 0)) {
        std::fprintf(stderr, "zv-bench station: needs --cli, --file, --ports 1..256 and --boxsim "
                             "(or --boxes bench with a --baud, or --idle-seconds S)\n");
        return false;
    }
    return true;
}

// The value of key in one JSON line of the CLI's records: a string without
// escapes (port paths, results, times) or a number.
std::string JsonField(const std::string& line, const std::string& key)
{
    std::string k = "\"" + key + "\":";
    size_t at = line.find(k);
    if (at == std::string::npos)
        return "";
    at += k.size();
    if (at < line.size() && line[at] == '"') {
        size_t end = line.find('"', at + 1);
        return end == std::string::npos ? "" : line.substr(at + 1, end - at - 1);
    }
    size_t end = line.find_first_of(",}", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// "2026-12-10T14:10:57.726Z" as milliseconds since the epoch; 0 if malformed.
int64_t IsoMs(const std::string& text)
{
    struct tm t = {};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, &ms) != 7)
        return 0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<int64_t>(::timegm(&t)) * 1000 + ms;
}

int64_t WallNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Spread {
    double min = 0, median = 0, max = 0;
};

Spread SpreadOf(std::vector<double> v)
{
    Spread s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.max = v.back();
    size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
    return s;
}

// One simulated box on its own pty, and what its port made of it.
struct Port {
    Child box;
    ChildLaunch launch;
    std::string slave;
    size_t host = 0;  // the CLI process serving it
    bool completed = false, boxOk = false;
    int64_t endMs = 0;
    unsigned long long blocks = 0, rerequests = 0, badFrames = 0, retries = 0;
    double eff = 0, steady = 0, rate = 0;
};

// A CLI process: the one station run, or with --separate one per port.
struct Host {
    Child cli;
    ChildLaunch launch;
    int64_t startMs = 0;  // wall clock, to set against the records' end times
    bool ended = false;
};

bool StartBoxes(const StationArgs& a, const std::string& dir, std::vector<std::unique_ptr<Port>>& ports)
{
    for (int i = 0; i < a.ports; ++i) {
        ports.emplace_back(new Port);
        Port& p = *ports.back();
        p.launch.argv = {a.boxsim, "--pty", "--wait-host", "--hello-interval", "20", "--expect", a.file,
                         "--baud", std::to_string(a.baud), "-q"};
        p.launch.stdoutPath = dir + "/box" + std::to_string(i) + ".out";
        p.launch.stderrPath = dir + "/box" + std::to_string(i) + ".err";
        if (!p.box.Start(p.launch) || !WaitForPtyLine(p.launch.stdoutPath, p.slave, p.box)) {
            std::fprintf(stderr, "zv-bench station: simulator %d did not announce its pty: %s\n", i,
                         ReadText(p.launch.stderrPath).c_str());
            return false;
        }
    }
    return true;
}

// One simulator for every port: its --lines announce the ptys in port order.
bool StartLineSimulator(const StationArgs& a, const std::string& dir, Child& sim, ChildLaunch& launch,
                        std::vector<std::unique_ptr<Port>>& ports)
{
    launch.argv = {a.boxsim, "--pty", "--lines", std::to_string(a.ports), "--wait-host", "--hello-interval", "20",
                   "--expect", a.file, "--baud", std::to_string(a.baud), "-q"};
    launch.stdoutPath = dir + "/lines.out";
    launch.stderrPath = dir + "/lines.err";
    bool ok = sim.Start(launch);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::vector<std::string> slaves;
    while (ok && slaves.size() < static_cast<size_t>(a.ports)) {
        std::istringstream out(ReadText(launch.stdoutPath));
        std::string line;
        slaves.clear();
        while (std::getline(out, line) && !out.eof())
            if (line.rfind("PTY ", 0) == 0)
                slaves.push_back(line.substr(4));
        if (slaves.size() < static_cast<size_t>(a.ports)) {
            ok = !sim.Wait(0) && Clock::now() < deadline;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    if (!ok) {
        std::fprintf(stderr, "zv-bench station: the simulator did not announce %d ptys: %s\n", a.ports,
                     ReadText(launch.stderrPath).c_str());
        return false;
    }
    for (int i = 0; i < a.ports; ++i) {
        ports.emplace_back(new Port);
        ports.back()->slave = slaves[static_cast<size_t>(i)];
    }
    return true;
}

// Line i's own verdict, "OK line i ...", from the --lines simulator.
bool LineOk(const std::string& out, int i, unsigned long long& retries)
{
    const std::string tag = "\nOK line " + std::to_string(i) + " ";
    const size_t at = out.find(tag);
    unsigned long long got = 0, reqs = 0;
    return at != std::string::npos &&
           std::sscanf(out.c_str() + at + tag.size(), "%llu bytes, %llu requests, %llu retries", &got, &reqs,
                       &retries) == 3;
}

bool StartHosts(const StationArgs& a, const std::string& dir, std::vector<std::unique_ptr<Port>>& ports,
                std::vector<std::unique_ptr<Host>>& hosts)
{
    const long speed = a.baud >= 19200 && a.baud <= 115200 ? a.baud : 115200;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (i == 0 || a.separate) {
            hosts.emplace_back(new Host);
            hosts.back()->launch.argv = {a.cli, "--json", "--speed", std::to_string(speed)};
        }
        ports[i]->host = hosts.size() - 1;
        hosts.back()->launch.argv.push_back("--port");
        hosts.back()->launch.argv.push_back(ports[i]->slave);
    }
    for (size_t h = 0; h < hosts.size(); ++h) {
        Host& host = *hosts[h];
        host.launch.argv.push_back(a.file);
        host.launch.stdoutPath = dir + "/cli" + std::to_string(h) + ".out";
        host.launch.stderrPath = dir + "/cli" + std::to_string(h) + ".err";
        host.startMs = WallNowMs();
        if (!host.cli.Start(host.launch))
            return false;
    }
    return true;
}

// Reads each port's record (its CLI's stdout, --json), its "Served ..."
// line (stderr; "[port] " in front when the CLI serves several) and the
// simulator's verdict.
void CollectPort(Port& p, const Host& host, long long size, long baud)
{
    std::istringstream lines(ReadText(host.launch.stdoutPath));
    std::string line;
    while (std::getline(lines, line)) {
        if (JsonField(line, "port") != p.slave)
            continue;
        p.completed = JsonField(line, "result") == "completed";
        p.endMs = IsoMs(JsonField(line, "end"));
        p.blocks = std::strtoull(JsonField(line, "blocks").c_str(), nullptr, 10);
        p.rerequests = std::strtoull(JsonField(line, "rerequests").c_str(), nullptr, 10);
        p.badFrames = std::strtoull(JsonField(line, "bad_frames").c_str(), nullptr, 10);
    }
    // As zv-bench line: from starting the CLI to this port's end.
    double secs = static_cast<double>(p.endMs - host.startMs) / 1000.0;
    if (p.endMs > 0 && secs > 0) {
        p.rate = static_cast<double>(size) / secs;
        p.eff = baud > 0 ? WireSeconds(size, 255, baud) / secs * 100.0 : 0.0;
    }
    // Steady state, as zv-bench line: the interval between consecutive
    // replies against one block's wire time.
    std::string text = ReadText(host.launch.stderrPath);
    std::string tag = "[" + p.slave + "] ";
    size_t at = text.find(tag + "Served ");
    std::string served =
        at == std::string::npos ? text : text.substr(at + tag.size(), text.find('\n', at) - at - tag.size());
    unsigned long long bytes = 0, blocks = 0;
    double servedSecs = 0;
    if (ParseServed(served, bytes, blocks, servedSecs) && blocks > 1 && servedSecs > 0 && baud > 0)
        p.steady = (275.0 * 10.0 / baud) / (servedSecs / static_cast<double>(blocks - 1)) * 100.0;
    std::string out = ReadText(p.launch.stdoutPath);
    size_t ok = out.find("\nOK ");
    unsigned long long got = 0, reqs = 0;
    p.boxOk = ok != std::string::npos && p.box.ExitCode() == 0;
    if (p.boxOk)
        std::sscanf(out.c_str() + ok + 1, "OK %llu bytes, %llu requests, %llu retries", &got, &reqs, &p.retries);
}

int Serve(const StationArgs& a)
{
    const long long size = static_cast<long long>(ReadBinary(a.file).size());
    if (size == 0) {
        std::fprintf(stderr, "zv-bench station: %s is empty or unreadable\n", a.file.c_str());
        return 1;
    }
    const double wire = a.baud > 0 ? WireSeconds(size, 255, a.baud) : 0.0;
    AwakeCpus awake(a.awake);
    std::string dir = TempDir();
    std::vector<std::unique_ptr<Port>> ports;
    std::vector<std::unique_ptr<Host>> hosts;
    CpuSnapshot cpu0 = TakeCpu();
    Child lineSim;
    ChildLaunch lineLaunch;
    if (!(a.lineSim ? StartLineSimulator(a, dir, lineSim, lineLaunch, ports) : StartBoxes(a, dir, ports)) ||
        !StartHosts(a, dir, ports, hosts)) {
        RemoveDir(dir);
        return 1;
    }
    // Unpaced, every port shares the 2 CPUs: allow for all of them in a row.
    const double limit = a.limitSeconds > 0 ? a.limitSeconds
                         : a.baud > 0       ? wire * 3 + 60
                                            : 60 + 2e-6 * static_cast<double>(size) * a.ports;
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(limit * 1000));
    for (auto& h : hosts) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        h->ended = WaitExit(h->cli, static_cast<int>(std::max<int64_t>(0, left)));
        h->cli.Kill();
    }
    for (auto& p : ports) {
        if (!a.lineSim && !WaitExit(p->box, 10000))
            p->box.Kill();
    }
    if (a.lineSim && !WaitExit(lineSim, 10000))
        lineSim.Kill();
    CpuSnapshot cpu1 = TakeCpu();

    int completed = 0, boxesOk = 0, hostsOk = 0;
    unsigned long long blocks = 0, retries = 0, rerequests = 0, badFrames = 0;
    std::vector<double> eff, steady, rate;
    std::string slowest;
    int64_t lastEnd = 0;
    const std::string linesOut = a.lineSim ? ReadText(lineLaunch.stdoutPath) : "";
    for (auto& p : ports) {
        CollectPort(*p, *hosts[p->host], size, a.baud);
        if (a.lineSim)
            p->boxOk = LineOk(linesOut, static_cast<int>(&p - &ports.front()), p->retries);
        completed += p->completed;
        boxesOk += p->boxOk;
        blocks += p->blocks;
        retries += p->retries;
        rerequests += p->rerequests;
        badFrames += p->badFrames;
        if (!p->completed)
            continue;
        eff.push_back(p->eff);
        steady.push_back(p->steady);
        rate.push_back(p->rate);
        if (p->endMs > lastEnd) {
            lastEnd = p->endMs;
            slowest = p->slave;
        }
    }
    // Wall time from the first CLI's start to the last one's exit.
    Clock::time_point first = hosts.front()->cli.Started(), last = first;
    double cliCpu = 0, switches = 0;
    for (auto& h : hosts) {
        first = std::min(first, h->cli.Started());
        last = std::max(last, h->cli.Ended());
        cliCpu += h->cli.CpuSeconds();
        switches += static_cast<double>(h->cli.Usage().ru_nvcsw + h->cli.Usage().ru_nivcsw);
        hostsOk += h->ended && h->cli.ExitCode() == 0;
    }
    const double wall = Seconds(last - first);
    double boxCpu = 0;
    for (auto& p : ports)
        boxCpu += a.lineSim ? 0.0 : p->box.CpuSeconds();
    boxCpu += a.lineSim ? lineSim.CpuSeconds() : 0.0;
    const double window = Seconds(cpu1.at - cpu0.at);
    const double kworkers = KworkerDelta(cpu0, cpu1);
    const double others = (cpu1.busy - cpu0.busy) - (cpu1.ours - cpu0.ours) - kworkers;
    Spread e = SpreadOf(eff), s = SpreadOf(steady), r = SpreadOf(rate);
    std::printf(
        "RESULT %s awake=%d baud=%ld ports=%d separate=%d size=%lld wall_s=%.3f run_eff_pct=%.2f "
        "eff_min=%.2f eff_median=%.2f eff_max=%.2f steady_min=%.2f steady_median=%.2f steady_max=%.2f "
        "port_Bps_min=%.1f port_Bps_median=%.1f slowest=%s cli_cpu_s=%.3f cli_cpu_pct=%.3f "
        "cli_cpu_pct_per_port=%.3f cli_us_per_block=%.1f cli_switches_per_block=%.2f "
        "boxes_cpu_s=%.3f boxes_cpu_pct=%.1f kworkers_pct=%.1f others_pct=%.1f steal_pct=%.1f load_before=%s "
        "load_after=%s completed=%d boxes_ok=%d retries=%llu rerequests=%llu bad_frames=%llu cli_ok=%d/%zu\n",
        a.lineSim ? "station_lines" : "station", awake.Count() > 0 ? 1 : 0, a.baud, a.ports, a.separate ? 1 : 0, size, wall,
        a.baud > 0 ? wire / wall * 100.0 : 0.0, e.min, e.median, e.max, s.min, s.median, s.max, r.min, r.median,
        slowest.empty() ? "-" : slowest.c_str(), cliCpu, cliCpu / wall * 100.0, cliCpu / wall * 100.0 / a.ports,
        blocks ? cliCpu * 1e6 / static_cast<double>(blocks) : 0.0,
        blocks ? switches / static_cast<double>(blocks) : 0.0, boxCpu, boxCpu / wall * 100.0, kworkers / window * 100.0,
        others / window * 100.0, (cpu1.steal - cpu0.steal) / window * 100.0, cpu0.load.c_str(), cpu1.load.c_str(),
        completed, boxesOk, retries, rerequests, badFrames, hostsOk, hosts.size());
    bool ok = hostsOk == static_cast<int>(hosts.size()) && completed == a.ports && boxesOk == a.ports;
    if (!ok) {
        std::string text = ReadText(hosts.front()->launch.stderrPath);
        std::fprintf(stderr, "zv-bench station: run failed (%d of %zu CLI runs ended with 0, %d of %d completed, "
                             "%d boxes OK)\n%s",
                     hostsOk, hosts.size(), completed, a.ports, boxesOk,
                     text.substr(text.size() > 4000 ? text.size() - 4000 : 0).c_str());
    }
    RemoveDir(dir);
    return ok ? 0 : 1;
}

// The CLI on ports where no box ever talks: what serving N ports costs
// before any box is reset (timers and watchers of every port).
int Idle(const StationArgs& a)
{
    std::vector<std::unique_ptr<Pty>> ptys;
    ChildLaunch launch;
    launch.argv = {a.cli};
    for (int i = 0; i < a.ports; ++i) {
        ptys.emplace_back(new Pty);
        std::string err;
        if (!ptys.back()->Open(err)) {
            std::fprintf(stderr, "zv-bench station: %s\n", err.c_str());
            return 1;
        }
        launch.argv.push_back("--port");
        launch.argv.push_back(ptys.back()->slave);
    }
    launch.argv.push_back(a.file);
    Child cli;
    if (!cli.Start(launch))
        return 1;
    for (auto& p : ptys) {
        if (!p->WaitSlaveOpen(5000)) {
            std::fprintf(stderr, "zv-bench station: the CLI did not open %s\n", p->slave.c_str());
            return 1;
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past start-up
    CpuSnapshot m0 = TakeCpu();
    int64_t cpu0 = ThreadCpuNs(cli.Pid()), sw0 = VoluntarySwitches(cli.Pid());
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(a.idleSeconds));
    int64_t cpu1 = ThreadCpuNs(cli.Pid()), sw1 = VoluntarySwitches(cli.Pid());
    double secs = Seconds(Clock::now() - t0);
    int threads = TaskCount(cli.Pid());
    CpuSnapshot m1 = TakeCpu();
    bool running = !cli.Wait(0);
    cli.Kill();
    if (!running) {
        std::fprintf(stderr, "zv-bench station: the CLI ended while waiting for boxes\n");
        return 1;
    }
    double pct = static_cast<double>(cpu1 - cpu0) / 1e9 / secs * 100.0;
    double wakeups = static_cast<double>(sw1 - sw0) / secs;
    double others = (m1.busy - m0.busy) - (m1.ours - m0.ours) - KworkerDelta(m0, m1) -
                    static_cast<double>(cpu1 - cpu0) / 1e9;
    std::printf("RESULT station_idle ports=%d seconds=%.1f cpu_ms=%.2f cpu_pct=%.3f cpu_pct_per_port=%.4f "
                "wakeups_per_s=%.1f wakeups_per_s_per_port=%.1f threads=%d others_pct=%.1f load_before=%s "
                "load_after=%s\n",
                a.ports, secs, static_cast<double>(cpu1 - cpu0) / 1e6, pct, pct / a.ports, wakeups,
                wakeups / a.ports, threads, others / Seconds(m1.at - m0.at) * 100.0, m0.load.c_str(),
                m1.load.c_str());
    return 0;
}

}  // namespace

int RunStation(const std::map<std::string, std::string>& args)
{
    StationArgs a;
    if (!ParseArgs(args, a))
        return 2;
    if (a.spinSeconds > 0) {
        SpinCheck c = CheckSpinning(a.spinners, a.spinSeconds);
        std::printf("RESULT station_spin spinners=%d seconds=%d lost_pct=%.1f gaps_per_s=%.1f max_gap_ms=%.1f\n",
                    a.spinners, a.spinSeconds, c.lostS * 100.0, static_cast<double>(c.gaps) / a.spinSeconds,
                    c.maxGapMs);
        return 0;
    }
    if (a.idleSeconds > 0)
        return Idle(a);
    return a.benchBoxes ? ServeBenchBoxes(a) : Serve(a);
}

}  // namespace bench
