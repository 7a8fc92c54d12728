// More pieces of the command-line downloader on their own: the command
// line, the record every box leaves (JSON, the log that survives a crash),
// the check that keeps outputs off the served file and the ports, the
// count of distinct bytes a box asked for, the shift's report.
#include "E2EUtil.h"
#include "MiniJson.h"

#include "BoxLog.h"
#include "BoxRecord.h"
#include "Console.h"
#include "Coverage.h"
#include "Options.h"
#include "OutputCheck.h"
#include "Report.h"
#include "JsonObjectReader.h"
#include "ShiftReport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// Parses a command line with the given environment.
bool Parse(std::vector<std::string> args, const std::map<std::string, std::string>& env, CliOptions& o,
           std::string& error)
{
    args.insert(args.begin(), "zurivavave-cli");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    return ParseOptions(
        static_cast<int>(argv.size()), argv.data(),
        [&env](const char* name) -> const char* {
            auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        },
        o, error);
}

// A record as the tool writes it.
std::string Record(int box)
{
    BoxRecord r;
    r.box = box;
    r.result = "completed";
    return RecordJson(r, RecordContext());
}

}  // namespace

TEST(CliOptions, ShortFormsEnvironmentAndRejectedValues)
{
    CliOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"-p", "/dev/ttyUSB3", "-b460800", "-q", "fw.wzb"}, {}, o, error)) << error;
    ASSERT_EQ(1u, o.ports.size());
    EXPECT_EQ("/dev/ttyUSB3", o.ports[0].port);
    EXPECT_EQ(460800u, o.speed);
    EXPECT_TRUE(o.quiet);
    ASSERT_TRUE(Parse({"--baud=57600", "fw.wzb"}, {}, o, error)) << error;
    EXPECT_EQ(57600u, o.speed);

    // The environment gives the defaults; the command line wins.
    const std::map<std::string, std::string> env = {{"ZURIVAVAVE_PORT", "/dev/ttyACM1"},
                                                    {"ZURIVAVAVE_SPEED", "38400"}};
    ASSERT_TRUE(Parse({"fw.wzb"}, env, o, error)) << error;
    EXPECT_EQ("/dev/ttyACM1", o.ports.at(0).port);
    EXPECT_EQ(38400u, o.speed);
    ASSERT_TRUE(Parse({"--port", "/dev/ttyUSB0", "-b", "115200", "fw.wzb"}, env, o, error)) << error;
    EXPECT_EQ("/dev/ttyUSB0", o.ports.at(0).port);
    EXPECT_EQ(115200u, o.speed);

    // A rejected value is echoed with what is allowed.
    EXPECT_FALSE(Parse({"--speed", "9600", "fw.wzb"}, {}, o, error));
    EXPECT_EQ("--speed 9600: not one of 19200, 38400, 57600, 115200, 230400, 460800, 921600", error);
    EXPECT_FALSE(Parse({"fw.wzb"}, {{"ZURIVAVAVE_SPEED", "fast"}}, o, error));
    EXPECT_TRUE(Has(error, "ZURIVAVAVE_SPEED=fast: not one of 19200")) << error;
    ASSERT_TRUE(Parse({"-b", "19200", "fw.wzb"}, {{"ZURIVAVAVE_SPEED", "fast"}}, o, error)) << "the command line wins";

    // An image per port; the run's FILE only where a port names none.
    ASSERT_TRUE(Parse({"-p", "/dev/ttyUSB0=a.wzb", "--port=/dev/ttyUSB1=b=1.wzb", "--loop", "--count", "3"}, {},
                      o, error))
        << error;
    ASSERT_EQ(2u, o.ports.size());
    EXPECT_EQ("a.wzb", o.ports[0].file);
    EXPECT_EQ("/dev/ttyUSB1", o.ports[1].port);
    EXPECT_EQ("b=1.wzb", o.ports[1].file);
    EXPECT_EQ(3, o.count);
    EXPECT_FALSE(Parse({"-p", "/dev/ttyUSB0=a.wzb", "-p", "/dev/ttyUSB1"}, {}, o, error));
    EXPECT_EQ("no FILE given", error);
    EXPECT_FALSE(Parse({"-p", "/dev/ttyUSB0=a.wzb", "b.wzb"}, {}, o, error));

    // Options that make sense only together, or not at all.
    EXPECT_FALSE(Parse({"--count", "2", "fw.wzb"}, {}, o, error));
    EXPECT_FALSE(Parse({"--loop", "--wait-timeout", "5", "fw.wzb"}, {}, o, error));
    EXPECT_FALSE(Parse({"--wait-timeout", "0", "fw.wzb"}, {}, o, error));
    EXPECT_FALSE(Parse({"--loop", "--count", "0", "fw.wzb"}, {}, o, error));
    EXPECT_FALSE(Parse({"-x", "fw.wzb"}, {}, o, error));
    EXPECT_FALSE(Parse({"a.wzb", "b.wzb"}, {}, o, error));
    ASSERT_TRUE(Parse({"--list-ports", "-q"}, {}, o, error)) << error;
    EXPECT_TRUE(o.listPorts && o.quiet);
}

