// CSerialComm on a real pseudo-terminal: the test holds the master end and
// plays the far side of the line.
#include "E2EUtil.h"

#include "serial/SerialComm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

using namespace e2e;

namespace {

// Takes n bytes out of the port's queue, sleeping on its data signal.
std::vector<unsigned char> TakeFromQueue(CSerialComm& port, size_t n, int timeoutMs)
{
    std::vector<unsigned char> out;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && Clock::now() < deadline) {
        port.m_QueueRead.WaitForData(20);
        unsigned char b;
        while (out.size() < n && port.m_QueueRead.Get(b))
            out.push_back(b);
    }
    return out;
}

// Runs fn on its own thread and waits up to timeoutMs for it. A call that
// hangs cannot be abandoned safely (it uses objects on this stack), so the
// test program ends at once with a message instead of hanging until the
// test runner's timeout.
template <class Fn>
auto MustFinish(Fn fn, int timeoutMs, const char* what) -> decltype(fn())
{
    auto task = std::make_shared<std::packaged_task<decltype(fn())()>>(std::move(fn));
    auto result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (result.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        std::fprintf(stderr, "FATAL: %s did not return within %d ms\n", what, timeoutMs);
        std::fflush(stderr);
        std::_Exit(1);
    }
    return result.get();
}

double ProcessCpuSeconds()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A port call that hangs would otherwise hold the test until the runner's
// own timeout; SIGALRM's default action ends the program at once.
class SerialCommPosix : public testing::Test {
protected:
    void SetUp() override { ::alarm(20); }
    void TearDown() override { ::alarm(0); }
};

}  // namespace

TEST_F(SerialCommPosix, OpensRawAtEverySpeedAndCarriesBytesBothWays)
{
    const struct {
        uint32_t baud;
        speed_t code;
    } speeds[] = {{19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    const auto pattern = RandomBytes(1000, 7);

    for (const auto& s : speeds) {
        SCOPED_TRACE(s.baud);
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        CSerialComm port;
        ASSERT_EQ(1, port.Open(pty.SlavePath().c_str(), s.baud, 2));
        EXPECT_EQ(1, port.IsConnected());
        EXPECT_FALSE(port.IsLost());
        EXPECT_TRUE(port.WatcherRunning());
        EXPECT_EQ(pty.SlavePath(), port.PortName());
        EXPECT_EQ(2, port.PortNumber());

        // Termios requests on a pty master act on the slave: this is what
        // the port configured.
        struct termios t;
        ASSERT_EQ(0, tcgetattr(pty.Master(), &t));
        EXPECT_EQ(s.code, cfgetospeed(&t));
        EXPECT_EQ(s.code, cfgetispeed(&t));
        EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
        EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_NE(0u, t.c_cflag & CLOCAL);
        EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP));
        EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_EQ(0u, t.c_oflag & OPOST);

        // Far side to host: every byte, in order, including CR/LF and the
        // control characters a cooked line would eat.
        ASSERT_TRUE(pty.WriteMaster(pattern.data(), pattern.size()));
        EXPECT_EQ(pattern, TakeFromQueue(port, pattern.size(), 3000));

        // Host to far side.
        EXPECT_EQ(static_cast<int>(pattern.size()),
                  port.Write(pattern.data(), static_cast<int>(pattern.size())));
        EXPECT_EQ(pattern, pty.ReadMaster(pattern.size(), 3000));

        port.Close();
        EXPECT_EQ(0, port.IsConnected());
        EXPECT_FALSE(port.WatcherRunning());
        EXPECT_EQ(0, port.Write(pattern.data(), 10));
    }
}

TEST_F(SerialCommPosix, CloseIsPromptRepeatableAndReopenWorks)
{
    // Never opened: Close, twice, only clears the flag; I/O reports nothing.
    {
        CSerialComm port;
        port.Close();
        port.Close();
        EXPECT_EQ(0, port.IsConnected());
        EXPECT_FALSE(port.WatcherRunning());
        unsigned char b[4] = {1, 2, 3, 4};
        EXPECT_EQ(0, port.Write(b, 4));
        EXPECT_EQ(0, port.Read(b, 4));
    }

    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialComm port;
    ASSERT_EQ(1, port.Open(pty.SlavePath().c_str(), 115200, 1));
    // The watcher sleeps in its wait; Close must wake it, not hang.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MustFinish([&port] { port.Close(); }, 3000, "Close while the watcher waits");
    EXPECT_FALSE(port.WatcherRunning());
    EXPECT_EQ(0, port.IsConnected());
    port.Close();
    EXPECT_FALSE(port.WatcherRunning());

    // The worker (end of transfer) and the watchdog may close at the same
    // moment: both return, exactly one stops the watcher, and the line is
    // not mistaken for a lost one.
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(1, port.Open(pty.SlavePath().c_str(), 115200, 1));
        ASSERT_TRUE(pty.WriteMaster("ping", 4));
        std::thread a([&port] { port.Close(); });
        std::thread b([&port] { port.Close(); });
        a.join();
        b.join();
        ASSERT_FALSE(port.IsLost()) << "round " << i;
        ASSERT_FALSE(port.WatcherRunning());
        port.m_QueueRead.Reset();
    }

    // Bytes that arrive while the port is closed are not delivered late:
    // the next Open starts from a clean line.
    const unsigned char stale[] = "stale";
    ASSERT_TRUE(pty.WriteMaster(stale, 5));
    ASSERT_EQ(1, port.Open(pty.SlavePath().c_str(), 57600, 1));
    const unsigned char fresh[] = "fresh";
    ASSERT_TRUE(pty.WriteMaster(fresh, 5));
    auto got = TakeFromQueue(port, 5, 3000);
    EXPECT_EQ(std::string("fresh"), std::string(got.begin(), got.end()));
    // The destructor closes the open port.
}

