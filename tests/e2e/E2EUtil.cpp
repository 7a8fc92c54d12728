#include "E2EUtil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::vector<unsigned char>& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<unsigned char> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zv-e2e-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()))
        m_Path = buf.data();
}

TempDir::~TempDir()
{
    if (!m_Path.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_Path, ec);
    }
}

PtyPair::PtyPair()
{
    int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0)
        return;
    if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || !::ptsname(m)) {
        ::close(m);
        return;
    }
    m_Slave = ::ptsname(m);
    int s = ::open(m_Slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) {
        ::close(m);
        return;
    }
    struct termios t;
    ::tcgetattr(s, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(s, TCSANOW, &t);
    ::close(s);
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    m_Master = m;
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::CloseMaster()
{
    if (m_Master >= 0) {
        ::close(m_Master);
        m_Master = -1;
    }
}

bool PtyPair::WriteMaster(const void* data, size_t n, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(m_Master, p + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        struct pollfd pfd = {m_Master, POLLOUT, 0};
        ::poll(&pfd, 1, 20);
    }
    return true;
}

std::vector<unsigned char> PtyPair::ReadMaster(size_t n, int timeoutMs)
{
    std::vector<unsigned char> out;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned char buf[4096];
    while (out.size() < n && Clock::now() < deadline) {
        struct pollfd pfd = {m_Master, POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0 || !(pfd.revents & POLLIN))
            continue;
        ssize_t r = ::read(m_Master, buf, std::min(sizeof buf, n - out.size()));
        if (r > 0)
            out.insert(out.end(), buf, buf + r);
    }
    return out;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                           const std::string& errPath)
    : m_OutPath(outPath), m_ErrPath(errPath)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) == 0)
        m_Pid = pid;
    posix_spawn_file_actions_destroy(&fa);
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Wait(int timeoutMs)
{
    if (m_Pid <= 0)
        return false;
    return WaitUntil(
        [this] {
            if (m_Reaped)
                return true;
            int status = 0;
            pid_t r = ::waitpid(m_Pid, &status, WNOHANG);
            if (r != m_Pid)
                return false;
            m_Reaped = true;
            m_Code = WIFEXITED(status) ? WEXITSTATUS(status)
                                       : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
            return true;
        },
        timeoutMs);
}

void ChildProcess::Signal(int sig)
{
    if (m_Pid > 0 && !m_Reaped)
        ::kill(m_Pid, sig);
}

void ChildProcess::Kill()
{
    if (m_Pid <= 0 || m_Reaped)
        return;
    ::kill(m_Pid, SIGKILL);
    Wait(5000);
}

bool WaitForPtyAnnouncement(ChildProcess& box, std::string& slave, int timeoutMs)
{
    if (!box.Started())
        return false;
    bool announced = WaitUntil(
        [&] {
            std::string out = box.Out();
            size_t nl = out.find('\n');
            if (out.rfind("PTY ", 0) != 0 || nl == std::string::npos)
                return box.Wait(0);
            slave = out.substr(4, nl - 4);
            return true;
        },
        timeoutMs);
    return announced && !slave.empty();
}

}  // namespace e2e