TEST(CliRecords, ValidJsonWhateverTheNamesHold)
{
    BoxRecord r;
    r.box = 2;
    r.port = "/dev/tty\"odd\\";
    r.file = std::string("fw\xFF\xFE.wzb\x01");
    r.fileSize = 65536;
    r.addressable = 65536;
    r.requested = 2048;
    r.result = "completed";
    r.exitCode = 0;
    r.status = "Completely Transfered!";
    r.startMs = 1796083200123;  // 2026-12-01T00:00:00.123Z
    r.endMs = r.startMs + 61500;
    r.duration = 4.625;  // by the monotonic clock: a clock step moved the wall end
    RecordContext c;
    c.version = "1.0.4";
    c.host = "bench\xC3";  // cut in the middle of a character
    const std::string j = RecordJson(r, c);
    std::map<std::string, MiniJson::Value> m;
    std::string error;
    ASSERT_TRUE(MiniJson::ParseObject(j, m, error)) << error << "\n" << j;
    EXPECT_EQ(std::string::npos, j.find('\xFF'));
    EXPECT_EQ(std::string::npos, j.find('\xFE'));
    EXPECT_EQ("fw\xEF\xBF\xBD\xEF\xBF\xBD.wzb\x01", m["file"].text) << "each stray byte becomes U+FFFD";
    EXPECT_EQ("bench\xEF\xBF\xBD", m["host"].text);
    EXPECT_EQ("2026-12-01T00:00:00.123Z", m["start"].text);
    EXPECT_EQ("2026-12-01T00:01:01.623Z", m["end"].text);
    EXPECT_DOUBLE_EQ(4.625, m["duration"].number);
    EXPECT_DOUBLE_EQ(3.1, m["requested_percent"].number);
    EXPECT_EQ(2, m["schema"].number);
    // Every key the help text promises is there.
    for (const char* key : {"schema", "tool", "version", "host", "box", "start", "end", "duration", "port",
                            "port_by_id", "usb_serial", "speed", "file", "file_size", "addressable", "sha256",
                            "sha256_bytes", "result", "exit_code", "status", "detail", "bytes_served",
                            "bytes_requested", "requested_percent", "blocks", "requests", "rerequests",
                            "bad_frames", "elapsed", "transfer_seconds", "image_sha256", "image_changed",
                            "regreetings", "seq", "id", "run_id", "station", "operator", "order", "hello",
                            "hello_text"}) {
        EXPECT_NE(MiniJson::Value::Missing, m[key].kind) << key;
        EXPECT_TRUE(Has(RecordSchemaHelp(), key)) << key;
    }

    // A box that was reset does not fail the run: its next record counts.
    auto rec = [](const char* result, int code) {
        BoxRecord b;
        b.result = result;
        b.exitCode = code;
        return b;
    };
    EXPECT_EQ(0, CombinedExitCode({rec("restarted", 5), rec("completed", 0)}));
    EXPECT_EQ(6, CombinedExitCode({rec("completed", 0), rec("no_box", 6), rec("restarted", 5)}));
    EXPECT_EQ(130, CombinedExitCode({rec("size_over", 5), rec("interrupted", 130)}));
}

