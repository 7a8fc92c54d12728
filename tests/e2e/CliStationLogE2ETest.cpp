// The station's outputs as a user meets them: an output that is the tool's
// own stdout or stderr, and the record log moved away in the middle of a
// shift.
#include "CliStationFixture.h"

#include <algorithm>
#include <csignal>
#include <cstdio>

using namespace station;

TEST_F(CliStation, AnOutputThatIsStdoutOrStderrIsRefused)
{
    const std::string image = MakeImage("image.wzb", 4096, 20);
    const std::string out = m_Dir.File("run.out"), err = m_Dir.File("run.err");
    auto run = [&](const std::vector<std::string>& args, const std::string& stdoutPath) {
        std::vector<std::string> argv = {kCli, "--loop", "-p", "/nonexistent/ttyZV0"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(image);
        ChildProcess c(argv, stdoutPath, err);
        EXPECT_TRUE(c.Wait(10000));
        c.Kill();
        return c.ExitCode();
    };
    // By whatever name: the redirection's own file, /dev/stdout, /proc.
    for (const std::string& name : {out, std::string("/dev/stdout"), std::string("/proc/self/fd/2")}) {
        const bool toErr = Has(name, "fd/2");
        EXPECT_EQ(2, run({toErr ? "--trace" : "--log", name}, out));
        EXPECT_TRUE(Has(ReadFile(err), name + " is the standard " + (toErr ? "error" : "output"))) << ReadFile(err);
    }
    // /dev/null takes anything, stdout too: the run gets as far as its port.
    EXPECT_EQ(4, run({"--log", "/dev/null", "--trace", "/dev/null"}, "/dev/null")) << ReadFile(err);
}

TEST_F(CliStation, LogMovedAwayMidShiftLosesNoRecord)
{
    const std::string image = MakeImage("image.wzb", 4096, 21);
    Box first, second;
    StartBox(first, "first", {"--expect", image});
    StartBox(second, "second", {"--expect", image});
    // The second box is held until the log has been moved away.
    second.proc->Signal(SIGSTOP);
    const std::string log = m_Dir.File("shift.jsonl"), moved = log + ".1";
    ChildProcess cli({kCli, "--loop", "--json", "--log", log, "-p", first.slave, "-p", second.slave, image},
                     m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    const std::string completed = "\"result\":\"completed\"";
    ASSERT_TRUE(WaitUntil([&] { return Has(ReadFile(log), completed); }, 30000)) << cli.Err();
    ASSERT_EQ(0, std::rename(log.c_str(), moved.c_str()));
    second.proc->Signal(SIGCONT);
    ASSERT_TRUE(WaitUntil([&] { return Has(ReadFile(log), completed); }, 30000)) << cli.Err();
    cli.Signal(SIGTERM);
    ASSERT_TRUE(cli.Wait(10000)) << cli.Err();

    // Every record the run made (stdout has each) is in one of the files,
    // and none in both: the box that ended after the move in the new one.
    const std::string before = ReadFile(moved), after = ReadFile(log);
    std::vector<std::string> made = Lines(cli.Out()), kept = Lines(before), more = Lines(after);
    kept.insert(kept.end(), more.begin(), more.end());
    std::sort(made.begin(), made.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(made, kept) << "moved:\n" << before << "new:\n" << after;
    EXPECT_EQ(1u, Count(before, completed)) << before;
    EXPECT_EQ(1u, Count(after, completed)) << after;
    EXPECT_TRUE(Has(after, "\"port\":\"" + second.slave + "\"")) << after;
}
