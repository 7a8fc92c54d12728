// Helpers for the fault-injection runs: the test itself playing a box on a
// pty (for faults the simulator cannot make), and a fingerprint of the
// served file to prove the downloader never writes to it.
#pragma once

#include "../e2e/E2EUtil.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef ZV_CLI
#error ZV_CLI must name the zurivavave-cli binary
#endif

namespace robust {

using namespace e2e;

const char kCli[] = ZV_CLI;

inline bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

inline std::vector<unsigned char> Frame(unsigned char tag, unsigned char type, const std::vector<unsigned char>& payload)
{
    std::vector<unsigned char> f = {'K', 'u', 'v', 'o', tag, type, static_cast<unsigned char>(payload.size())};
    unsigned sum = tag + type + static_cast<unsigned>(payload.size());
    for (unsigned char b : payload) {
        f.push_back(b);
        sum += b;
    }
    f.push_back(static_cast<unsigned char>(sum));
    return f;
}

inline std::vector<unsigned char> DataRequest(unsigned char tag, uint32_t offset, unsigned char n)
{
    return Frame(tag, 4,
                 {n, static_cast<unsigned char>(offset >> 16), static_cast<unsigned char>(offset >> 8),
                  static_cast<unsigned char>(offset)});
}

// The test as the box, on the master side of a pty whose slave the CLI
// opens.
class BoxDriver {
public:
    explicit BoxDriver(PtyPair& pty) : m_Pty(pty) {}

    // Waits until the CLI holds the line open.
    bool WaitForHost(int timeoutMs)
    {
        return WaitUntil(
            [&] {
                struct pollfd p = {m_Pty.Master(), POLLOUT, 0};
                ::poll(&p, 1, 0);
                return !(p.revents & POLLHUP);
            },
            timeoutMs);
    }
    bool Send(const std::vector<unsigned char>& bytes) { return m_Pty.WriteMaster(bytes.data(), bytes.size()); }
    std::vector<unsigned char> Receive(size_t n, int timeoutMs) { return m_Pty.ReadMaster(n, timeoutMs); }

    // Greets until acknowledged (the CLI flushes the line when it opens the
    // port, so a hello sent just then is lost).
    bool Greet(unsigned char tag)
    {
        if (!WaitForHost(10000))
            return false;
        const std::vector<unsigned char> ack = Frame(tag, 2, {});
        for (int i = 0; i < 40; ++i) {
            if (!Send(Frame(tag, 1, {'B', 'O', 'X'})))
                return false;
            std::vector<unsigned char> got = Receive(ack.size(), 250);
            if (got == ack)
                return true;
        }
        return false;
    }

    // One data request; the reply frame (n + 8 bytes) or what came of it.
    std::vector<unsigned char> Request(unsigned char tag, uint32_t offset, unsigned char n, int timeoutMs = 3000)
    {
        if (!Send(DataRequest(tag, offset, n)))
            return {};
        return Receive(size_t(n) + 8, timeoutMs);
    }

private:
    PtyPair& m_Pty;
};

// Size, times and sampled content of a file: equal before and after a run
// only if nobody wrote to it (ctime moves on any write or metadata change).
struct FileStamp {
    off_t size = -1;
    struct timespec mtime = {}, ctime = {};
    std::vector<unsigned char> sample;

    static FileStamp Of(const std::string& path)
    {
        FileStamp s;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0)
            return s;
        s.size = st.st_size;
        s.mtime = st.st_mtim;
        s.ctime = st.st_ctim;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return s;
        // All of a small file; head, the 16 MiB edge and tail of a big one.
        const off_t whole = 1 << 22;
        std::vector<off_t> at = st.st_size <= whole ? std::vector<off_t>{0}
                                                    : std::vector<off_t>{0, (1 << 24) - 4096, st.st_size - 4096};
        for (off_t o : at) {
            std::vector<unsigned char> buf(static_cast<size_t>(std::min<off_t>(st.st_size, whole)));
            ssize_t r = ::pread(fd, buf.data(), buf.size(), o);
            buf.resize(r > 0 ? static_cast<size_t>(r) : 0);
            s.sample.insert(s.sample.end(), buf.begin(), buf.end());
        }
        ::close(fd);
        return s;
    }
    bool operator==(const FileStamp& o) const
    {
        return size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec && sample == o.sample;
    }
};

// The CLI's output for a failure message.
inline std::string Dump(ChildProcess& cli)
{
    return "exit " + std::to_string(cli.ExitCode()) + "\n--- stdout\n" + cli.Out() + "--- stderr\n" + cli.Err();
}

}  // namespace robust
