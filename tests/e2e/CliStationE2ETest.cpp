// The command-line downloader as a flashing station: many box simulators on
// pseudo-terminals served by one run, the wire trace, the JSON records,
// stable port names and the per-port board on a terminal.
#include "CliStationFixture.h"

#include <algorithm>
#include <csignal>
#include <regex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace station;

TEST_F(CliStation, EightBoxesAtOnceOneFaulty)
{
    const std::string image = MakeImage("image.wzb", 64 * 1024, 11);
    const int kBoxes = 8;
    const int kFaulty = 4;
    std::vector<Box> boxes(kBoxes);
    std::vector<std::string> argv = {kCli};
    for (int i = 0; i < kBoxes; ++i) {
        std::vector<std::string> args = {"--expect", image, "--reply-timeout", "3000"};
        if (i == kFaulty)
            args.push_back("--past-end");
        if (i % 3 == 1)
            args.push_back("--time");
        StartBox(boxes[i], "box" + std::to_string(i), args);
        argv.push_back("--port");
        argv.push_back(boxes[i].slave);
    }
    const std::string trace = m_Dir.File("trace.log");
    argv.insert(argv.end(), {"--trace", trace, image});

    ChildProcess cli(argv, m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    ASSERT_TRUE(cli.Wait(60000)) << cli.Out() << cli.Err();
    std::string dump = cli.Out() + cli.Err();
    for (auto& b : boxes) {
        EXPECT_TRUE(b.proc->Wait(10000));
        dump += BoxDump(b);
    }

    // A failed port makes the run fail; the size error is the only one.
    EXPECT_EQ(5, cli.ExitCode()) << dump;

    // Every box checked what it got against the image; the faulty one also
    // checked that its request past the end went unanswered.
    for (int i = 0; i < kBoxes; ++i) {
        EXPECT_EQ(0, boxes[i].proc->ExitCode()) << BoxDump(boxes[i]);
        if (i != kFaulty) {
            EXPECT_EQ(ReadFile(image), ReadFile(boxes[i].out)) << "box " << i;
        }
    }

    // Plain lines, each with its port; then the summary: a row per port.
    const std::string out = cli.Out();
    std::vector<std::string> lines = Lines(out);
    auto header = std::find_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("PORT ", 0) == 0; });
    ASSERT_NE(lines.end(), header) << out;
    EXPECT_TRUE(Has(*header, "RESULT") && Has(*header, "BYTES") && Has(*header, "TIME") && Has(*header, "RATE"));
    ASSERT_EQ(kBoxes, lines.end() - header - 1) << out;
    for (int i = 0; i < kBoxes; ++i) {
        const std::string& row = header[1 + i];
        SCOPED_TRACE(row);
        EXPECT_EQ(0u, row.find(boxes[i].slave + " "));
        if (i == kFaulty) {
            EXPECT_TRUE(Has(row, "Error : File size is over."));
        } else {
            EXPECT_TRUE(Has(row, "Completely Transfered!"));
            EXPECT_TRUE(Has(row, " 65536 "));
            EXPECT_TRUE(Has(row, "KiB/s") || Has(row, "MiB/s"));
        }
        const std::string prefix = "[" + boxes[i].slave + "] ";
        EXPECT_TRUE(Has(out, prefix + "Waiting For Request. Reset SetTop Box."));
        EXPECT_TRUE(Has(out, prefix + (i == kFaulty ? "Error : File size is over." : "Completely Transfered!")));
    }
    EXPECT_EQ(size_t(kBoxes - 1), Count(out, "] Completely Transfered!")) << out;
    for (const auto& line : std::vector<std::string>(lines.begin(), header))
        EXPECT_TRUE(line.empty() || line[0] == '[') << line;

    // One trace per port, named after it, each for its own port only.
    for (int i = 0; i < kBoxes; ++i) {
        std::string t = ReadFile(trace + "." + Basename(boxes[i].slave));
        SCOPED_TRACE(boxes[i].slave);
        EXPECT_TRUE(Has(t, "# port " + boxes[i].slave + ",")) << t.substr(0, 200);
        EXPECT_TRUE(Has(t, i == kFaulty ? "(size_over)" : "(completed)"));
        EXPECT_EQ(i == kFaulty ? 257u : 258u, Count(t, " DATA      len=")) << "data replies";
    }
}

