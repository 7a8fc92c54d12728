#include "BoxSeries.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

extern std::atomic<bool> g_BoxStop;

namespace {

// The technician's reset: whatever the host still sends for the box that
// ended must not be taken for an answer to the next one.
void DropFor(CBoxLine& line, int ms)
{
    CByteQueue queue;
    auto deadline = CBoxLine::Clock::now() + std::chrono::milliseconds(ms);
    while (!g_BoxStop.load()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CBoxLine::Clock::now());
        if (left.count() <= 0)
            break;
        line.Pump(queue, static_cast<int>(std::min<long long>(left.count(), 100)));
        queue.Reset();
    }
}

void Add(BoxStats& total, const BoxStats& s)
{
    total.requests += s.requests;
    total.retries += s.retries;
    total.received += s.received;
    total.stray += s.stray;
    total.badFrames += s.badFrames;
    total.seconds += s.seconds;
}

bool WriteOut(const std::string& path, const CBoxSim* box)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    size_t n = box ? static_cast<size_t>(box->Received()) : 0;
    bool ok = f && (n == 0 || std::fwrite(box->Image().data(), 1, n, f) == n);
    if (f && std::fclose(f) != 0)
        ok = false;
    if (!ok)
        std::fprintf(stderr, "zurivavave-boxsim: cannot write %s\n", path.c_str());
    return ok;
}

}  // namespace

void PrintResult(bool ok, const std::string& label, const BoxStats& s, const std::string& tail)
{
    double rate = s.seconds > 0 ? static_cast<double>(s.received) / 1024.0 / s.seconds : 0.0;
    // One call per line: lines played at once never share a line of output.
    std::printf("%s %s%llu bytes, %llu requests, %llu retries, %llu stray, %.2f s, %.1f KiB/s%s\n",
                ok ? "OK" : "FAILED", label.c_str(), static_cast<unsigned long long>(s.received),
                static_cast<unsigned long long>(s.requests), static_cast<unsigned long long>(s.retries),
                static_cast<unsigned long long>(s.stray), s.seconds, rate, tail.c_str());
    std::fflush(stdout);
}

LineResult PlayBoxes(const BoxOptions& options, CBoxLine& line, const std::vector<unsigned char>& expected)
{
    const int count = options.boxes;
    LineResult result;
    result.count = count;
    const std::string lineLabel = options.lines > 0 ? "line " + std::to_string(options.line) + " " : "";
    // The options outlive their box: --out is written from the last one.
    BoxOptions boxOptions;
    std::unique_ptr<CBoxSim> box;
    for (int number = 1; number <= count && !g_BoxStop.load(); ++number) {
        if (number > 1)
            DropFor(line, options.boxPauseMs);
        box.reset();
        boxOptions = OptionsForBox(options, number);
        box.reset(new CBoxSim(boxOptions, line, expected, number, count));
        bool ok = box->Run() == 0;
        Add(result.total, box->Stats());
        if (ok)
            ++result.passed;
        else
            result.failed.push_back(number);
        if (count > 1)
            PrintResult(ok, lineLabel + "box " + std::to_string(number) + "/" + std::to_string(count) + " ",
                        box->Stats(), "");
        // No host greeted this box: none will greet the next either.
        if (!box->Greeted())
            break;
    }

    if (!options.outPath.empty())
        result.outWritten = WriteOut(options.outPath, box.get());
    return result;
}
