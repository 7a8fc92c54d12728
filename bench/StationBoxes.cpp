#include "StationBoxes.h"

#include "BenchUtil.h"
#include "BoxFrames.h"
#include "MachineCpu.h"
#include "WebLoad.h"

#include "protocol/Frame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>

namespace bench {
namespace {

// What one port's box saw. Written by its thread only, read after join.
struct BoxTiming {
    bool ok = false;
    bool fifo = false;
    long blocks = 0, bad = 0;
    double totalS = 0, wireS = 0;
    double lateS = 0;         // the box's own lateness in handing requests over
    std::vector<float> turnUs;  // request handed over to the reply's first byte
    double cpuS = 0;
    std::string error;
};

double ThreadCpuSeconds()
{
    struct timespec ts = {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void PlayBox(const Pty& pty, const std::vector<unsigned char>& file, long baud, BoxTiming& out)
{
    struct sched_param sp = {};
    sp.sched_priority = 1;
    out.fifo = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &sp) == 0;
    unsigned char tag = 1;
    if (!pty.WaitSlaveOpen(20000) || !Greet(pty.master, tag++)) {
        out.error = "no greeting on " + pty.slave;
        return;
    }
    const long size = static_cast<long>(file.size());
    unsigned char reply[263], want[263];
    Clock::duration wire{}, late{};
    const auto start = Clock::now();
    auto lineFree = start;
    for (long offset = 0; offset < size; offset += 255) {
        const int n = static_cast<int>(std::min<long>(255, size - offset));
        auto req = DataRequest(tag, offset, n);
        lineFree += WireTime(12, baud);
        std::this_thread::sleep_until(lineFree);
        const auto sent = Clock::now();
        late += sent - lineFree;
        if (!WriteAll(pty.master, req.data(), req.size(), 2000) || !ReadExact(pty.master, reply, 1, 5000)) {
            out.error = "no reply at offset " + std::to_string(offset) + " on " + pty.slave;
            return;
        }
        const auto first = Clock::now();
        if (!ReadExact(pty.master, reply + 1, static_cast<size_t>(n + 7), 5000)) {
            out.error = "incomplete reply at offset " + std::to_string(offset) + " on " + pty.slave;
            return;
        }
        out.turnUs.push_back(std::chrono::duration<float, std::micro>(first - sent).count());
        lineFree = std::max(first + WireTime(n + 8, baud), Clock::now());
        EncodeFrame(tag, FT_DATA, file.data() + offset, static_cast<unsigned char>(n), want);
        out.bad += std::memcmp(want, reply, static_cast<size_t>(n + 8)) != 0;
        wire += WireTime(12 + n + 8, baud);
        ++out.blocks;
        ++tag;
    }
    std::this_thread::sleep_until(lineFree);
    out.totalS = Seconds(lineFree - start);
    out.wireS = Seconds(wire);
    out.lateS = Seconds(late);
    auto done = MakeFrame(tag, FT_DONE, nullptr, 0);
    out.ok = WriteAll(pty.master, done.data(), done.size(), 2000);
    out.cpuS = ThreadCpuSeconds();
}

double Percentile(std::vector<float>& v, double q)
{
    if (v.empty())
        return 0;
    size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(i), v.end());
    return v[i];
}

}  // namespace

int ServeBenchBoxes(const StationArgs& a)
{
    const std::vector<unsigned char> file = ReadBinary(a.file);
    if (file.empty()) {
        std::fprintf(stderr, "zv-bench station: %s is empty or unreadable\n", a.file.c_str());
        return 1;
    }
    AwakeCpus awake(a.awake);
    std::string dir = TempDir();
    std::vector<std::unique_ptr<Pty>> ptys;
    ChildLaunch launch;
    launch.argv = {a.cli, "--json", "--speed", std::to_string(a.baud <= 115200 ? a.baud : 115200)};
    if (a.webClients >= 0) {
        launch.argv.push_back("--http");
        launch.argv.push_back("127.0.0.1:0");
    }
    for (int i = 0; i < a.ports; ++i) {
        ptys.emplace_back(new Pty);
        std::string err;
        if (!ptys.back()->Open(err)) {
            std::fprintf(stderr, "zv-bench station: %s\n", err.c_str());
            RemoveDir(dir);
            return 1;
        }
        launch.argv.push_back("--port");
        launch.argv.push_back(ptys.back()->slave);
    }
    launch.argv.push_back(a.file);
    launch.stdoutPath = dir + "/cli.out";
    launch.stderrPath = dir + "/cli.err";

    CpuSnapshot cpu0 = TakeCpu();
    Child cli;
    if (!cli.Start(launch)) {
        RemoveDir(dir);
        return 1;
    }
    // The HTTP side's clients are there before the first box greets.
    std::unique_ptr<WebLoad> load;
    if (a.webClients >= 0) {
        std::string at;
        for (int i = 0; i < 1000 && at.empty(); ++i) {
            const std::string err = ReadText(launch.stderrPath);
            const size_t p = err.find("board at http://");
            if (p != std::string::npos)
                at = err.substr(p + 16, err.find('/', p + 16) - p - 16);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (at.empty()) {
            std::fprintf(stderr, "zv-bench station: the CLI printed no board URL\n");
            cli.Kill();
            RemoveDir(dir);
            return 1;
        }
        load.reset(new WebLoad(at, a.webClients));
    }
    std::vector<BoxTiming> timing(ptys.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ptys.size(); ++i)
        threads.emplace_back([&, i] { PlayBox(*ptys[i], file, a.baud, timing[i]); });
    for (std::thread& t : threads)
        t.join();
    const WebLoadFigures web = load ? load->Stop() : WebLoadFigures();
    bool ended = WaitExit(cli, 30000);
    cli.Kill();
    CpuSnapshot cpu1 = TakeCpu();

    std::vector<double> eff, hostUs;
    std::vector<float> turn;
    long blocks = 0, bad = 0;
    int ok = 0, fifo = 0;
    double late = 0, boxCpu = 0;
    for (BoxTiming& t : timing) {
        if (!t.error.empty())
            std::fprintf(stderr, "zv-bench station: %s\n", t.error.c_str());
        ok += t.ok;
        fifo += t.fifo;
        blocks += t.blocks;
        bad += t.bad;
        late += t.lateS;
        boxCpu += t.cpuS;
        turn.insert(turn.end(), t.turnUs.begin(), t.turnUs.end());
        if (t.ok && t.totalS > 0) {
            eff.push_back(t.wireS / t.totalS * 100.0);
            hostUs.push_back((t.totalS - t.wireS) * 1e6 / static_cast<double>(t.blocks));
        }
    }
    std::sort(eff.begin(), eff.end());
    std::sort(hostUs.begin(), hostUs.end());
    const double wall = cli.WallSeconds();
    const double window = Seconds(cpu1.at - cpu0.at);
    const double kworkers = KworkerDelta(cpu0, cpu1);
    const double others = (cpu1.busy - cpu0.busy) - (cpu1.ours - cpu0.ours) - kworkers;
    // The CLI's own verdict: one --json record per port.
    const std::string records = ReadText(launch.stdoutPath);
    int completed = 0;
    for (size_t at = records.find("\"result\":\"completed\""); at != std::string::npos;
         at = records.find("\"result\":\"completed\"", at + 1))
        ++completed;
    auto mid = [](const std::vector<double>& v) { return v.empty() ? 0.0 : v[v.size() / 2]; };
    std::printf("RESULT station_bench awake=%d baud=%ld ports=%d size=%zu wall_s=%.3f eff_min=%.2f eff_median=%.2f "
                "eff_max=%.2f host_us_per_block_median=%.1f host_us_per_block_max=%.1f turnaround_median_us=%.1f "
                "turnaround_p90_us=%.1f turnaround_p99_us=%.1f turnaround_max_us=%.1f slow_5ms=%zu "
                "box_late_us_per_block=%.1f cli_cpu_s=%.3f cli_cpu_pct=%.3f "
                "cli_cpu_pct_per_port=%.3f cli_us_per_block=%.1f boxes_cpu_pct=%.2f kworkers_pct=%.1f others_pct=%.1f "
                "load_before=%s load_after=%s fifo=%d boxes_ok=%d bad=%ld cli_exit=%d completed=%d web=%d "
                "streams_open=%d stream_events=%llu stream_kib=%.1f scrapes_ok=%d/%d state_probes_ok=%d/%d "
                "state_p50_ms=%.2f state_p99_ms=%.2f state_max_ms=%.2f series=%s\n",
                awake.Count() > 0 ? 1 : 0, a.baud, a.ports, file.size(), wall, eff.empty() ? 0 : eff.front(),
                mid(eff), eff.empty() ? 0 : eff.back(), mid(hostUs), hostUs.empty() ? 0 : hostUs.back(),
                Percentile(turn, 0.5), Percentile(turn, 0.9), Percentile(turn, 0.99), Percentile(turn, 1.0),
                static_cast<size_t>(std::count_if(turn.begin(), turn.end(), [](float us) { return us > 5000; })),
                blocks ? late * 1e6 / static_cast<double>(blocks) : 0,
                cli.CpuSeconds(), cli.CpuSeconds() / wall * 100.0, cli.CpuSeconds() / wall * 100.0 / a.ports,
                blocks ? cli.CpuSeconds() * 1e6 / static_cast<double>(blocks) : 0.0, boxCpu / wall * 100.0,
                kworkers / window * 100.0, others / window * 100.0, cpu0.load.c_str(), cpu1.load.c_str(), fifo,
                ok, bad, cli.ExitCode(), completed, a.webClients >= 0 ? a.webClients : -1, web.streamsOpen,
                web.streamEvents, static_cast<double>(web.streamBytes) / 1024.0, web.scrapesOk, web.scrapes,
                web.probesOk, web.probes, web.stateP50Ms, web.stateP99Ms, web.stateMaxMs,
                a.series.c_str());
    RemoveDir(dir);
    return ended && cli.ExitCode() == 0 && ok == a.ports && completed == a.ports && bad == 0 ? 0 : 1;
}

}  // namespace bench
