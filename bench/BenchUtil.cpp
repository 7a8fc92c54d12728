#include "BenchUtil.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace bench {

bool Pty::Open(std::string& error)
{
    int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0 || !::ptsname(m)) {
        error = std::string("pty: ") + std::strerror(errno);
        if (m >= 0)
            ::close(m);
        return false;
    }
    slave = ::ptsname(m);
    int s = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) {
        error = slave + ": " + std::strerror(errno);
        ::close(m);
        return false;
    }
    struct termios t;
    ::tcgetattr(s, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(s, TCSANOW, &t);
    ::close(s);
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    master = m;
    return true;
}

void Pty::Close()
{
    if (master >= 0) {
        ::close(master);
        master = -1;
    }
}

bool Pty::WaitSlaveOpen(int timeoutMs) const
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        struct pollfd p = {master, POLLOUT, 0};
        ::poll(&p, 1, 0);
        if (!(p.revents & POLLHUP))
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool WriteAll(int fd, const void* data, size_t n, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        struct pollfd pfd = {fd, POLLOUT, 0};
        ::poll(&pfd, 1, 10);
    }
    return true;
}

bool ReadExact(int fd, unsigned char* out, size_t n, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, out + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        struct pollfd pfd = {fd, POLLIN, 0};
        int pr = ::poll(&pfd, 1, static_cast<int>(left));
        if (pr > 0 && !(pfd.revents & POLLIN) && (pfd.revents & (POLLHUP | POLLERR)))
            return false;
    }
    return true;
}

size_t Drain(int fd, int ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    size_t total = 0;
    unsigned char buf[4096];
    while (Clock::now() < deadline) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, 5) <= 0 || !(pfd.revents & POLLIN))
            continue;
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0)
            total += static_cast<size_t>(r);
    }
    return total;
}

bool Child::Start(const ChildLaunch& launch)
{
    std::vector<char*> args;
    for (const auto& a : launch.argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (!launch.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, launch.cwd.c_str());
    if (!launch.ttyPath.empty()) {
        posix_spawn_file_actions_addopen(&fa, 0, launch.ttyPath.c_str(), O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_adddup2(&fa, 0, 1);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, launch.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&fa, 2, launch.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    m_Start = Clock::now();
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        std::fprintf(stderr, "zv-bench: cannot start %s: %s\n", args[0], std::strerror(rc));
        return false;
    }
    m_Pid = pid;
    return true;
}

Child::~Child() { Kill(); }

bool Child::Wait(int timeoutMs)
{
    if (m_Pid <= 0)
        return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_Reaped) {
        int status = 0;
        pid_t r = ::wait4(m_Pid, &status, WNOHANG, &m_Usage);
        if (r == m_Pid) {
            m_End = Clock::now();
            m_Reaped = true;
            m_Code = WIFEXITED(status) ? WEXITSTATUS(status)
                                       : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
            break;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

void Child::Kill()
{
    if (m_Pid <= 0 || m_Reaped)
        return;
    ::kill(m_Pid, SIGKILL);
    Wait(5000);
}

double Child::CpuSeconds() const
{
    return static_cast<double>(m_Usage.ru_utime.tv_sec + m_Usage.ru_stime.tv_sec) +
           static_cast<double>(m_Usage.ru_utime.tv_usec + m_Usage.ru_stime.tv_usec) / 1e6;
}

namespace {

template <class F>
void ForEachTask(pid_t pid, F f)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    while (struct dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        f(dir + "/" + e->d_name);
    }
    ::closedir(d);
}

}  // namespace

int64_t ThreadCpuNs(pid_t pid)
{
    int64_t total = 0;
    ForEachTask(pid, [&](const std::string& task) {
        std::ifstream in(task + "/schedstat");
        long long ns = 0;
        if (in >> ns)
            total += ns;
    });
    return total;
}

int TaskCount(pid_t pid)
{
    int n = 0;
    ForEachTask(pid, [&](const std::string&) { ++n; });
    return n;
}

bool WaitExit(Child& child, int timeoutMs)
{
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, child.Pid(), 0));
    if (fd < 0)
        return child.Wait(timeoutMs);
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do
        r = ::poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    ::close(fd);
    return child.Wait(r > 0 ? 1000 : 0);
}

int64_t VoluntarySwitches(pid_t pid)
{
    int64_t total = 0;
    ForEachTask(pid, [&](const std::string& task) {
        std::ifstream in(task + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stoll(line.substr(24));
        }
    });
    return total;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<unsigned char> ReadBinary(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

AwakeCpus::AwakeCpus(bool enable)
{
    if (!enable)
        return;
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    for (long i = 0; i < n; ++i) {
        m_Threads.emplace_back([this] {
            struct sched_param sp = {};
            ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &sp);
            while (!m_Stop.load(std::memory_order_relaxed)) {
            }
        });
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(static_cast<int>(i), &set);
        ::pthread_setaffinity_np(m_Threads.back().native_handle(), sizeof set, &set);
    }
}

AwakeCpus::~AwakeCpus()
{
    m_Stop = true;
    for (std::thread& t : m_Threads)
        t.join();
}

std::string TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zv-bench-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) {
        std::fprintf(stderr, "zv-bench: mkdtemp failed: %s\n", std::strerror(errno));
        std::exit(1);
    }
    return buf.data();
}

void RemoveDir(const std::string& dir)
{
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "zv-bench: could not remove %s\n", dir.c_str());
}

double WireSeconds(long long size, int block, long baud)
{
    long long blocks = (size + block - 1) / block;
    long long bytes = 12 + 8 + blocks * 20 + size + 8;
    return static_cast<double>(bytes) * 10.0 / static_cast<double>(baud);
}

bool WaitForPtyLine(const std::string& path, std::string& slave, Child& box)
{
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        std::string out = ReadText(path);
        size_t nl = out.find('\n');
        if (out.rfind("PTY ", 0) == 0 && nl != std::string::npos) {
            slave = out.substr(4, nl - 4);
            return true;
        }
        if (box.Wait(0))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool ParseServed(const std::string& out, unsigned long long& bytes, unsigned long long& blocks, double& secs)
{
    size_t at = out.rfind("Served ");
    return at != std::string::npos &&
           std::sscanf(out.c_str() + at, "Served %llu bytes in %llu blocks, %lf s", &bytes, &blocks, &secs) == 3;
}

}  // namespace bench
