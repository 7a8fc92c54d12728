// Plumbing for the benchmark driver: pseudo-terminals, child processes
// with their CPU use, exact reads and writes with bounded waits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A pseudo-terminal pair: the master stays with us (non-blocking), the slave
// has been made raw and closed again, so the master reports a hang-up until
// someone opens the slave path.
struct Pty {
    int master = -1;
    std::string slave;
    bool Open(std::string& error);
    void Close();
    ~Pty() { Close(); }
    // Waits until a process holds the slave open.
    bool WaitSlaveOpen(int timeoutMs) const;
};

// Writes all n bytes to a non-blocking descriptor within timeoutMs.
bool WriteAll(int fd, const void* data, size_t n, int timeoutMs);
// Reads exactly n bytes within timeoutMs; false on timeout, hang-up or error.
bool ReadExact(int fd, unsigned char* out, size_t n, int timeoutMs);
// Discards whatever arrives for ms milliseconds.
size_t Drain(int fd, int ms);

struct ChildLaunch {
    std::vector<std::string> argv;
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
    // When set, stdin and stdout are this terminal instead (sz, rz).
    std::string ttyPath;
    std::string cwd;
};

class Child {
public:
    bool Start(const ChildLaunch& launch);
    ~Child();
    pid_t Pid() const { return m_Pid; }
    bool Running() const { return m_Pid > 0 && !m_Reaped; }
    // Reaps the child if it ended; waits up to timeoutMs (polls every ms).
    bool Wait(int timeoutMs);
    void Kill();
    int ExitCode() const { return m_Code; }
    // User + system CPU of the whole process tree's life (after Wait).
    double CpuSeconds() const;
    // The kernel's accounting of the whole life, context switches included.
    const struct rusage& Usage() const { return m_Usage; }
    Clock::time_point Started() const { return m_Start; }
    Clock::time_point Ended() const { return m_End; }
    double WallSeconds() const { return Seconds(m_End - m_Start); }

private:
    pid_t m_Pid = -1;
    bool m_Reaped = false;
    int m_Code = -1;
    struct rusage m_Usage = {};
    Clock::time_point m_Start{}, m_End{};
};

// While it lives, one thread per CPU spins at the lowest scheduling class
// (SCHED_IDLE), pinned to its CPU, so no CPU ever goes idle. Any normal
// thread that wakes takes the CPU from it at once, but the CPU itself
// never halts: on a virtual machine a halted virtual CPU comes back only
// when the hypervisor schedules it again, which can take milliseconds.
// This is what idle=poll or a PC with deep sleep states turned off gives.
class AwakeCpus {
public:
    explicit AwakeCpus(bool enable);
    ~AwakeCpus();
    AwakeCpus(const AwakeCpus&) = delete;
    AwakeCpus& operator=(const AwakeCpus&) = delete;
    int Count() const { return static_cast<int>(m_Threads.size()); }

private:
    std::atomic<bool> m_Stop{false};
    std::vector<std::thread> m_Threads;
};

// Waits up to timeoutMs for the child to end and reaps it, without waking
// meanwhile (a pidfd), so the end time is exact.
bool WaitExit(Child& child, int timeoutMs);

// CPU time (ns) of all live threads of pid, from the scheduler's accounting.
int64_t ThreadCpuNs(pid_t pid);
// Voluntary context switches (sleeps) of all live threads of pid.
int64_t VoluntarySwitches(pid_t pid);
// Threads of pid.
int TaskCount(pid_t pid);

std::string ReadText(const std::string& path);
std::vector<unsigned char> ReadBinary(const std::string& path);

// A fresh directory under $TMPDIR (or /tmp); exits the bench if none can be
// made. RemoveDir deletes it with everything in it.
std::string TempDir();
void RemoveDir(const std::string& dir);

// Wire time of a whole download at baud: hello + ack, one 12-byte request
// and one (n + 8)-byte reply per block, FT_DONE; 10 bit times a byte. The
// stop-and-wait limit every efficiency figure is measured against.
double WireSeconds(long long size, int block, long baud);

// Reads the simulator's first line, "PTY <slave path>", from its stdout
// file; false if it ends or stays silent for 5 s.
bool WaitForPtyLine(const std::string& path, std::string& slave, Child& box);

// "Served N bytes in M blocks, X s" from the CLI's last lines (the last
// such line in out).
bool ParseServed(const std::string& out, unsigned long long& bytes, unsigned long long& blocks, double& secs);

}  // namespace bench
