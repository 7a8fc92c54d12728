#include "MachineCpu.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>

#include <sys/resource.h>
#include <unistd.h>

namespace bench {

namespace {

double RusageSeconds(int who)
{
    struct rusage u = {};
    ::getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of every kworker thread by pid, from /proc/PID/stat.
std::map<int, double> KworkerSeconds(double hz)
{
    std::map<int, double> out;
    DIR* d = ::opendir("/proc");
    if (!d)
        return out;
    while (struct dirent* e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        std::getline(in, stat);
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || stat.compare(open + 1, 7, "kworker") != 0)
            continue;
        // After the name: state, then utime and stime are the 12th and
        // 13th fields.
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 0; i < 11 && rest >> field; ++i) {
        }
        rest >> utime >> stime;
        out[std::atoi(e->d_name)] = static_cast<double>(utime + stime) / hz;
    }
    ::closedir(d);
    return out;
}

}  // namespace

CpuSnapshot TakeCpu()
{
    CpuSnapshot s;
    std::ifstream stat("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    stat >> cpu >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7];
    const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
    s.busy = static_cast<double>(v[0] + v[1] + v[2] + v[5] + v[6]) / hz;
    s.steal = static_cast<double>(v[7]) / hz;
    s.ours = RusageSeconds(RUSAGE_SELF) + RusageSeconds(RUSAGE_CHILDREN);
    s.kworkers = KworkerSeconds(hz);
    s.at = Clock::now();
    std::ifstream loadavg("/proc/loadavg");
    loadavg >> s.load;
    return s;
}

double KworkerDelta(const CpuSnapshot& before, const CpuSnapshot& after)
{
    double total = 0;
    for (const auto& k : after.kworkers) {
        auto was = before.kworkers.find(k.first);
        total += k.second - (was == before.kworkers.end() ? 0.0 : was->second);
    }
    return total;
}

SpinCheck CheckSpinning(int threads, int seconds)
{
    std::vector<SpinCheck> each(static_cast<size_t>(threads));
    std::vector<std::thread> pool;
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back([&each, i, seconds] {
            const auto end = Clock::now() + std::chrono::seconds(seconds);
            auto last = Clock::now();
            SpinCheck& c = each[static_cast<size_t>(i)];
            for (auto now = last; now < end; last = now, now = Clock::now()) {
                double gap = std::chrono::duration<double, std::milli>(now - last).count();
                if (gap > 1.0) {
                    c.lostS += gap / 1000.0;
                    ++c.gaps;
                }
                c.maxGapMs = std::max(c.maxGapMs, gap);
            }
        });
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(static_cast<int>(i % cpus), &set);
        ::pthread_setaffinity_np(pool.back().native_handle(), sizeof set, &set);
    }
    for (std::thread& t : pool)
        t.join();
    SpinCheck sum;
    for (const SpinCheck& c : each) {
        sum.lostS += c.lostS / threads;
        sum.gaps += c.gaps;
        sum.maxGapMs = std::max(sum.maxGapMs, c.maxGapMs);
    }
    sum.lostS /= seconds;  // as a share of the time
    return sum;
}

}  // namespace bench
