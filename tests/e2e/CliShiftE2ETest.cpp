// Shifts as a line runs them: a record of every box on the disk and live
// on stdout, outputs that are the tool's own stdout or stderr, the log
// moved away mid-shift or a reader that stops reading, an adapter gone
// with no box on it, a box that greets again, a kill -9.
#include "CliStationFixture.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace station;

TEST_F(CliStation, AnOutputThatIsStdoutOrStderrIsRefused)
{
    const std::string image = MakeImage("image.wzb", 4096, 20);
    const std::string out = m_Dir.File("run.out"), err = m_Dir.File("run.err");
    auto run = [&](const std::vector<std::string>& args, const std::string& stdoutPath) {
        std::vector<std::string> argv = {kCli, "-p", "/nonexistent/ttyZV0"};
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

TEST_F(CliStation, ShiftOfBoxesWithARecordOfEach)
{
    // Three lines of boxes: three good ones; three with a block past the
    // end asked by the second; three where the first is reset after a few
    // requests and downloads again as a new box, which --count does not
    // count.
    const std::string image = MakeImage("image.wzb", 12 * 1024, 18);
    const std::vector<std::string> line = {"--expect", image, "--boxes", "3", "--box-pause", "300"};
    Box good, faulty, reset;
    StartBox(good, "good", line);
    std::vector<std::string> f = line;
    f.insert(f.end(), {"--fault-box", "2", "--past-end"});
    StartBox(faulty, "faulty", f);
    StartBox(reset, "reset", {"--expect", image, "--boxes", "3", "--box-pause", "300", "--fault-box", "1",
                              "--reset-after", "5"});
    const std::string log = m_Dir.File("shift.jsonl");
    ChildProcess cli({kCli, "--loop", "--count", "3", "--log", log, "--json", "--station", "bay 3", "--operator",
                      "Ana", "--order", "WO-17", "-p", good.slave, "-p", faulty.slave, "-p", reset.slave, image},
                     m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    ASSERT_TRUE(cli.Wait(90000)) << cli.Err();
    std::string dump = cli.Err() + BoxDump(good) + BoxDump(faulty) + BoxDump(reset);
    for (Box* b : {&good, &faulty, &reset})
        EXPECT_TRUE(b->proc->Wait(10000)) << dump;
    EXPECT_EQ(5, cli.ExitCode()) << dump;
    for (Box* b : {&good, &faulty, &reset})
        EXPECT_EQ(0, b->proc->ExitCode()) << dump;

    // One record per box, in the log and live on stdout alike.
    const std::string logText = ReadFile(log);
    EXPECT_EQ(logText, cli.Out()) << "stdout follows the log";
    auto recs = JsonLines(logText);
    ASSERT_EQ(10u, recs.size()) << logText;
    const std::string sha = Sha256Of(image);
    ASSERT_EQ(64u, sha.size());
    std::map<std::string, std::vector<std::string>> results;
    double seq = 0;
    for (auto& r : recs) {
        EXPECT_EQ(++seq, r["seq"].number) << "one more per record";
        EXPECT_EQ(r["run_id"].text + "-" + std::to_string(static_cast<int>(seq)), r["id"].text);
        results[r["port"].text].push_back(r["result"].text);
        EXPECT_EQ(static_cast<double>(results[r["port"].text].size()), r["box"].number);
        EXPECT_EQ(2, r["schema"].number);
        EXPECT_EQ(12288, r["file_size"].number);
        EXPECT_EQ(sha, r["image_sha256"].text) << "every box of the run is served one image";
        EXPECT_EQ("bay 3|Ana|WO-17", r["station"].text + "|" + r["operator"].text + "|" + r["order"].text);
        if (r["result"].text == "size_over") {
            EXPECT_TRUE(Has(r["detail"].text, "past the end of the 12288-byte image")) << r["detail"].text;
        }
        if (r["result"].text == "completed") {
            EXPECT_EQ(sha, r["sha256"].text) << "the box got the image";
            EXPECT_EQ(12288, r["bytes_requested"].number);
            EXPECT_EQ(0, r["exit_code"].number);
        }
        EXPECT_TRUE(std::regex_match(r["start"].text, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
            << r["start"].text;
    }
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"completed", "completed", "completed"}), results[good.slave]);
    EXPECT_EQ((V{"completed", "size_over", "completed"}), results[faulty.slave]);
    EXPECT_EQ((V{"restarted", "completed", "completed", "completed"}), results[reset.slave]);

    // The tallies per port and the total.
    std::vector<std::string> lines = Lines(cli.Err());
    auto header = std::find_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("PORT ", 0) == 0; });
    ASSERT_NE(lines.end(), header) << cli.Err();
    EXPECT_TRUE(Has(*header, "BOXES") && Has(*header, "COMPLETED") && Has(*header, "FAILED"));
    ASSERT_GE(lines.end() - header, 5);
    // Every box in exactly one column: completed, failed, restarted,
    // interrupted.
    EXPECT_TRUE(std::regex_search(header[4], std::regex(R"(^TOTAL\s+10\s+8\s+1\s+1\s+0\s)"))) << header[4];
    EXPECT_TRUE(Has(header[2], "Completely Transfered!")) << "the summary speaks the status texts: " << header[2];
}