TEST_F(SerialCommPosix, OpenFailsCleanly)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialComm port;
    EXPECT_EQ(0, port.Open("/nonexistent/ttyZV0", 115200, 1));
    EXPECT_EQ(std::strerror(ENOENT), port.OpenError());
    EXPECT_FALSE(port.WatcherRunning());
    EXPECT_EQ(0, port.IsConnected());
    EXPECT_EQ(0, port.Open("/dev/null", 115200, 1));  // not a terminal
    EXPECT_EQ("not a serial device", port.OpenError());
    EXPECT_EQ(0, port.Open("", 115200, 1));
    EXPECT_EQ(0, port.Open(nullptr, 115200, 1));
    EXPECT_EQ(0, port.Open(pty.SlavePath().c_str(), 12345, 1));  // no such speed
    EXPECT_EQ("12345 baud is not supported", port.OpenError());
    EXPECT_FALSE(port.WatcherRunning());
    EXPECT_EQ(0, port.IsConnected());
    ASSERT_EQ(1, port.Open(pty.SlavePath().c_str(), 115200, 1));
    EXPECT_EQ("", port.OpenError());
    port.Close();
}

TEST_F(SerialCommPosix, HoldsTheLineAloneAndLeavesItAsFound)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const char* line = pty.SlavePath().c_str();
    // The line as a terminal program left it: cooked, echoing, 9600 baud.
    struct termios before;
    ASSERT_EQ(0, tcgetattr(pty.Master(), &before));
    before.c_iflag |= ICRNL | IXON;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cflag |= HUPCL;
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    ASSERT_EQ(0, tcsetattr(pty.Master(), TCSANOW, &before));
    ASSERT_EQ(0, tcgetattr(pty.Master(), &before));

    // Another process holds the line with the lock terminal programs take:
    // refused even as root (exclusive mode alone does not stop root), and
    // the refusal names the holder.
    int ready[2], release[2];
    ASSERT_EQ(0, ::pipe(ready));
    ASSERT_EQ(0, ::pipe(release));
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Only async-signal-safe calls in the child of a threaded program.
        // It ends when the parent closes its end of release, or at the
        // latest by the alarm if the parent has died.
        ::alarm(30);
        ::close(release[1]);
        ::close(ready[0]);
        int fd = ::open(line, O_RDWR | O_NOCTTY);
        char locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        (void)!::write(ready[1], &locked, 1);
        char b;
        (void)!::read(release[0], &b, 1);  // until the parent closes its end
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char locked = 0;
    ASSERT_EQ(1, ::read(ready[0], &locked, 1));
    ::close(ready[0]);
    ASSERT_EQ(1, locked);
    CSerialComm port;
    EXPECT_EQ(0, port.Open(line, 115200, 1));
    EXPECT_EQ("in use by another program (PID " + std::to_string(holder) + ")", port.OpenError());
    EXPECT_FALSE(port.WatcherRunning());
    ::close(release[1]);
    int status = 0;
    ASSERT_EQ(holder, ::waitpid(holder, &status, 0));

    // The holder is gone: the line opens. A second opener in this process
    // is refused too (the lock belongs to the open file, not the process).
    ASSERT_EQ(1, port.Open(line, 115200, 1));
    EXPECT_EQ("", port.OpenError());
    CSerialComm other;
    EXPECT_EQ(0, other.Open(line, 115200, 1));
    EXPECT_EQ("in use by another program (PID " + std::to_string(::getpid()) + ")", other.OpenError());

    // Close leaves the line as it was found: the settings back, neither
    // exclusive nor locked, so the next program (or run) opens it.
    port.Close();
    struct termios after;
    ASSERT_EQ(0, tcgetattr(pty.Master(), &after));
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(0, std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc));
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
    int fd = ::open(line, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
#ifdef TIOCGEXCL
    int exclusive = 1;
    EXPECT_EQ(0, ::ioctl(fd, TIOCGEXCL, &exclusive));
    EXPECT_EQ(0, exclusive);
#endif
    EXPECT_EQ(0, ::flock(fd, LOCK_EX | LOCK_NB));
    ::close(fd);
    ASSERT_EQ(1, other.Open(line, 115200, 1));
    other.Close();
}