TEST(CliRecords, DistinctBytesAskedForAndBlocksServedAgain)
{
    CCoverage c;
    EXPECT_EQ(255u, c.Add(0, 255));
    EXPECT_EQ(255u, c.Add(255, 510));  // the next block joins the range
    EXPECT_EQ(0u, c.Add(0, 255));      // asked again: nothing new
    EXPECT_EQ(1u, c.Ranges());
    EXPECT_EQ(10u, c.Add(1000, 1010));
    EXPECT_EQ(2u, c.Ranges());
    EXPECT_EQ(980u, c.Add(505, 1500));  // bridges the gap, overlaps both
    EXPECT_EQ(1u, c.Ranges());
    EXPECT_EQ(1500u, c.Total());
    EXPECT_TRUE(c.Covers(0, 1500));
    EXPECT_FALSE(c.Covers(1499, 1501));
    EXPECT_FALSE(c.Covers(-1, 1));
    EXPECT_EQ(0u, c.Add(7, 7));
}

TEST(CliRecords, LogKeepsOnlyWholeLines)
{
    TempDir dir;
    const std::string path = dir.File("shift.jsonl");
    // Two records, then half of one: the machine went down mid-write.
    const std::string whole = Record(1) + "\n" + Record(2) + "\n";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        std::fputs((whole + Record(3).substr(0, 60)).c_str(), f);
        std::fclose(f);
    }
    std::string error, repaired;
    std::unique_ptr<CBoxLog> log = CBoxLog::Open({path, "--log"}, {}, error, repaired);
    ASSERT_TRUE(log) << error;
    EXPECT_TRUE(Has(repaired, "partial")) << repaired;
    ASSERT_TRUE(log->Append(Record(4), error)) << error;
    log.reset();
    EXPECT_EQ(whole + Record(4) + "\n", ReadFile(path));

    // A log that is the served file is refused and left as it was.
    const std::string image = dir.File("fw.wzb");
    WriteFile(image, RandomBytes(70000, 3));
    log = CBoxLog::Open({image, "--log"}, {{image, "the served file"}}, error, repaired);
    EXPECT_FALSE(log);
    EXPECT_EQ(70000u, ReadFile(image).size());
}

TEST(CliRecords, ATornLineIsCutOnlyFromOurOwnLog)
{
    TempDir dir;
    // An image whose end is no line at all, and text with whole lines:
    // neither is a record log, and neither loses a byte.
    std::vector<unsigned char> bytes = RandomBytes(70000, 5);
    bytes.back() = 'x';
    const std::string image = dir.File("other.wzb"), notes = dir.File("notes.txt");
    WriteFile(image, bytes);
    WriteFile(notes, {'o', 'k', '\n'});
    std::string error, repaired;
    for (const std::string& path : {image, notes}) {
        const std::string before = ReadFile(path);
        EXPECT_FALSE(CBoxLog::Open({path, "--log"}, {}, error, repaired)) << path;
        EXPECT_TRUE(Has(error, "not a record log")) << error;
        EXPECT_EQ(before, ReadFile(path));
    }
}

