// The station over HTTP (--http) against box simulators: the snapshot, the
// records and the metrics agree with the log, the event stream carries
// every record and resumes after a reconnect, the metrics pass promtool,
// and a bad address or a port in use ends the run before any port opens.
#include "E2EUtil.h"
#include "HttpTestClient.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#ifndef ZV_CLI
#error ZV_CLI must name the zurivavave-cli binary
#endif
#ifndef ZV_BOXSIM
#error ZV_BOXSIM must name the zurivavave-boxsim binary
#endif

using namespace e2e;
using boost::property_tree::ptree;

namespace {

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

ptree Json(const std::string& text)
{
    ptree t;
    std::istringstream in(text);
    boost::property_tree::read_json(in, t);
    return t;
}

// The URL the CLI printed when it started listening.
std::string UrlOf(ChildProcess& cli)
{
    std::smatch m;
    std::string err;
    WaitUntil(
        [&] {
            err = cli.Err();
            return std::regex_search(err, m, std::regex("board at (http://[^ ]+/)")) || cli.Wait(0);
        },
        20000);
    return std::regex_search(err, m, std::regex("board at (http://[^ ]+/)")) ? m[1].str() : "";
}

class CliHttp : public testing::Test {
protected:
    std::unique_ptr<ChildProcess> StartBox(const std::string& name, const std::vector<std::string>& args,
                                           std::string& slave)
    {
        // The line stays the simulator's until the test ends: a pty given up
        // is soon another program's, and the station in a shift would take it.
        std::vector<std::string> argv = {ZV_BOXSIM, "--pty", "--wait-host", "--hello-timeout", "20000", "--linger", "600000"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::unique_ptr<ChildProcess> box(new ChildProcess(argv, m_Dir.File(name + ".out"), m_Dir.File(name + ".err")));
        EXPECT_TRUE(WaitForPtyAnnouncement(*box, slave, 5000)) << box->Err();
        return box;
    }
    TempDir m_Dir;
};

}  // namespace

TEST_F(CliHttp, StateRecordsEventsAndMetricsAgreeWithTheLog)
{
    const std::string image = m_Dir.File("image.wzb");
    WriteFile(image, RandomBytes(12 * 1024, 41));
    const std::vector<std::string> line = {"--expect", image, "--boxes", "3", "--box-pause", "300"};
    std::string s1, s2, s3;
    auto good = StartBox("good", line, s1);
    auto other = StartBox("other", line, s2);
    std::vector<std::string> faulty = line;
    faulty.insert(faulty.end(), {"--fault-box", "2", "--past-end"});
    auto bad = StartBox("bad", faulty, s3);
    const std::string log = m_Dir.File("shift.jsonl");
    ChildProcess cli({ZV_CLI, "--loop", "--log", log, "--http", "127.0.0.1:0", "-p", s1, "-p", s2, "-p", s3, image},
                     m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    const std::string url = UrlOf(cli);
    ASSERT_FALSE(url.empty()) << cli.Err();

    // From the first event of the run on, whenever the stream is opened.
    const std::string runId = Json(HttpGet(url, "/api/state").body).get<std::string>("station.run_id");
    std::vector<SseEvent> first;
    {
        SseReader events(url, runId.substr(0, 12) + "-0");
        ASSERT_TRUE(events.Ok());
        ASSERT_TRUE(events.ReadUntil([](const SseEvent& e) { return e.name == "record"; }, first, 60000)) << cli.Err();
    }
    ASSERT_EQ("hello", first.front().name);
    EXPECT_TRUE(Has(first.front().data, "\"resumed\":true"));
    const SseEvent seen = first.back();
    EXPECT_TRUE(Has(seen.data, "\"seq\":1,")) << seen.data;

    ASSERT_TRUE(WaitUntil([&] { return Lines(ReadFile(log)).size() == 9; }, 60000)) << ReadFile(log) << cli.Err();
    const std::vector<std::string> records = Lines(ReadFile(log));

    // A reconnect with the last id seen gets every later record once, in order.
    std::vector<SseEvent> rest;
    {
        SseReader events(url, seen.id);
        ASSERT_TRUE(events.Ok());
        events.ReadUntil([](const SseEvent& e) { return e.name == "record" && Has(e.data, "\"seq\":9,"); }, rest,
                         30000);
    }
    std::vector<std::string> streamed;
    for (const SseEvent& e : rest)
        if (e.name == "record")
            streamed.push_back(e.data);
    ASSERT_EQ(8u, streamed.size());
    for (size_t i = 0; i < streamed.size(); ++i)
        EXPECT_TRUE(Has(streamed[i], records[i + 1])) << "record " << i + 2 << ": " << streamed[i];
    EXPECT_TRUE(Has(Lines(ReadFile(m_Dir.File("cli.err"))).front(), "board at http://127.0.0.1:"));

    // The records, pulled by seq in pages, are the log's lines.
    HttpReply page1 = HttpGet(url, "/api/records?after=0&limit=4");
    ASSERT_EQ(200, page1.status) << page1.error;
    ptree p1 = Json(page1.body);
    EXPECT_EQ(4, p1.get<int>("last_seq"));
    EXPECT_EQ("true", p1.get<std::string>("more"));
    HttpReply page2 = HttpGet(url, "/api/records?after=4&limit=100");
    EXPECT_EQ(9, Json(page2.body).get<int>("last_seq"));
    EXPECT_EQ("false", Json(page2.body).get<std::string>("more"));
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_TRUE(Has(i < 4 ? page1.body : page2.body, records[i] + (i == 3 || i == 8 ? "\n]" : ",\n")))
            << "record " << i + 1;

    // The snapshot's tallies are the log's.
    std::map<std::string, int> completed, failed;
    for (const std::string& r : records)
        ++(Has(r, "\"result\":\"completed\"") ? completed : failed)[Json(r).get<std::string>("port")];
    ptree state = Json(HttpGet(url, "/api/state").body);
    EXPECT_EQ(8, state.get<int>("totals.completed"));
    EXPECT_EQ(1, state.get<int>("totals.failed"));
    int ports = 0;
    for (const auto& p : state.get_child("ports")) {
        const std::string port = p.second.get<std::string>("port");
        EXPECT_EQ(completed[port], p.second.get<int>("completed")) << port;
        EXPECT_EQ(failed[port], p.second.get<int>("failed")) << port;
        EXPECT_EQ("waiting", p.second.get<std::string>("state")) << port;
        ++ports;
    }
    EXPECT_EQ(3, ports);

    // The metrics say the same, and Prometheus' own checker takes them.
    const std::string metrics = HttpGet(url, "/metrics").body;
    for (const auto& c : completed)
        EXPECT_TRUE(Has(metrics, "zurivavave_boxes_total{port=\"" + c.first + "\",result=\"completed\"} " +
                                     std::to_string(c.second) + "\n"))
            << metrics;
    EXPECT_TRUE(Has(metrics, "result=\"size_over\"} 1\n")) << metrics;
    const std::string saved = m_Dir.File("metrics.txt");
    std::FILE* f = std::fopen(saved.c_str(), "w");
    ASSERT_TRUE(f);
    std::fputs(metrics.c_str(), f);
    std::fclose(f);
    const std::string promtool = "promtool check metrics < '" + saved + "' > '" + saved + ".check' 2>&1";
    EXPECT_EQ(0, std::system(promtool.c_str())) << ReadFile(saved + ".check") << metrics;

    cli.Signal(SIGTERM);
    ASSERT_TRUE(cli.Wait(20000));
    EXPECT_EQ(130, cli.ExitCode()) << cli.Err();
    EXPECT_EQ(records, Lines(ReadFile(log))) << "no port was waiting on a box: no new record";
}

TEST_F(CliHttp, ABadAddressOrAPortInUseEndsTheRunBeforeAnyPort)
{
    const std::string image = m_Dir.File("image.wzb");
    WriteFile(image, RandomBytes(1024, 3));
    ChildProcess bad({ZV_CLI, "--http", "localhost:http", "-p", "/dev/null", image}, m_Dir.File("b.out"),
                     m_Dir.File("b.err"));
    ASSERT_TRUE(bad.Wait(10000));
    EXPECT_EQ(2, bad.ExitCode());
    EXPECT_TRUE(Has(bad.Err(), "--http localhost:http: not a port number")) << bad.Err();

    // A port another program listens on.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const std::string port = std::to_string(taken.local_endpoint().port());
    std::string slave;
    auto box = StartBox("box", {"--expect", image}, slave);
    ChildProcess inUse({"/usr/bin/env", "ZURIVAVAVE_HTTP=" + port, ZV_CLI, "--json", "-p", slave, image},
                       m_Dir.File("u.out"), m_Dir.File("u.err"));
    ASSERT_TRUE(inUse.Wait(10000));
    EXPECT_EQ(2, inUse.ExitCode());
    EXPECT_TRUE(Has(inUse.Err(), "cannot listen on http://127.0.0.1:" + port + "/")) << inUse.Err();
    EXPECT_TRUE(Has(inUse.Out(), "\"result\":\"usage_error\"")) << "a script still gets its record: " << inUse.Out();
    EXPECT_FALSE(box->Wait(0)) << "the box was never served: its port stayed closed";
}

TEST_F(CliHttp, APortThatJoinsAndIsSetAsideShowsOnTheBoardAndInTheMetrics)
{
    // A shift over a folder of the line's names, empty at the start; the
    // box that comes fails once, which sets its port aside.
    const std::string image = m_Dir.File("image.wzb");
    WriteFile(image, RandomBytes(2048, 31));
    ASSERT_EQ(0, ::mkdir(m_Dir.File("line").c_str(), 0755));
    ChildProcess cli({ZV_CLI, "--loop", "--max-failures", "1", "--http", "0", "--station", "bay 7", "--operator", "Ana",
                      "--order", "WO-9", "-p", m_Dir.File("line/bay*"), image},
                     m_Dir.File("cli.out"), m_Dir.File("cli.err"));
    const std::string url = UrlOf(cli);
    ASSERT_FALSE(url.empty()) << cli.Err();
    std::string slave;
    auto box = StartBox("box", {"--expect", image, "--link", m_Dir.File("line/bay0"), "--past-end"}, slave);
    ASSERT_TRUE(WaitUntil([&] { return Has(HttpGet(url, "/api/state").body, "\"state\":\"aside\""); }, 30000))
        << HttpGet(url, "/api/state").body << cli.Err();
    ptree state = Json(HttpGet(url, "/api/state").body);
    EXPECT_EQ("bay 7", state.get<std::string>("station.name"));
    EXPECT_EQ("Ana", state.get<std::string>("station.operator"));
    EXPECT_EQ("WO-9", state.get<std::string>("station.order"));
    const ptree& port = state.get_child("ports").front().second;
    EXPECT_EQ(m_Dir.File("line/bay0"), port.get<std::string>("port"));
    EXPECT_TRUE(Has(port.get<std::string>("status"), "Set aside: 1 failure in a row.")) << port.get<std::string>("status");
    EXPECT_EQ(image, port.get<std::string>("image"));
    EXPECT_TRUE(Has(HttpGet(url, "/metrics").body,
                    "zurivavave_port_state{port=\"" + m_Dir.File("line/bay0") + "\",state=\"aside\"} 1\n"));
    cli.Signal(SIGTERM);
    EXPECT_TRUE(cli.Wait(20000));
}
