#include "BoxLines.h"

#include "BoxSeries.h"
#include "WireClock.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

extern std::atomic<bool> g_BoxStop;

namespace {

// ", failed: line 1 box 2, line 4 box 1": at most ten boxes named.
std::string FailedList(const std::vector<LineResult>& results)
{
    std::string list;
    int named = 0, more = 0;
    for (size_t line = 0; line < results.size(); ++line) {
        for (int box : results[line].failed) {
            if (named == 10) {
                ++more;
                continue;
            }
            list += (named++ ? ", line " : ", failed: line ") + std::to_string(line) + " box " + std::to_string(box);
        }
        if (results[line].failed.empty() && !results[line].Ok() && named < 10) {
            // Every box it played was OK: it stopped early, or --out failed.
            list += (named++ ? ", line " : ", failed: line ") + std::to_string(line);
        }
    }
    if (more > 0)
        list += " and " + std::to_string(more) + " more";
    return list;
}

std::string BoxCount(const LineResult& r)
{
    return ", " + std::to_string(r.passed) + "/" + std::to_string(r.count) + " boxes OK";
}

}  // namespace

CBoxLines::~CBoxLines()
{
    for (const std::string& link : m_Links)
        ::unlink(link.c_str());
}

// Replaces only a symlink left at link (by an earlier run), never a file.
bool CBoxLines::MakeLink(const std::string& link, const std::string& target)
{
    struct stat st;
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) == 0) {
        m_Links.push_back(link);
        return true;
    }
    std::fprintf(stderr, "zurivavave-boxsim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
    return false;
}

int CBoxLines::Open(const BoxOptions& o)
{
    for (int i = 0; i < LineCount(o); ++i) {
        m_Lines.emplace_back(new CBoxLine);
        CBoxLine& line = *m_Lines.back();
        std::string error;
        bool opened = o.pty ? line.OpenPty(error) : line.OpenDevice(o.port, o.speed, error);
        if (!opened) {
            std::fprintf(stderr, "zurivavave-boxsim: %s\n", error.c_str());
            return 1;
        }
        line.SetBaud(o.baud);
        line.SetWholeFrames(o.lines > 0);
        std::string link = o.linkPrefix.empty() ? o.link : o.linkPrefix + std::to_string(i);
        if (o.pty && !link.empty() && !MakeLink(link, line.SlavePath()))
            return 1;
    }
    // Announced once every line is there, so a host started on the first
    // announcement finds all of them.
    for (auto& line : m_Lines) {
        if (o.pty)
            std::printf("PTY %s\n", line->SlavePath().c_str());
    }
    std::fflush(stdout);
    return kGoOn;
}

int CBoxLines::Play(const BoxOptions& o, const std::vector<unsigned char>& expected)
{
    return o.lines > 0 ? PlayMany(o, expected) : PlayOne(o, expected);
}

int CBoxLines::PlayOne(const BoxOptions& o, const std::vector<unsigned char>& expected)
{
    LineResult r = PlayBoxes(OptionsForLine(o, 0), *m_Lines.front(), expected);
    PrintResult(r.Ok(), "", r.total, o.boxes > 1 ? BoxCount(r) : "");
    return r.Ok() ? 0 : 1;
}

int CBoxLines::PlayMany(const BoxOptions& o, const std::vector<unsigned char>& expected)
{
    const auto start = std::chrono::steady_clock::now();
    const size_t n = m_Lines.size();
    std::vector<BoxOptions> options;
    for (size_t i = 0; i < n; ++i)
        options.push_back(OptionsForLine(o, static_cast<int>(i)));
    std::vector<LineResult> results(n);
    std::vector<std::thread> threads;
    bool started = true;
    for (size_t i = 0; i < n && started; ++i) {
        try {
            threads.emplace_back([&, i] {
                wire::PrepareThread();
                results[i] = PlayBoxes(options[i], *m_Lines[i], expected);
                PrintResult(results[i].Ok(), "line " + std::to_string(i) + " ", results[i].total,
                            o.boxes > 1 ? BoxCount(results[i]) : "");
            });
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "zurivavave-boxsim: cannot start a thread for line %zu: %s\n", i, e.what());
            g_BoxStop.store(true);
            started = false;
        }
    }
    for (std::thread& t : threads)
        t.join();
    if (!started)
        return 1;

    LineResult run;
    for (const LineResult& r : results) {
        run.passed += r.passed;
        run.count += r.count;
        run.total.requests += r.total.requests;
        run.total.retries += r.total.retries;
        run.total.received += r.total.received;
        run.total.stray += r.total.stray;
        run.outWritten = run.outWritten && r.outWritten;
    }
    // The lines ran side by side: the run's time is the wall's.
    run.total.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bool ok = true;
    for (const LineResult& r : results)
        ok = ok && r.Ok();
    PrintResult(ok, std::to_string(n) + " lines ", run.total, BoxCount(run) + FailedList(results));
    return ok ? 0 : 1;
}