TEST(CliRecords, AFailedAppendIsUndoneAndEndsTheLog)
{
    TempDir dir;
    const std::string path = dir.File("shift.jsonl");
    std::string error, repaired;
    std::unique_ptr<CBoxLog> log = CBoxLog::Open({path, "--log"}, {}, error, repaired);
    ASSERT_TRUE(log) << error;
    ASSERT_TRUE(log->Append(Record(1), error)) << error;
    const std::string kept = ReadFile(path);

    // The next record's write stops part-way, as on a full disk: a file
    // size limit 100 bytes on makes it fail with EFBIG after those bytes.
    struct rlimit old;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(kept.size() + 100);
    void (*was)(int) = std::signal(SIGXFSZ, SIG_IGN);
    const int limited = ::setrlimit(RLIMIT_FSIZE, &low);
    const bool appended = log->Append(Record(2), error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, was);
    ASSERT_EQ(0, limited);
    EXPECT_FALSE(appended);
    EXPECT_TRUE(Has(error, "cut back")) << error;
    EXPECT_EQ(kept, ReadFile(path)) << "no part of the record that failed";

    // Nothing is added after a failure, though there is room again.
    EXPECT_FALSE(log->Append(Record(3), error));
    log.reset();
    EXPECT_EQ(kept, ReadFile(path));
}

TEST(CliRecords, LogFollowsItsNameThroughRotation)
{
    TempDir dir;
    const std::string path = dir.File("shift.jsonl");
    std::string error, repaired;
    std::unique_ptr<CBoxLog> log = CBoxLog::Open({path, "--log"}, {}, error, repaired);
    ASSERT_TRUE(log) << error;
    auto line = [](int box) { return Record(box) + "\n"; };
    ASSERT_TRUE(log->Append(Record(2), error)) << error;
    // Removed (as gzip ends): a new file under the name. (mv: CliStation.)
    ASSERT_EQ(0, ::unlink(path.c_str()));
    ASSERT_TRUE(log->Append(Record(3), error)) << error;
    EXPECT_EQ(line(3), ReadFile(path));
    // Replaced by a new empty file (logrotate's create).
    WriteFile(path + ".new", {});
    ASSERT_EQ(0, ::rename((path + ".new").c_str(), path.c_str()));
    ASSERT_TRUE(log->Append(Record(4), error)) << error;
    EXPECT_EQ(line(4), ReadFile(path));
    // copytruncate: the same file emptied; the next record starts it.
    ASSERT_EQ(0, ::truncate(path.c_str(), 0));
    ASSERT_TRUE(log->Append(Record(5), error)) << error;
    EXPECT_EQ(line(5), ReadFile(path));
}

TEST(CliRecords, OpeningAnOutputNeverBlocks)
{
    TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    // The log is a regular file only: a FIFO is refused, never opened.
    std::string error, repaired;
    EXPECT_FALSE(CBoxLog::Open({fifo, "--log"}, {}, error, repaired));
    EXPECT_TRUE(Has(error, "is not a regular file (a FIFO)")) << error;
    // A trace may be a FIFO: with no reader that is an error at once.
    EXPECT_EQ(nullptr, OpenCheckedOutput({fifo, "--trace"}, false, {}, error));
    EXPECT_TRUE(Has(error, "no reader")) << error;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::FILE* f = OpenCheckedOutput({fifo, "--trace"}, false, {}, error);
    EXPECT_NE(nullptr, f) << error;
    if (f)
        std::fclose(f);
    ::close(reader);
}

