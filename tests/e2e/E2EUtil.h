// Helpers for end-to-end tests: pseudo-terminal pairs, child processes that
// are always killed by PID, scratch directories and bounded waits.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace e2e {

using Clock = std::chrono::steady_clock;

// Polls cond every few milliseconds until it holds or timeoutMs passes.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<unsigned char>& data);
std::vector<unsigned char> RandomBytes(size_t n, unsigned seed);

// A scratch directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_Path; }
    std::string File(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

// A pseudo-terminal pair in raw mode; the slave is closed again after it
// has been configured, so the master shows a hang-up until someone opens
// the slave path.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    bool Ok() const { return m_Master >= 0; }
    int Master() const { return m_Master; }
    const std::string& SlavePath() const { return m_Slave; }
    // Closes the master: the slave side sees a hang-up.
    void CloseMaster();
    // Writes all of data to the master (bounded wait); false on failure.
    bool WriteMaster(const void* data, size_t n, int timeoutMs = 2000);
    // Reads exactly n bytes from the master within timeoutMs.
    std::vector<unsigned char> ReadMaster(size_t n, int timeoutMs);

private:
    int m_Master = -1;
    std::string m_Slave;
};

// A child process, started with posix_spawn, stdout and stderr to files.
// Killed with SIGKILL and reaped by the destructor if still running.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                 const std::string& errPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_Pid > 0; }
    pid_t Pid() const { return m_Pid; }
    // true once the process has ended (within timeoutMs).
    bool Wait(int timeoutMs);
    bool Exited() const { return m_Reaped; }
    // Exit code, or 128 + signal number; -1 while running.
    int ExitCode() const { return m_Code; }
    void Signal(int sig);
    void Kill();
    std::string Out() const { return ReadFile(m_OutPath); }
    std::string Err() const { return ReadFile(m_ErrPath); }

private:
    pid_t m_Pid = -1;
    bool m_Reaped = false;
    int m_Code = -1;
    std::string m_OutPath;
    std::string m_ErrPath;
};

// Waits for the box simulator started with --pty to announce its line
// ("PTY <slave path>" as its first stdout line); false if it ends first or
// timeoutMs passes.
bool WaitForPtyAnnouncement(ChildProcess& box, std::string& slave, int timeoutMs);

}  // namespace e2e
