#include "MachineCpu.h"

#include <dirent.h>
#include <fstream>
#include <sstream>

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

// CPU seconds of every kworker thread, from /proc/PID/stat.
double KworkerSeconds(double hz)
{
    double total = 0;
    DIR* d = ::opendir("/proc");
    if (!d)
        return 0;
    while (struct dirent* e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        std::getline(in, stat);
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos ||
            stat.compare(open + 1, 7, "kworker") != 0)
            continue;
        // After the name: state, then utime and stime are the 12th and
        // 13th fields.
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 0; i < 11 && rest >> field; ++i) {
        }
        rest >> utime >> stime;
        total += static_cast<double>(utime + stime) / hz;
    }
    ::closedir(d);
    return total;
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

}  // namespace bench