TEST_F(CliStation, LogOutlivesKillNine)
{
    // Boxes paced to a real line; the tool dies with no chance to clean up
    // once two boxes are on record.
    const std::string image = MakeImage("image.wzb", 4096, 19);
    Box box;
    StartBox(box, "box", {"--expect", image, "--boxes", "20", "--box-pause", "100", "--baud", "115200"});
    const std::string log = m_Dir.File("shift.jsonl");
    ChildProcess cli({kCli, "--loop", "--log", log, "-p", box.slave, image}, m_Dir.File("cli.out"),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Count(ReadFile(log), "\n") >= 2; }, 30000)) << cli.Err();
    cli.Kill();
    ASSERT_TRUE(cli.Wait(5000));
    const std::string text = ReadFile(log);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back()) << "no torn line";
    auto recs = JsonLines(text);
    EXPECT_GE(recs.size(), 2u);
    for (auto& r : recs)
        EXPECT_EQ("completed", r["result"].text);
}

TEST_F(CliStation, AnAdapterGoneWithNoBoxIsNoBoxAndAGreetingAgainIsTheSameBox)
{
    // The port (a link, as by-id names are) first leads to a line with no
    // box, which goes away: no record, not counted. Then a box that greets
    // again in the middle and carries on, and a plain one: two boxes, both
    // whole, one record each.
    const std::string image = MakeImage("image.wzb", 4096, 20);
    const std::string link = m_Dir.File("bay0");
    auto idle = std::make_unique<PtyPair>();
    ASSERT_TRUE(idle->Ok());
    ASSERT_EQ(0, ::symlink(idle->SlavePath().c_str(), link.c_str()));
    const std::string log = m_Dir.File("shift.jsonl");
    ChildProcess cli({kCli, "--loop", "--count", "2", "--require-full", "--log", log, "-p", link, image},
                     m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Has(cli.Out(), "Waiting For Request."); }, 10000)) << cli.Out();
    idle.reset();
    ASSERT_TRUE(WaitUntil([&] { return Has(cli.Out(), "Waiting for the port to come back."); }, 10000))
        << cli.Out();
    ASSERT_EQ(0, ::unlink(link.c_str()));
    Box box;
    StartBox(box, "box",
             {"--expect", image, "--link", link, "--boxes", "2", "--fault-box", "1", "--cancel-greeting-at", "5"});
    ASSERT_TRUE(cli.Wait(60000)) << cli.Out() << cli.Err();
    EXPECT_EQ(0, cli.ExitCode()) << cli.Out() << cli.Err() << BoxDump(box);
    auto recs = JsonLines(ReadFile(log));
    ASSERT_EQ(2u, recs.size()) << ReadFile(log);
    for (auto& r : recs) {
        EXPECT_EQ("completed", r["result"].text);
        EXPECT_EQ(4096, r["bytes_requested"].number);
        EXPECT_EQ(link, r["port"].text) << "the port as named, absolute";
    }
    EXPECT_EQ(1, recs[0]["regreetings"].number);
    EXPECT_EQ(0, recs[1]["regreetings"].number);
}

TEST_F(CliStation, AReaderThatStopsReadingHoldsNeitherThePortsNorTheEnd)
{
    // --json goes to a pipe nobody reads: the boxes go on and are on
    // record, and a signal still ends the run, as interrupted.
    const std::string image = MakeImage("image.wzb", 1024, 21);
    Box box;
    StartBox(box, "box", {"--expect", image, "--boxes", "40", "--box-pause", "20"});
    const std::string pipe = m_Dir.File("stdout.fifo");
    ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ::fcntl(reader, F_SETPIPE_SZ, 4096);  // full after a few records
    const std::string log = m_Dir.File("shift.jsonl");
    ChildProcess cli({kCli, "--loop", "--json", "--log", log, "-p", box.slave, image}, pipe, m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Count(ReadFile(log), "\n") >= 12; }, 60000))
        << "the boxes stopped with stdout\n" << cli.Err();
    cli.Signal(SIGTERM);
    const bool ended = cli.Wait(20000);
    ::close(reader);
    ASSERT_TRUE(ended) << cli.Err();
    EXPECT_EQ(130, cli.ExitCode()) << "some boxes completed, but the run was ended\n" << cli.Err();
    const std::string text = ReadFile(log);
    EXPECT_EQ('\n', text.back());
    for (auto& r : JsonLines(text))
        EXPECT_NE("", r["result"].text);
}