TEST_F(CliStation, JsonRecordsAndAPortThatIsNotThere)
{
    const std::string image = MakeImage("image.wzb", 64 * 1024, 12);
    Box good, pastEnd;
    StartBox(good, "good", {"--expect", image, "--time", "--bad-checksum-at", "3", "--reply-timeout", "400"});
    StartBox(pastEnd, "pastend", {"--expect", image, "--past-end", "--reply-timeout", "3000"});
    const std::string missing = "/nonexistent/ttyZV7";

    ChildProcess cli({kCli, "--json", "--speed", "921600", "--port", good.slave, "--port", missing, "--port",
                      pastEnd.slave, image},
                     m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    ASSERT_TRUE(cli.Wait(30000)) << cli.Err();
    EXPECT_TRUE(good.proc->Wait(10000));
    EXPECT_TRUE(pastEnd.proc->Wait(10000));
    const std::string dump = cli.Out() + cli.Err() + BoxDump(good) + BoxDump(pastEnd);
    EXPECT_EQ(0, good.proc->ExitCode()) << dump;
    EXPECT_EQ(0, pastEnd.proc->ExitCode()) << dump;

    // A port that cannot be opened weighs more than a transfer error.
    EXPECT_EQ(4, cli.ExitCode()) << dump;

    // stdout holds the records only, one per port in the order given; the
    // human output, summary included, went to stderr.
    std::vector<std::string> lines = Lines(cli.Out());
    ASSERT_EQ(3u, lines.size()) << dump;
    EXPECT_TRUE(Has(cli.Err(), "PORT ")) << dump;
    EXPECT_TRUE(Has(cli.Err(), "[" + good.slave + "] Completely Transfered!")) << dump;

    std::vector<std::map<std::string, MiniJson::Value>> rec(3);
    for (size_t i = 0; i < 3; ++i) {
        std::string error;
        ASSERT_TRUE(MiniJson::ParseObject(lines[i], rec[i], error)) << error;
        for (const char* key : {"port", "file", "result", "status", "detail"})
            EXPECT_EQ(MiniJson::Value::String, rec[i][key].kind) << key << " in " << lines[i];
        for (const char* key : {"speed", "file_size", "exit_code", "bytes_served", "blocks", "requests",
                                "bad_frames", "elapsed", "transfer_seconds"})
            EXPECT_EQ(MiniJson::Value::Number, rec[i][key].kind) << key << " in " << lines[i];
        EXPECT_EQ(41u, rec[i].size()) << lines[i];
        EXPECT_EQ(image, rec[i]["file"].text);
        EXPECT_EQ(921600, rec[i]["speed"].number);
        EXPECT_EQ(65536, rec[i]["file_size"].number);
    }

    auto& ok = rec[0];
    EXPECT_EQ(good.slave, ok["port"].text);
    EXPECT_EQ("completed", ok["result"].text);
    EXPECT_EQ(0, ok["exit_code"].number);
    EXPECT_EQ("Completely Transfered!", ok["status"].text);
    EXPECT_EQ("", ok["detail"].text);
    EXPECT_EQ(65536, ok["bytes_served"].number);
    EXPECT_EQ(258, ok["blocks"].number);
    // hello, time, 258 blocks, done; the request with the wrong checksum
    // is a bad frame, not a request
    EXPECT_GE(ok["requests"].number, 261);
    EXPECT_EQ(1, ok["bad_frames"].number);
    EXPECT_GT(ok["transfer_seconds"].number, 0);
    EXPECT_GE(ok["elapsed"].number, ok["transfer_seconds"].number);

    auto& gone = rec[1];
    EXPECT_EQ(missing, gone["port"].text);
    EXPECT_EQ("port_error", gone["result"].text);
    EXPECT_EQ(4, gone["exit_code"].number);
    EXPECT_EQ("Initializing Failed!", gone["status"].text);
    EXPECT_FALSE(gone["detail"].text.empty());
    EXPECT_EQ(0, gone["bytes_served"].number);
    EXPECT_EQ(0, gone["transfer_seconds"].number);

    auto& over = rec[2];
    EXPECT_EQ(pastEnd.slave, over["port"].text);
    EXPECT_EQ("size_over", over["result"].text);
    EXPECT_EQ(5, over["exit_code"].number);
    EXPECT_EQ("Error : File size is over.", over["status"].text);
    EXPECT_LT(over["bytes_served"].number, 65536);
    EXPECT_GT(over["bytes_served"].number, 60000);
    EXPECT_EQ(0, over["bad_frames"].number);
}

TEST_F(CliStation, TraceShowsEveryFrameChecksumsAndGarbage)
{
    const std::string image = MakeImage("image.wzb", 8 * 1024, 13);
    Box box;
    StartBox(box, "box", {"--expect", image, "--time", "--noise-before", "3", "--bad-checksum-at", "4",
                          "--reply-timeout", "400"});
    const std::string trace = m_Dir.File("wire.trace");
    ChildProcess cli({kCli, "--port", box.slave, "--trace", trace, image}, m_Dir.File("cli.out"),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(cli.Wait(30000)) << cli.Out() << cli.Err();
    EXPECT_TRUE(box.proc->Wait(10000));
    EXPECT_EQ(0, cli.ExitCode()) << cli.Out() << cli.Err();
    EXPECT_EQ(0, box.proc->ExitCode()) << BoxDump(box);

    const std::string t = ReadFile(trace);
    std::vector<std::string> lines = Lines(t);
    ASSERT_GT(lines.size(), 10u) << t;
    const std::regex frame(R"(^ *(\d+\.\d{6}) ([<>]) tag=([0-9a-f]{2}) (\S+) +len=(\d+) +(ok|BAD)(( +[0-9a-f]{2}( [0-9a-f]{2}){0,15}( \.\.\.)?)?)(  \(checksum [0-9a-f]{2}, computed [0-9a-f]{2}\))?$)");
    const std::regex garbage(R"(^ *(\d+\.\d{6}) < garbage (\d+) bytes skipped$)");

    double last = 0;
    size_t received = 0, garbageLines = 0, bad = 0, dataReplies = 0;
    std::map<std::string, size_t> types;
    std::string lastRequestTag, lastRequestType;
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        if (line.rfind("# ", 0) == 0)
            continue;
        std::smatch m;
        if (std::regex_match(line, m, garbage)) {
            // Three bytes of noise before every frame, no more, no less.
            EXPECT_EQ("3", m[2].str());
            ++garbageLines;
        } else {
            ASSERT_TRUE(std::regex_match(line, m, frame));
            std::string dir = m[2], tag = m[3], type = m[4], verdict = m[6];
            types[dir + type]++;
            if (dir == "<") {
                // The noise before the very first hello may come while the
                // host is still opening the port, whose input flush then
                // takes it away with no trace of it.
                if (received == 0 && garbageLines == 0 && type == "HELLO")
                    ++garbageLines;
                ++received;
                if (verdict == "BAD") {
                    ++bad;
                    EXPECT_EQ("DATA_REQ", type);
                } else {
                    lastRequestTag = tag;
                    lastRequestType = type;
                }
            } else {
                // Our frames are always right, and answer the request before.
                EXPECT_EQ("ok", verdict);
                EXPECT_EQ(lastRequestTag, tag);
                if (type == "DATA") {
                    EXPECT_EQ("DATA_REQ", lastRequestType);
                    ++dataReplies;
                }
                if (type == "TIME") {
                    EXPECT_EQ("TIME_REQ", lastRequestType);
                    EXPECT_EQ("5", m[5].str());
                }
            }
        }
        double at = std::stod(m[1]);
        EXPECT_GE(at, last);
        last = at;
    }
    EXPECT_EQ(1u, bad);
    EXPECT_EQ(received, garbageLines);
    EXPECT_EQ(33u, dataReplies);  // 8192 bytes in blocks of 255
    EXPECT_GE(types["<HELLO"], 1u);
    EXPECT_EQ(types["<HELLO"], types[">HELLO_ACK"]);
    EXPECT_EQ(1u, types["<TIME_REQ"]);
    EXPECT_EQ(1u, types[">TIME"]);
    EXPECT_EQ(34u, types["<DATA_REQ"]);  // 33, and the one first sent with a bad checksum
    EXPECT_EQ(1u, types["<DONE"]);
    EXPECT_TRUE(Has(t, "(completed)"));
}

TEST_F(CliStation, StableNamesPatternsAndTheSamePortTwice)
{
    const std::string image = MakeImage("image.wzb", 16 * 1024, 14);
    const std::string byId = m_Dir.File("serial/by-id");
    ASSERT_EQ(0, ::mkdir(m_Dir.File("serial").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(byId.c_str(), 0755));
    const std::string link = byId + "/usb-ZV_Box_0001-if00-port0";
    Box box;
    StartBox(box, "box", {"--expect", image, "--link", link});

    // The stable name through a pattern, and the device it points at by its
    // own name: one port, served once.
    ChildProcess cli({kCli, "--port", byId + "/usb-ZV_*", "--port", box.slave, image}, m_Dir.File("cli.out"),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(cli.Wait(30000)) << cli.Out() << cli.Err();
    EXPECT_TRUE(box.proc->Wait(10000));
    EXPECT_EQ(0, cli.ExitCode()) << cli.Out() << cli.Err();
    EXPECT_EQ(0, box.proc->ExitCode()) << BoxDump(box);
    EXPECT_TRUE(Has(cli.Out(), "on " + link + " at 115200 baud.")) << cli.Out();
    EXPECT_TRUE(Has(cli.Out(), "Completely Transfered!")) << cli.Out();
    EXPECT_TRUE(Has(cli.Err(), box.slave + " is the same port as " + link)) << cli.Err();
    EXPECT_EQ(ReadFile(image), ReadFile(box.out));

    auto run = [&](const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
        std::vector<std::string> argv = {kCli};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess c(argv, m_Dir.File("run.out"), m_Dir.File("run.err"));
        EXPECT_TRUE(c.Wait(10000));
        c.Kill();
        if (out)
            *out = c.Out();
        if (err)
            *err = c.Err();
        return c.ExitCode();
    };
    std::string out, err;
    // A pattern that matches nothing is no port at all.
    EXPECT_EQ(4, run({"--port", byId + "/usb-NONE*", image}, nullptr, &err));
    EXPECT_TRUE(Has(err, "no port matches")) << err;
    // The trace file is checked before any port is opened.
    EXPECT_EQ(2, run({"--port", "/nonexistent/ttyZV0", "--trace", m_Dir.File("no/such/dir/t.log"), image},
                     nullptr, &err));
    EXPECT_TRUE(Has(err, "cannot write trace")) << err;
    EXPECT_EQ(2, run({"--list-ports", image}));
    EXPECT_EQ(2, run({"--speed", "1000000", image}));
    EXPECT_EQ(2, run({"--json=1", image}));
    // No output may be the served file (or a link to it) or a port; the
    // image is left whole.
    const std::string alias = m_Dir.File("alias.wzb");
    ASSERT_EQ(0, ::symlink(image.c_str(), alias.c_str()));
    for (const std::string& out : {image, alias}) {
        EXPECT_EQ(2, run({"--port", box.slave, "--trace", out, image}, nullptr, &err));
        EXPECT_TRUE(Has(err, "is the served file " + image)) << err;
    }
    EXPECT_EQ(2, run({"--port", box.slave, "--log", box.slave, image}, nullptr, &err));
    EXPECT_TRUE(Has(err, "is the port")) << err;
    EXPECT_EQ(ReadFile(box.out), ReadFile(image));
    // A run that fails before any port still gives a script its JSON.
    EXPECT_EQ(3, run({"--json", "--port", box.slave, "-p", "/dev/ttyZV9", m_Dir.File("missing.wzb")}, &out));
    auto recs = JsonLines(out);
    ASSERT_EQ(2u, recs.size()) << out;
    EXPECT_EQ("file_error", recs[0]["result"].text);
    EXPECT_EQ(3, recs[1]["exit_code"].number);
    EXPECT_EQ(0u, recs[0]["start"].text.rfind("20", 0)) << "the time of the run: " << recs[0]["start"].text;
    // Another build than the approved one does not start, naming both.
    const std::string approved(64, 'a');
    EXPECT_EQ(3, run({"--expect-sha256", approved, "--port", box.slave, image}, nullptr, &err));
    EXPECT_TRUE(Has(err, Sha256Of(image) + " is not the approved " + approved)) << err;
    // A FIFO as the image is said to be one, and never opened (it would block).
    const std::string fifo = m_Dir.File("fifo.wzb");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(3, run({"--port", box.slave, fifo}, nullptr, &err));
    EXPECT_TRUE(Has(err, "is a named pipe (FIFO)")) << err;
    EXPECT_EQ(4, run({"--json", "--port", byId + "/usb-NONE*", image}, &out));
    recs = JsonLines(out);
    ASSERT_EQ(1u, recs.size()) << out;
    EXPECT_EQ("port_error", recs[0]["result"].text);

    // A port in use is refused, naming who holds it, and let go after a
    // run: the next one opens it. No box greets within the wait: no_box.
    PtyPair idle;
    ASSERT_TRUE(idle.Ok());
    {
        ChildProcess holder({kCli, "--port", idle.SlavePath(), image}, m_Dir.File("h.out"), m_Dir.File("h.err"));
        ASSERT_TRUE(WaitUntil([&] { return Has(holder.Out(), "Waiting For Request."); }, 10000)) << holder.Err();
        EXPECT_EQ(4, run({"--port", idle.SlavePath(), image}, nullptr, &err));
        EXPECT_TRUE(Has(err, "in use") && Has(err, std::to_string(holder.Pid()))) << err;
        holder.Signal(SIGTERM);
        EXPECT_TRUE(holder.Wait(5000));
        EXPECT_EQ(130, holder.ExitCode());
    }
    EXPECT_EQ(6, run({"--json", "--port", idle.SlavePath(), "--wait-timeout", "0.5", image}, &out));
    recs = JsonLines(out);
    ASSERT_EQ(1u, recs.size()) << out;
    EXPECT_EQ("no_box", recs[0]["result"].text);

    // The high speeds are taken (the missing port is what fails then).
    EXPECT_EQ(4, run({"--speed", "460800", "--port", "/nonexistent/ttyZV0", image}));
    EXPECT_EQ(4, run({"--speed=230400", "--port", "/nonexistent/ttyZV0", image}));

    // The real machine's list: whatever is there, well-formed.
    EXPECT_EQ(0, run({"--list-ports", "--json"}, &out));
    for (const std::string& line : Lines(out)) {
        std::map<std::string, MiniJson::Value> rec;
        std::string error;
        EXPECT_TRUE(MiniJson::ParseObject(line, rec, error)) << error;
        EXPECT_EQ(0u, rec["port"].text.rfind("/dev/tty", 0)) << line;
    }
    EXPECT_EQ(0, run({"--list-ports"}, &out));
    for (const std::string& line : Lines(out))
        EXPECT_EQ(0u, line.rfind("/dev/tty", 0)) << line;
    std::string help;
    EXPECT_EQ(0, run({"--help"}, &help));
    EXPECT_TRUE(Has(help, "--list-ports") && Has(help, "921600") && Has(help, "bytes_served")) << help;
    // Every result a record can carry, and what a pattern really is.
    EXPECT_TRUE(Has(help, "usage_error, not_served") && Has(help, "is a file-system glob")) << help;
}

TEST_F(CliStation, NoPortNamedSaysWhichDefaultItTried)
{
    struct stat st;
    if (::stat("/dev/ttyUSB0", &st) == 0)
        GTEST_SKIP() << "this machine has a /dev/ttyUSB0, the default port";
    const std::string image = MakeImage("image.wzb", 1024, 15);
    ChildProcess cli({"/usr/bin/env", "-u", "ZURIVAVAVE_PORT", kCli, "--json", image}, m_Dir.File("cli.out"),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(cli.Wait(10000));
    EXPECT_EQ(4, cli.ExitCode());
    EXPECT_EQ("zurivavave-cli: no --port and no ZURIVAVAVE_PORT given, so the default port /dev/ttyUSB0 was tried: "
              "it does not exist (Initializing Failed!)\n"
              "zurivavave-cli: 'zurivavave-cli --list-ports' shows the serial ports present; name one with --port "
              "PORT or ZURIVAVAVE_PORT=PORT\n",
              cli.Err());
    auto recs = JsonLines(cli.Out());
    ASSERT_EQ(1u, recs.size()) << cli.Out();
    EXPECT_EQ("/dev/ttyUSB0", recs[0]["port"].text);
    EXPECT_EQ("port_error", recs[0]["result"].text);
    EXPECT_TRUE(Has(recs[0]["detail"].text, "--list-ports")) << cli.Out();
}

TEST_F(CliStation, OneLinePerPortOnATerminal)
{
    const std::string image = MakeImage("image.wzb", 32 * 1024, 15);
    Box a, b;
    StartBox(a, "a", {"--expect", image});
    StartBox(b, "b", {"--expect", image, "--time"});
    PtyPair terminal;
    ASSERT_TRUE(terminal.Ok());

    // stdout on a terminal; the board is drawn there.
    ChildProcess cli({kCli, "--port", a.slave, "--port", b.slave, image}, terminal.SlavePath(),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(cli.Started());
    std::string screen;
    bool ended = WaitUntil(
        [&] {
            std::vector<unsigned char> got = terminal.ReadMaster(1 << 16, 20);
            screen.append(got.begin(), got.end());
            return cli.Wait(0);
        },
        30000);
    std::vector<unsigned char> rest = terminal.ReadMaster(1 << 16, 200);
    screen.append(rest.begin(), rest.end());
    ASSERT_TRUE(ended) << screen << cli.Err();
    EXPECT_TRUE(a.proc->Wait(10000));
    EXPECT_TRUE(b.proc->Wait(10000));
    EXPECT_EQ(0, cli.ExitCode()) << screen << cli.Err();

    // Redrawn in place: the cursor goes back up over both port lines, each
    // line is cleared to its end, and no line is printed with a "[port]"
    // prefix followed by a status as on a pipe.
    EXPECT_GE(Count(screen, "\033[2A"), 2u) << screen;
    EXPECT_TRUE(Has(screen, "\033[K")) << screen;
    EXPECT_TRUE(Has(screen, "[" + a.slave + "]")) << screen;
    EXPECT_TRUE(Has(screen, "[" + b.slave + "]")) << screen;
    EXPECT_FALSE(Has(screen, "Progress ")) << screen;
    // The last drawing shows both finished, then the summary follows.
    size_t lastUp = screen.rfind("\033[2A");
    ASSERT_NE(std::string::npos, lastUp);
    size_t summary = screen.find("PORT ", lastUp);
    ASSERT_NE(std::string::npos, summary) << screen.substr(lastUp);
    std::string board = screen.substr(lastUp, summary - lastUp);
    // Completed in green, and lined up once the colour is taken away.
    EXPECT_EQ(2u, Count(board, "\033[32mCompletely Transfered!\033[0m")) << board;
    const std::string plain = std::regex_replace(board, std::regex("\033\\[[0-9;]*m"), "");
    EXPECT_EQ(2u, Count(plain, "Completely Transfered!      100%")) << plain;
    EXPECT_EQ(2u, Count(screen.substr(summary), "Completely Transfered!")) << screen.substr(summary);
}

TEST_F(CliStation, AnUnpluggedBoxLeavesTheOthersBe)
{
    // Paced to a real line so both transfers are under way when one box
    // goes; traced, so the trace's own path through the port is covered.
    const std::string image = MakeImage("image.wzb", 24 * 1024, 16);
    Box victim, survivor;
    StartBox(victim, "victim", {"--expect", image, "--baud", "115200"});
    StartBox(survivor, "survivor", {"--expect", image, "--baud", "115200"});
    const std::string trace = m_Dir.File("t.log");
    ChildProcess cli({kCli, "--port", victim.slave, "--port", survivor.slave, "--trace", trace, image},
                     m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Has(cli.Out(), "[" + victim.slave + "] Progress  10%"); }, 15000))
        << cli.Out();
    victim.proc->Kill();
    ASSERT_TRUE(cli.Wait(20000)) << cli.Out() << cli.Err();
    EXPECT_TRUE(survivor.proc->Wait(10000));
    const std::string out = cli.Out();
    EXPECT_EQ(5, cli.ExitCode()) << out << cli.Err();
    EXPECT_TRUE(Has(out, "[" + victim.slave + "] Error : Serial port lost.")) << out;
    EXPECT_TRUE(Has(out, "[" + survivor.slave + "] Completely Transfered!")) << out;
    // The survivor was still going when the other port was lost.
    EXPECT_LT(out.find("Error : Serial port lost."), out.find("[" + survivor.slave + "] Progress  90%")) << out;
    EXPECT_EQ(0, survivor.proc->ExitCode()) << BoxDump(survivor);
    EXPECT_EQ(ReadFile(image), ReadFile(survivor.out));
    EXPECT_TRUE(Has(ReadFile(trace + "." + Basename(victim.slave)), "(port_lost)"));
    EXPECT_TRUE(Has(ReadFile(trace + "." + Basename(survivor.slave)), "(completed)"));
}

TEST_F(CliStation, InterruptEndsEveryPort)
{
    const std::string image = MakeImage("image.wzb", 4096, 17);
    PtyPair a, b;  // lines with no box on them
    ASSERT_TRUE(a.Ok() && b.Ok());
    ChildProcess cli({kCli, "--json", "--port", a.SlavePath(), "--port", b.SlavePath(), image},
                     m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    ASSERT_TRUE(WaitUntil([&] { return Count(cli.Err(), "Waiting For Request.") == 2; }, 10000)) << cli.Err();
    // The terminal went away: ends as Ctrl+C does.
    cli.Signal(SIGHUP);
    ASSERT_TRUE(cli.Wait(5000)) << cli.Err();
    EXPECT_EQ(130, cli.ExitCode()) << cli.Err();
    std::vector<std::string> lines = Lines(cli.Out());
    ASSERT_EQ(2u, lines.size()) << cli.Out();
    for (const std::string& line : lines) {
        std::map<std::string, MiniJson::Value> rec;
        std::string error;
        ASSERT_TRUE(MiniJson::ParseObject(line, rec, error)) << error;
        EXPECT_EQ("interrupted", rec["result"].text);
        EXPECT_EQ(130, rec["exit_code"].number);
        EXPECT_EQ("Interrupted.", rec["status"].text);
    }
}

TEST_F(CliStation, ACheckBeforeTheShiftSaysWhatIsWrongAndHowToFixIt)
{
    const std::string image = MakeImage("image.wzb", 4096, 24);
    PtyPair line;
    ASSERT_TRUE(line.Ok());
    std::string out;
    auto check = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kCli, "--check"};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess c(argv, m_Dir.File("check.out"), m_Dir.File("check.err"));
        EXPECT_TRUE(c.Wait(20000));
        out = c.Out();
        return c.ExitCode();
    };
    // All well: the image, a pseudo-terminal (its missing by-id name and
    // latency timer do not apply), the log's folder, the clock.
    EXPECT_EQ(0, check({"-p", line.SlavePath(), "--log", m_Dir.File("shift.jsonl"), "--http", "0", image})) << out;
    EXPECT_TRUE(Has(out, "[ ok ] HTTP http://127.0.0.1:0/: free")) << out;
    EXPECT_TRUE(Has(out, "[ -- ] port " + line.SlavePath() + ": a pseudo-terminal")) << out;
    EXPECT_TRUE(Has(out, "All is well")) << out;
    // A port that is not there, another build than the approved one, a log
    // in a folder that does not exist: each said, with its fix.
    EXPECT_EQ(1, check({"-p", "/nonexistent/ttyZV0", "--expect-sha256", std::string(64, 'a'), "--log",
                        "/nonexistent/dir/shift.jsonl", image}))
        << out;
    EXPECT_EQ(3u, Count(out, "[FAIL]")) << out;
    EXPECT_EQ(3u, Count(out, "fix: ")) << out;
    EXPECT_EQ(0u, Count(out, "[FAIL] port " + line.SlavePath())) << out;
}