TEST_F(SerialCommPosix, BurstLargerThanQueueDropsAChunkAndLaterBytesFlow)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialComm port;
    port.SetReportToStderr(true);
    ASSERT_EQ(1, port.Open(pty.SlavePath().c_str(), 115200, 1));

    const auto burst = RandomBytes(12000, 11);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(pty.WriteMaster(burst.data(), burst.size(), 5000));
    // Nobody consumes: the queue fills to its limit and stays there.
    bool settled = WaitUntil([&] { return port.m_QueueRead.Count() >= CByteQueue::kSize - CSerialComm::kWatchChunk; }, 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(settled) << "queue holds " << port.m_QueueRead.Count();
    EXPECT_NE(std::string::npos, err.find("m_QueueRead FULL!"));
    EXPECT_EQ(err.find("m_QueueRead FULL!"), err.rfind("m_QueueRead FULL!")) << "reported more than once";

    // Chunks are kept whole until one no longer fits: at least the first
    // kSize - kWatchChunk bytes of the burst are held, in order.
    int held = port.m_QueueRead.Count();
    EXPECT_LT(held, CByteQueue::kSize);
    auto kept = TakeFromQueue(port, static_cast<size_t>(held), 1000);
    ASSERT_EQ(static_cast<size_t>(held), kept.size());
    const size_t sure = CByteQueue::kSize - CSerialComm::kWatchChunk;
    ASSERT_GE(kept.size(), sure);
    EXPECT_TRUE(std::equal(kept.begin(), kept.begin() + sure, burst.begin()));

    // The watcher lives on: a marker sent now arrives whole. Anything the
    // watcher still put after the drain precedes it.
    const std::string marker = "<<after the flood>>";
    ASSERT_TRUE(pty.WriteMaster(marker.data(), marker.size()));
    std::string rest;
    WaitUntil(
        [&] {
            unsigned char b;
            while (port.m_QueueRead.Get(b))
                rest.push_back(static_cast<char>(b));
            return rest.size() >= marker.size() &&
                   rest.compare(rest.size() - marker.size(), marker.size(), marker) == 0;
        },
        3000);
    ASSERT_GE(rest.size(), marker.size());
    EXPECT_EQ(marker, rest.substr(rest.size() - marker.size()));
    EXPECT_LT(kept.size() + rest.size() - marker.size(), burst.size()) << "nothing was dropped";
    port.Close();
}

TEST_F(SerialCommPosix, VanishedLineIsReportedWithoutSpinning)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialComm port;
    ASSERT_EQ(1, port.Open(pty.SlavePath().c_str(), 115200, 1));
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return port.IsLost(); }, 3000));

    // A slave whose master is gone reports a hang-up on every poll; the
    // watcher must have stopped rather than loop on it.
    double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(ProcessCpuSeconds() - before, 0.15);

    unsigned char b[8] = {};
    EXPECT_LE(port.Write(b, 8), 0);
    MustFinish([&port] { port.Close(); }, 3000, "Close after the line vanished");
    EXPECT_FALSE(port.WatcherRunning());

    // The next successful Open clears the lost state.
    PtyPair again;
    ASSERT_TRUE(again.Ok());
    ASSERT_EQ(1, port.Open(again.SlavePath().c_str(), 115200, 1));
    EXPECT_FALSE(port.IsLost());
    port.Close();
}

TEST_F(SerialCommPosix, CloseEndsAWriteStuckOnAFullLine)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialComm port;
    ASSERT_EQ(1, port.Open(pty.SlavePath().c_str(), 115200, 1));

    // The far side reads nothing, so the line's buffers fill and the write
    // waits. Close (as the watchdog does from another thread) must end it
    // at once, not after the write's own stall limit.
    std::vector<unsigned char> big(1 << 20, 0x55);
    std::promise<int> written;
    auto result = written.get_future();
    std::thread writer([&] { written.set_value(port.Write(big.data(), static_cast<int>(big.size()))); });
    bool blocked = result.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout;
    auto closed = Clock::now();
    MustFinish([&port] { port.Close(); }, 8000, "Close during a blocked write");
    writer.join();  // Close returns only after the write has let go of the port
    ASSERT_TRUE(blocked) << "the write did not wait for the full line";
    EXPECT_EQ(-1, result.get());
    // Well inside the write's own stall limit (5 s): Close woke it.
    EXPECT_LT(Clock::now() - closed, std::chrono::seconds(3));
    EXPECT_FALSE(port.WatcherRunning());
}
