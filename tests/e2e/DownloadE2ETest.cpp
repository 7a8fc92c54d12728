// The command-line downloader serving the box simulator over a
// pseudo-terminal: both are the real, separately built programs.
#include "E2EUtil.h"
#include "protocol/Frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/ioctl.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#ifndef ZV_CLI
#error ZV_CLI must name the zurivavave-cli binary
#endif
#ifndef ZV_BOXSIM
#error ZV_BOXSIM must name the zurivavave-boxsim binary
#endif

using namespace e2e;

namespace {

const char kCli[] = ZV_CLI;
const char kBoxSim[] = ZV_BOXSIM;

struct Outcome {
    int cli = -1;
    int box = -1;
    std::string cliOut, cliErr, boxOut, boxErr;
    double cliSeconds = 0;
};

std::string Dump(const Outcome& o)
{
    return "cli exit " + std::to_string(o.cli) + "\n--- cli stdout\n" + o.cliOut + "--- cli stderr\n" +
           o.cliErr + "--- box exit " + std::to_string(o.box) + "\n--- box stdout\n" + o.boxOut +
           "--- box stderr\n" + o.boxErr;
}

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

class DownloadE2E : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_Dir.Path().empty()); }

    std::string MakeImage(const std::string& name, size_t size, unsigned seed)
    {
        std::string path = m_Dir.File(name);
        WriteFile(path, RandomBytes(size, seed));
        return path;
    }

    // Starts the simulator on a fresh pty and waits for the slave path it
    // announces on its first line.
    bool StartBox(std::unique_ptr<ChildProcess>& box, const std::vector<std::string>& args,
                  std::string& slave)
    {
        std::vector<std::string> argv = {kBoxSim, "--pty", "--wait-host", "--hello-interval", "200",
                                         "--hello-timeout", "15000"};
        argv.insert(argv.end(), args.begin(), args.end());
        box.reset(new ChildProcess(argv, m_Dir.File("box.out"), m_Dir.File("box.err")));
        return WaitForPtyAnnouncement(*box, slave, 5000);
    }

    // One run: the simulator with boxArgs, then the CLI on its pty with
    // cliArgs. Both are waited for within the given bounds.
    Outcome Serve(const std::vector<std::string>& boxArgs, const std::vector<std::string>& cliArgs,
                  int cliTimeoutMs = 30000)
    {
        Outcome o;
        std::unique_ptr<ChildProcess> box;
        std::string slave;
        if (!StartBox(box, boxArgs, slave)) {
            ADD_FAILURE() << "simulator did not announce its pty: " << (box ? box->Err() : "");
            return o;
        }
        std::vector<std::string> argv = {kCli, "--port", slave};
        argv.insert(argv.end(), cliArgs.begin(), cliArgs.end());
        ChildProcess cli(argv, m_Dir.File("cli.out"), m_Dir.File("cli.err"));
        auto start = Clock::now();
        bool cliEnded = cli.Wait(cliTimeoutMs);
        o.cliSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        bool boxEnded = box->Wait(10000);
        cli.Kill();
        box->Kill();
        o.cli = cli.ExitCode();
        o.box = box->ExitCode();
        o.cliOut = cli.Out();
        o.cliErr = cli.Err();
        o.boxOut = box->Out();
        o.boxErr = box->Err();
        EXPECT_TRUE(cliEnded) << "CLI still running after " << cliTimeoutMs << " ms\n" << Dump(o);
        EXPECT_TRUE(boxEnded) << "simulator still running\n" << Dump(o);
        return o;
    }

    // A CLI run that needs no box.
    Outcome RunCli(const std::vector<std::string>& args)
    {
        Outcome o;
        std::vector<std::string> argv = {kCli};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess cli(argv, m_Dir.File("cli.out"), m_Dir.File("cli.err"));
        EXPECT_TRUE(cli.Wait(10000));
        cli.Kill();
        o.cli = cli.ExitCode();
        o.cliOut = cli.Out();
        o.cliErr = cli.Err();
        return o;
    }

    TempDir m_Dir;
};

}  // namespace