TEST(CliRecords, NoOutputIsTheServedFileAPortOrAnother)
{
    TempDir dir;
    const std::string image = dir.File("fw.wzb");
    WriteFile(image, RandomBytes(70000, 4));
    const std::string hard = dir.File("hard.wzb"), soft = dir.File("soft.wzb");
    ASSERT_EQ(0, ::link(image.c_str(), hard.c_str()));
    ASSERT_EQ(0, ::symlink(image.c_str(), soft.c_str()));
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const std::vector<GuardedPath> guarded = {{image, "the served file"}, {pty.SlavePath(), "the port"}};

    for (const std::string& name : {image, hard, soft, dir.File("./fw.wzb")}) {
        std::string why = CheckOutputs({{name, "--trace"}}, guarded);
        EXPECT_EQ("--trace " + name + " is the served file " + image, why);
    }
    EXPECT_TRUE(Has(CheckOutputs({{pty.SlavePath(), "--log"}}, guarded), "is the port")) << pty.SlavePath();
    // Another terminal is no file either.
    PtyPair other;
    ASSERT_TRUE(other.Ok());
    EXPECT_TRUE(Has(CheckOutputs({{other.SlavePath(), "--log"}}, guarded), "is a device"));
    // Two outputs that are one file, existing or not yet.
    EXPECT_TRUE(Has(CheckOutputs({{dir.File("t"), "--trace"}, {dir.File("./t"), "--log"}}, guarded),
                    "are the same file"));
    EXPECT_EQ("", CheckOutputs({{dir.File("t.trace"), "--trace"}, {dir.File("t.log"), "--log"}, {"/dev/null", "--log"}},
                               guarded));

    // Opened without truncating, checked, then emptied: the image survives
    // a name that only turns out to be it once opened.
    std::string error;
    EXPECT_EQ(nullptr, OpenCheckedOutput({soft, "--trace"}, false, guarded, error));
    EXPECT_TRUE(Has(error, "is the served file")) << error;
    EXPECT_EQ(70000u, ReadFile(image).size());
}

