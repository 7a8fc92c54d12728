// A whole production line in one simulator (--lines) served by one shift of
// the downloader: every line's boxes, their greetings with a counter, and a
// line whose boxes fail named as such.
#include "E2EUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#ifndef ZV_CLI
#error ZV_CLI must name the zurivavave-cli binary
#endif
#ifndef ZV_BOXSIM
#error ZV_BOXSIM must name the zurivavave-boxsim binary
#endif

using namespace e2e;

namespace {

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::vector<std::string> PtyLines(const std::string& out)
{
    std::vector<std::string> slaves;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line) && !in.eof()) {
        if (line.rfind("PTY ", 0) == 0)
            slaves.push_back(line.substr(4));
    }
    return slaves;
}

std::string LinkTarget(const std::string& link)
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// The trace's bytes of a payload: " 53 4e ...".
std::string Hex(const std::string& text)
{
    std::string hex;
    char b[4];
    for (unsigned char c : text) {
        std::snprintf(b, sizeof b, " %02x", c);
        hex += b;
    }
    return hex;
}

}  // namespace

TEST(BoxSimLines, AWholeLineInOneSimulatorServedByOneShift)
{
    // Three lines of two boxes each, paced to a wire: line 1 is served
    // another image than its boxes expect, so its boxes fail and the
    // simulator must say it is line 1.
    TempDir dir;
    const std::string image = dir.File("image.wzb"), other = dir.File("other.wzb");
    WriteFile(image, RandomBytes(6000, 31));
    WriteFile(other, RandomBytes(6000, 32));
    const std::string bay = dir.File("bay");
    ChildProcess box({ZV_BOXSIM, "--pty", "--lines", "3", "--link-prefix", bay, "--boxes", "2", "--box-pause", "200",
                      "--wait-host", "--hello-interval", "200", "--hello-timeout", "20000", "--baud", "115200",
                      "--hello-payload", "SN{serial:04}-L{line}", "--expect", image, "--out", dir.File("got")},
                     dir.File("box.out"), dir.File("box.err"));
    ASSERT_TRUE(WaitUntil([&] { return PtyLines(box.Out()).size() == 3 || box.Wait(0); }, 10000)) << box.Err();
    const std::vector<std::string> slaves = PtyLines(box.Out());
    ASSERT_EQ(3u, slaves.size()) << box.Out() << box.Err();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(slaves[i], LinkTarget(bay + std::to_string(i))) << "link " << i << " leads to line " << i;

    const std::string trace = dir.File("trace");
    const std::string log = dir.File("shift.jsonl");
    ChildProcess cli({ZV_CLI, "--loop", "--count", "2", "--trace", trace, "--log", log, "-p", bay + "0", "-p", bay + "1=" + other,
                      "-p", bay + "2", image},
                     dir.File("cli.out"), dir.File("cli.err"));
    ASSERT_TRUE(cli.Wait(60000)) << cli.Err();
    ASSERT_TRUE(box.Wait(20000)) << box.Out() << box.Err();
    const std::string dump = cli.Err() + "\n--- boxsim\n" + box.Out() + box.Err();
    EXPECT_EQ(0, cli.ExitCode()) << "the host served every box whole\n" << dump;
    EXPECT_EQ(1, box.ExitCode()) << dump;

    // Each line's own verdict, then the run's, naming the failed boxes.
    const std::string out = box.Out();
    EXPECT_TRUE(Has(out, "\nOK line 0 12000 bytes, 48 requests, ")) << out;
    EXPECT_TRUE(Has(out, "\nFAILED line 1 box 1/2 6000 bytes")) << out;
    EXPECT_TRUE(Has(out, "\nOK line 2 box 2/2 6000 bytes")) << out;
    EXPECT_TRUE(Has(out, "\nFAILED 3 lines 36000 bytes, 144 requests, ")) << out;
    EXPECT_TRUE(Has(out, ", 4/6 boxes OK, failed: line 1 box 1, line 1 box 2\n")) << out;
    EXPECT_TRUE(Has(box.Err(), "zurivavave-boxsim: line 1: box 1/2: image differs")) << box.Err();
    EXPECT_EQ(ReadFile(image), ReadFile(dir.File("got.0")));
    EXPECT_EQ(ReadFile(other), ReadFile(dir.File("got.1"))) << "--out per line, what the line's last box got";
    EXPECT_EQ(ReadFile(image), ReadFile(dir.File("got.2")));

    // Every greeting carries its box's serial and line, and the links are
    // gone with the simulator.
    for (int line = 0; line < 3; ++line) {
        const std::string t = ReadFile(trace + ".bay" + std::to_string(line));
        for (int b = 1; b <= 2; ++b) {
            char serial[16];
            std::snprintf(serial, sizeof serial, "SN%04d-L%d", line * 2 + b, line);
            EXPECT_TRUE(Has(t, "HELLO     len=9   ok  " + Hex(serial) + "\n")) << serial << "\n" << t.substr(0, 400);
        }
        EXPECT_NE(0, ::access((bay + std::to_string(line)).c_str(), F_OK));
    }
    // And each record keeps its box's own words.
    const std::string records = ReadFile(log);
    std::string hello = Hex("SN0004-L1");
    hello.erase(std::remove(hello.begin(), hello.end(), ' '), hello.end());
    EXPECT_TRUE(Has(records, "\"hello\":\"" + hello + "\",\"hello_text\":\"SN0004-L1\"")) << records.substr(0, 600);
}