TEST_F(DownloadE2E, ServesWholeImageAtEverySpeed)
{
    const std::string image = MakeImage("image.wzb", 1 << 20, 1);
    const std::string received = m_Dir.File("received.bin");
    const struct {
        const char* speed;
        std::vector<std::string> box;
    } runs[] = {
        {"19200", {}},
        // Tags that wrap past 255, and the time asked before the blocks.
        {"38400", {"--tag-start", "250", "--time"}},
        {"57600", {"--block", "200", "--time"}},
        {"115200", {"--block", "255", "--out", received}},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.speed);
        std::vector<std::string> box = {"--expect", image};
        box.insert(box.end(), run.box.begin(), run.box.end());
        Outcome o = Serve(box, {"--speed", run.speed, image});
        ASSERT_EQ(0, o.cli) << Dump(o);
        ASSERT_EQ(0, o.box) << Dump(o);
        // Status lines in the order the transfer goes through them.
        size_t waiting = o.cliOut.find("Waiting For Request. Reset SetTop Box.");
        size_t downloading = o.cliOut.find("Downloading Processing..");
        size_t done = o.cliOut.find("Completely Transfered!");
        ASSERT_NE(std::string::npos, waiting) << Dump(o);
        ASSERT_NE(std::string::npos, downloading) << Dump(o);
        ASSERT_NE(std::string::npos, done) << Dump(o);
        EXPECT_LT(waiting, downloading);
        EXPECT_LT(downloading, done);
        EXPECT_TRUE(Has(o.cliOut, "Progress 100%")) << Dump(o);
        EXPECT_TRUE(Has(o.cliOut, "Served 1048576 bytes")) << Dump(o);
        EXPECT_TRUE(Has(o.boxOut, "OK 1048576 bytes")) << Dump(o);
        if (std::find(run.box.begin(), run.box.end(), "--time") != run.box.end()) {
            EXPECT_TRUE(Has(o.boxErr, "host time")) << Dump(o);
        }
    }
    // Independent of the simulator's own comparison.
    EXPECT_EQ(ReadFile(image), ReadFile(received));
}

TEST_F(DownloadE2E, NoisyAndBrokenFramesStillComplete)
{
    const std::string image = MakeImage("image.wzb", 16 * 1024, 2);
    const std::vector<std::vector<std::string>> faults = {
        {"--noise-before", "40"},
        {"--noise-in-magic"},
        {"--split-magic", "--split-pause", "5"},
        {"--bad-checksum-at", "5"},        // the simulator fails if it is answered
        {"--cancel-greeting-at", "3"},     // likewise for the request after it
        {"--flood", "20000"},
        {"--noise-before", "7", "--noise-in-magic", "--time", "--block", "1"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.front());
        std::vector<std::string> box = {"--expect", image, "--reply-timeout", "400"};
        box.insert(box.end(), fault.begin(), fault.end());
        Outcome o = Serve(box, {image});
        EXPECT_EQ(0, o.cli) << Dump(o);
        EXPECT_EQ(0, o.box) << Dump(o);
        EXPECT_TRUE(Has(o.cliOut, "Completely Transfered!")) << Dump(o);
    }
}

TEST_F(DownloadE2E, SimulatorNoticesAWrongImage)
{
    // The harness itself must be able to fail: serve a different file of the
    // same size and the simulator reports the mismatch.
    const std::string expected = MakeImage("expected.wzb", 8 * 1024, 3);
    const std::string other = MakeImage("other.wzb", 8 * 1024, 4);
    Outcome o = Serve({"--expect", expected}, {other});
    EXPECT_EQ(0, o.cli) << Dump(o);
    EXPECT_EQ(1, o.box) << Dump(o);
    EXPECT_TRUE(Has(o.boxErr, "differs")) << Dump(o);
}

TEST_F(DownloadE2E, RequestPastTheEndEndsWithSizeOver)
{
    const std::string image = MakeImage("image.wzb", 10000, 5);
    Outcome o = Serve({"--expect", image, "--past-end", "--reply-timeout", "3000"}, {image});
    EXPECT_EQ(5, o.cli) << Dump(o);
    EXPECT_TRUE(Has(o.cliOut, "Error : File size is over.")) << Dump(o);
    EXPECT_FALSE(Has(o.cliOut, "Completely Transfered!")) << Dump(o);
    // The simulator checked the block went unanswered and all before it
    // was right.
    EXPECT_EQ(0, o.box) << Dump(o);
}