TEST_F(CliStation, AdaptersThatAppearUnderAPatternJoinTheShift)
{
    // A pattern over a folder of the line's own names, empty at the start:
    // each box linked under it while the shift runs is served, with a line
    // and records of its own.
    const std::string image = MakeImage("image.wzb", 2048, 22);
    ASSERT_EQ(0, ::mkdir(m_Dir.File("line").c_str(), 0755));
    const std::string log = m_Dir.File("shift.jsonl");
    ChildProcess cli({kCli, "--loop", "--log", log, "-p", m_Dir.File("line/bay*"), image}, m_Dir.File("cli.out"),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Has(cli.Err(), "no port matches"); }, 10000)) << cli.Err();
    Box a, b;
    StartBox(a, "a", {"--expect", image, "--link", m_Dir.File("line/bay0")});
    ASSERT_TRUE(WaitUntil([&] { return Count(ReadFile(log), "\n") == 1; }, 20000)) << cli.Out() << cli.Err();
    StartBox(b, "b", {"--expect", image, "--link", m_Dir.File("line/bay1")});
    ASSERT_TRUE(WaitUntil([&] { return Count(ReadFile(log), "\n") == 2; }, 20000)) << cli.Out() << cli.Err();
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.Wait(20000)) << cli.Err();
    EXPECT_EQ(130, cli.ExitCode());
    std::set<std::string> ports;
    for (auto& r : JsonLines(ReadFile(log))) {
        EXPECT_EQ("completed", r["result"].text);
        ports.insert(r["port"].text);
    }
    EXPECT_EQ((std::set<std::string>{m_Dir.File("line/bay0"), m_Dir.File("line/bay1")}), ports);
}

TEST_F(CliStation, APortThatKeepsFailingIsSetAsideUntilReturned)
{
    // One failure sets the port aside: the next box is not served until
    // SIGUSR1 returns the port; then, set aside again, replugging its
    // adapter (the link leads to a new line) returns it.
    const std::string image = MakeImage("image.wzb", 2048, 23);
    const std::string link = m_Dir.File("bay0");
    Box first;
    StartBox(first, "first", {"--expect", image, "--link", link, "--boxes", "2", "--fault-box", "1", "--past-end"});
    const std::string log = m_Dir.File("shift.jsonl");
    ChildProcess cli({kCli, "--loop", "--max-failures", "1", "--log", log, "-p", link, image}, m_Dir.File("cli.out"),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Has(cli.Out(), "Set aside: 1 failure in a row."); }, 20000)) << cli.Out();
    EXPECT_EQ(1u, Count(ReadFile(log), "\n")) << "the next box waits";
    cli.Signal(SIGUSR1);
    ASSERT_TRUE(WaitUntil([&] { return Count(ReadFile(log), "\n") == 2; }, 20000)) << cli.Out() << cli.Err();
    EXPECT_TRUE(Has(cli.Out(), "Back in service.")) << cli.Out();
    ASSERT_TRUE(first.proc->Wait(20000)) << BoxDump(first);

    Box second;
    StartBox(second, "second", {"--expect", image, "--link", link, "--fault-box", "1", "--past-end"});
    ASSERT_TRUE(WaitUntil([&] { return Count(cli.Out(), "Set aside:") == 2; }, 20000)) << cli.Out();
    second.proc->Kill();
    second.proc->Wait(5000);
    ::unlink(link.c_str());
    ASSERT_TRUE(WaitUntil([&] { return Has(cli.Out(), "adapter unplugged"); }, 10000)) << cli.Out();
    Box third;
    StartBox(third, "third", {"--expect", image, "--link", link});
    ASSERT_TRUE(WaitUntil([&] { return Count(ReadFile(log), "\n") == 4; }, 30000)) << cli.Out() << cli.Err();
    cli.Signal(SIGTERM);
    ASSERT_TRUE(cli.Wait(20000));
    std::vector<std::string> results;
    for (auto& r : JsonLines(ReadFile(log)))
        results.push_back(r["result"].text);
    EXPECT_EQ((std::vector<std::string>{"size_over", "completed", "size_over", "completed"}), results);
}