TEST(CliRecords, ShiftReportCountsAsTheSummaryAndPassesOverWhatIsNoRecord)
{
    // A record as the station writes it (older ones name no station, only the host).
    auto rec = [](const std::string& id, const std::string& where, const std::string& result, int code,
                  double duration, const std::string& end, const std::string& more) {
        return "{\"schema\":2,\"seq\":" + std::string(id == "p0" ? "0" : "7") + ",\"id\":\"" + id + "\"," + where +
               ",\"start\":\"2026-12-10T13:59:00.000Z\",\"end\":\"2026-12-10T" + end + ":00.000Z\",\"duration\":" +
               std::to_string(duration) + ",\"result\":\"" + result + "\",\"exit_code\":" + std::to_string(code) +
               ",\"image_sha256\":\"f204\",\"file\":\"/srv/fw.wzb\"" + more + "}\n";
    };
    const std::string u0 = "\"station\":\"line-3\",\"port\":\"/dev/ttyUSB0\"", anna = ",\"operator\":\"anna\"";
    const std::string u1 = "\"host\":\"line-3\",\"port\":\"/dev/ttyUSB1\"";
    const std::string first = rec("a1", u0, "completed", 0, 4, "14:10", anna + ",\"order\":\"WO-1\"");
    TempDir dir;
    auto write = [&dir](const char* name, const std::string& text) {
        WriteFile(dir.File(name), std::vector<unsigned char>(text.begin(), text.end()));
    };
    write("a.jsonl", first + rec("a2", u0, "restarted", 0, 1, "14:20", anna) +
                         rec("a3", u0, "completed", 0, 5, "14:30", anna) + "garbage\n" +
                         rec("a5", u1, "size_over", 5, 2, "14:40", "") +
                         rec("a6", u0, "timeout", 6, 13, "15:05", anna) +
                         rec("p0", u1, "not_served", 3, 0, "15:06", "") + std::string(100000, '[') + "\n" +
                         rec("a9", u1, "interrupted", 130, 3, "15:50", ""));
    // A record of another station's ttyUSB0, one read before, one with no
    // result, and one cut short at the end.
    const std::string line4 = "\"station\":\"line-4\",\"port\":\"/dev/ttyUSB0\"";
    write("b.jsonl", first + rec("b2", line4, "completed", 0, 6, "15:10", "") +
                         rec("b3", u0, "completed", 0, 9, "15:20", anna) + "{\"port\":\"/dev/ttyUSB0\"}\n" +
                         "{\"schema\":2,\"seq\":9");

    ShiftReport r;
    std::string error;
    EXPECT_FALSE(ReadRecordLogs({dir.File("a.jsonl"), dir.File("gone.jsonl")}, r, error));
    EXPECT_TRUE(Has(error, "gone.jsonl: no such file")) << error;
    r = ShiftReport();
    ASSERT_TRUE(ReadRecordLogs({dir.File("a.jsonl"), dir.File("b.jsonl")}, r, error)) << error;
    EXPECT_EQ(9, r.records);
    EXPECT_EQ(1, r.notBoxes);
    EXPECT_EQ(1, r.duplicates);
    EXPECT_EQ(7, r.total.Boxes());
    EXPECT_EQ(1, r.total.restarted);
    std::vector<std::string> skipped;
    for (const SkippedLine& s : r.skipped)
        skipped.push_back(s.file.substr(dir.Path().size() + 1) + ":" + std::to_string(s.line) + " " + s.why);
    ASSERT_EQ(4u, skipped.size());
    EXPECT_TRUE(Has(skipped[0], "a.jsonl:4 not JSON")) << skipped[0];
    EXPECT_TRUE(Has(skipped[1], "a.jsonl:8 not JSON")) << skipped[1];
    EXPECT_TRUE(Has(skipped[2], "b.jsonl:4 no \"result\"")) << skipped[2];
    EXPECT_TRUE(Has(skipped[3], "b.jsonl:5 ")) << skipped[3];
    EXPECT_TRUE(Has(skipped[3], "cut short")) << skipped[3];

    // Rows in the columns of the summary: BOXES COMPLETED FAILED RESTARTED INTERRUPTED YIELD.
    std::string text;
    for (const std::string& line : ShiftReportLines(r))
        text += std::regex_replace(line, std::regex(" +"), " ") + "\n";
    EXPECT_TRUE(Has(text, "Yield: 57.1 % (4 of 7)")) << text;
    EXPECT_TRUE(Has(text, "median 5.50 s, 90th percentile 9.00 s")) << text;
    EXPECT_TRUE(Has(text, "\nline-3:/dev/ttyUSB0 4 3 1 1 0 75.0 %\n")) << text;
    EXPECT_TRUE(Has(text, "\nline-3:/dev/ttyUSB1 2 0 1 0 1 0.0 %\n")) << text;
    EXPECT_TRUE(Has(text, "\nline-4:/dev/ttyUSB0 1 1 0 0 0 100.0 %\n")) << text;
    EXPECT_TRUE(Has(text, "\n2026-12-10 14:00 3 2 1 0 66.7 %\n2026-12-10 15:00 4 2 1 1 50.0 %\n")) << text;
    EXPECT_TRUE(Has(text, "\nsize_over 1 line-3:/dev/ttyUSB1 (1)\ntimeout 1 line-3:/dev/ttyUSB0 (1)\n")) << text;
    EXPECT_TRUE(Has(text, "\n(none) 3 1 1 1 33.3 %\nanna 4 3 1 0 75.0 %\n")) << text;
    EXPECT_TRUE(Has(text, "\nf204 /srv/fw.wzb 7 4\n")) << text;

    const std::string json = ShiftReportJson(r);
    std::map<std::string, JsonField> top;
    ASSERT_TRUE(ReadJsonObject(json, top, error)) << error << json;
    EXPECT_EQ("57.1", top["yield_percent"].text);
    EXPECT_TRUE(Has(json, "\"cycle_seconds\":{\"boxes\":4,\"median\":5.500,\"p90\":9.000}")) << json;
    EXPECT_TRUE(Has(json, "{\"order\":\"WO-1\",\"boxes\":1,\"completed\":1,")) << json;

    CliOptions o;
    ASSERT_TRUE(Parse({"--report", "--json", "a.jsonl", "-"}, {}, o, error)) << error;
    EXPECT_EQ((std::vector<std::string>{"a.jsonl", "-"}), o.reportLogs);
    EXPECT_FALSE(Parse({"--report", "-p", "/dev/ttyUSB0", "a.jsonl"}, {}, o, error));
}