TEST_F(DownloadE2E, ABoxThatAsksForPartOfTheFileSaysSo)
{
    // Done after 2048 of 65536 bytes: success by default, but said; a
    // failure when the whole file is required.
    const std::string image = MakeImage("image.wzb", 65536, 7);
    Outcome o = Serve({"--expect", image, "--size", "2048"}, {image});
    EXPECT_EQ(0, o.cli) << Dump(o);
    EXPECT_TRUE(Has(o.cliOut, "the box asked for 2048 of 65536 bytes (3.1 %)")) << Dump(o);
    EXPECT_FALSE(Has(o.cliOut, "100%")) << Dump(o);
    o = Serve({"--expect", image, "--size", "2048"}, {"--require-full", "--json", image});
    EXPECT_EQ(5, o.cli) << Dump(o);
    EXPECT_TRUE(Has(o.cliOut, "\"result\":\"incomplete\"")) << Dump(o);
    EXPECT_TRUE(Has(o.cliOut, "\"bytes_requested\":2048,")) << Dump(o);
    EXPECT_EQ(0, o.box) << Dump(o);
}

TEST_F(DownloadE2E, SilentBoxEndsWithExternalError)
{
    const std::string image = MakeImage("image.wzb", 64 * 1024, 6);
    Outcome o = Serve({"--expect", image, "--silent-after", "5", "--hold", "40000"}, {image}, 40000);
    EXPECT_EQ(6, o.cli) << Dump(o);
    EXPECT_TRUE(Has(o.cliOut, "External Error Occurred!")) << Dump(o);
    EXPECT_FALSE(Has(o.cliOut, "Completely Transfered!")) << Dump(o);
    // Four ticks of 3.2 s after the last request, not earlier.
    EXPECT_GE(o.cliSeconds, 9.0) << Dump(o);
    // The simulator saw the host let go of the line.
    EXPECT_EQ(0, o.box) << Dump(o);
    EXPECT_TRUE(Has(o.boxErr, "the host gave up")) << Dump(o);
}

// A line of boxes served by one CLI run per box: the line hangs up between
// the runs and the next box waits for the next host; the fault is played
// by the box --fault-box names only, and counts as OK when refused.
TEST_F(DownloadE2E, LineOfBoxesServedByOneRunEach)
{
    const std::string image = MakeImage("image.wzb", 8192, 10);
    std::unique_ptr<ChildProcess> box;
    std::string slave;
    ASSERT_TRUE(StartBox(box, {"--expect", image, "--boxes", "2", "--box-pause", "300", "--fault-box", "2",
                               "--past-end", "--reply-timeout", "1000"},
                         slave));
    const int exits[] = {0, 5};  // box 2 asks past the end
    for (int run = 0; run < 2; ++run) {
        std::string name = "cli" + std::to_string(run);
        ChildProcess cli({kCli, "--port", slave, image}, m_Dir.File(name + ".out"), m_Dir.File(name + ".err"));
        ASSERT_TRUE(cli.Wait(30000)) << cli.Out() << box->Err();
        EXPECT_EQ(exits[run], cli.ExitCode()) << cli.Out() << cli.Err() << box->Err();
    }
    ASSERT_TRUE(box->Wait(10000)) << box->Out() << box->Err();
    EXPECT_EQ(0, box->ExitCode()) << box->Out() << box->Err();
    EXPECT_TRUE(Has(box->Out(), "OK box 1/2 8192 bytes")) << box->Out();
    EXPECT_TRUE(Has(box->Out(), "OK box 2/2 8160 bytes")) << box->Out();
    EXPECT_TRUE(Has(box->Out(), "OK 16352 bytes")) << box->Out();
    EXPECT_TRUE(Has(box->Out(), "2/2 boxes OK")) << box->Out();
}

TEST_F(DownloadE2E, VanishedPortEndsPromptlyWithAnError)
{
    const std::string image = MakeImage("image.wzb", 1 << 20, 7);
    std::unique_ptr<ChildProcess> box;
    std::string slave;
    // Paced to a real line so the transfer is still running when the box
    // goes away.
    ASSERT_TRUE(StartBox(box, {"--expect", image, "--baud", "57600"}, slave));
    ChildProcess cli({kCli, "--port", slave, image}, m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Has(cli.Out(), "Downloading Processing.."); }, 10000)) << cli.Out();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    box->Kill();
    auto killed = Clock::now();
    ASSERT_TRUE(cli.Wait(5000)) << "CLI hangs after the port vanished\n" << cli.Out() << cli.Err();
    EXPECT_LT(Clock::now() - killed, std::chrono::seconds(5));
    EXPECT_EQ(5, cli.ExitCode()) << cli.Out() << cli.Err();
    EXPECT_TRUE(Has(cli.Out(), "Error : Serial port lost.")) << cli.Out();
    EXPECT_FALSE(Has(cli.Out(), "Completely Transfered!")) << cli.Out();
}

TEST_F(DownloadE2E, InterruptStopsAWaitingTransfer)
{
    const std::string image = MakeImage("image.wzb", 4096, 8);
    PtyPair pty;  // a line with no box on it
    ASSERT_TRUE(pty.Ok());
    ChildProcess cli({kCli, "--port", pty.SlavePath(), image}, m_Dir.File("cli.out"),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Has(cli.Out(), "Waiting For Request. Reset SetTop Box."); }, 10000));
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.Wait(5000)) << cli.Out();
    EXPECT_EQ(130, cli.ExitCode()) << cli.Out() << cli.Err();
    EXPECT_TRUE(Has(cli.Out(), "Interrupted.")) << cli.Out();
}

TEST_F(DownloadE2E, CommandLineAndSetupErrors)
{
    const std::string image = MakeImage("image.wzb", 4096, 9);
    const std::string missing = m_Dir.File("missing.wzb");

    // Missing file: exit 3 before the port is touched. Bytes waiting on the
    // line would have been flushed by an open of the port.
    {
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        ASSERT_TRUE(pty.WriteMaster("XYZ", 3));
        Outcome o = RunCli({"--port", pty.SlavePath(), missing});
        EXPECT_EQ(3, o.cli) << o.cliOut << o.cliErr;
        EXPECT_TRUE(Has(o.cliErr, missing)) << o.cliErr;
        EXPECT_FALSE(Has(o.cliOut, "Waiting For Request")) << o.cliOut;
        int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        int pending = -1;
        ASSERT_EQ(0, ::ioctl(fd, FIONREAD, &pending));
        ::close(fd);
        EXPECT_EQ(3, pending) << "the CLI opened the port despite the missing file";
    }
    // Missing file and missing port: the file is reported.
    EXPECT_EQ(3, RunCli({"--port", "/nonexistent/ttyZV0", missing}).cli);
    // A directory is no file to serve.
    EXPECT_EQ(3, RunCli({"--port", "/nonexistent/ttyZV0", m_Dir.Path()}).cli);

    // Missing port.
    {
        Outcome o = RunCli({"--port", "/nonexistent/ttyZV0", image});
        EXPECT_EQ(4, o.cli) << o.cliOut << o.cliErr;
        EXPECT_TRUE(Has(o.cliErr, "Initializing Failed!")) << o.cliErr;
        EXPECT_TRUE(Has(o.cliErr, "/nonexistent/ttyZV0")) << o.cliErr;
    }
    // A port that is not a serial device.
    {
        Outcome o = RunCli({"--port", image, image});
        EXPECT_EQ(4, o.cli) << o.cliOut << o.cliErr;
        EXPECT_TRUE(Has(o.cliErr, "not a serial device")) << o.cliErr;
    }

    // Usage errors.
    EXPECT_EQ(2, RunCli({"--speed", "9600", image}).cli);
    EXPECT_EQ(2, RunCli({"--speed"}).cli);
    EXPECT_EQ(2, RunCli({}).cli);
    EXPECT_EQ(2, RunCli({"--bogus", image}).cli);
    EXPECT_EQ(2, RunCli({image, image}).cli);

    Outcome version = RunCli({"--version"});
    EXPECT_EQ(0, version.cli);
    EXPECT_TRUE(Has(version.cliOut, "1.0.4")) << version.cliOut;
    Outcome help = RunCli({"--help"});
    EXPECT_EQ(0, help.cli);
    EXPECT_TRUE(Has(help.cliOut, "Exit codes")) << help.cliOut;
    EXPECT_TRUE(Has(help.cliOut, "/dev/ttyUSB0")) << help.cliOut;
}

namespace {

// The host's end of the simulator's line, played by the test: raw, with
// every byte's arrival time.
class HostEnd {
public:
    explicit HostEnd(const std::string& path)
    {
        m_Fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        struct termios tio;
        if (m_Fd >= 0 && ::tcgetattr(m_Fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_Fd, TCSANOW, &tio);
        }
    }
    ~HostEnd()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    bool Ok() const { return m_Fd >= 0; }

    // Reads n bytes one at a time, recording when each came.
    bool Read(size_t n, std::vector<unsigned char>& bytes, std::vector<Clock::time_point>& when)
    {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (bytes.size() < n && Clock::now() < deadline) {
            struct pollfd p = {m_Fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            unsigned char b;
            if (::read(m_Fd, &b, 1) == 1) {
                bytes.push_back(b);
                when.push_back(Clock::now());
            }
        }
        return bytes.size() == n;
    }

    Clock::time_point Send(unsigned char tag, unsigned char type, const unsigned char* payload, unsigned char len)
    {
        unsigned char frame[kFrameMaxPayload + 8];
        int n = EncodeFrame(tag, type, payload, len, frame);
        auto t = Clock::now();
        EXPECT_EQ(n, ::write(m_Fd, frame, static_cast<size_t>(n)));
        return t;
    }

private:
    int m_Fd = -1;
};

}  // namespace

// The simulator's --baud is what the line benchmarks rest on: a byte must
// reach the host no sooner than it could cross the wire, one after the
// other (with --lines no byte of a frame before all of it could have), and
// the box must not answer a frame before the whole of it has crossed. Only
// lower bounds from the host's own sending are checked: a busy machine
// makes things late, never early.
TEST_F(DownloadE2E, SimulatedLineTakesTheWireTime)
{
    const double byteUs = 10.0 * 1e6 / 19200;  // 520.8 µs
    auto atLeast = [&](Clock::time_point from, Clock::time_point to, int bytes, double extraUs = 0) {
        double us = std::chrono::duration<double, std::micro>(to - from).count();
        EXPECT_GE(us, (bytes - 0.5) * byteUs + extraUs) << bytes << " bytes took " << us << " µs";
    };
    for (const char* lines : {"", "1"}) {
        SCOPED_TRACE(*lines ? "--lines 1" : "one line");
        std::unique_ptr<ChildProcess> box;
        std::string slave;
        std::vector<std::string> args = {"--size", "255", "--baud", "19200", "--hello-interval", "2000",
                                         "--block-delay", "60"};
        if (*lines)
            args.insert(args.end(), {"--lines", lines});
        ASSERT_TRUE(StartBox(box, args, slave));
        HostEnd host(slave);
        ASSERT_TRUE(host.Ok());

        std::vector<unsigned char> hello;
        std::vector<Clock::time_point> at;
        ASSERT_TRUE(host.Read(12, hello, at)) << box->Err();
        ASSERT_EQ(0, std::memcmp(hello.data(), "Kuvo", 4));
        ASSERT_EQ(FT_HELLO, hello[5]);

        // The acknowledgement (8 bytes) must cross before the box reacts, then
        // each of the request's 12 bytes (with --lines all of them).
        auto ackSent = host.Send(hello[4], FT_HELLO_ACK, nullptr, 0);
        std::vector<unsigned char> req;
        at.clear();
        ASSERT_TRUE(host.Read(12, req, at)) << box->Err();
        ASSERT_EQ(FT_DATA_REQ, req[5]);
        for (int k = 0; k < 12; ++k)
            atLeast(ackSent, at[k], 8 + (*lines ? 12 : k + 1));

        // A whole 263-byte reply, the adapter's latency (60 ms from the reply's
        // last byte, not from when the box first saw it), then FT_DONE.
        unsigned char block[255] = {};
        auto replySent = host.Send(req[4], FT_DATA, block, 255);
        std::vector<unsigned char> done;
        at.clear();
        ASSERT_TRUE(host.Read(8, done, at)) << box->Err();
        EXPECT_EQ(FT_DONE, done[5]);
        atLeast(replySent, at.back(), 263 + 8, 60000);
    }
}
