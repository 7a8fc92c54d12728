// The station's HTTP side without a network: the --http value, the Host
// guard, what each path answers, the event stream's resume and backlog,
// the records feed and the metrics' figures.
#include "EventStream.h"
#include "HostCheck.h"
#include "ListenAddress.h"
#include "RecordFeed.h"
#include "StationMetrics.h"
#include "StationState.h"
#include "WebRoutes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>

namespace {

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

StationInfo TwoPorts()
{
    StationInfo info;
    info.context.version = "9.9";
    info.context.host = "bench-3";
    info.context.runId = "0123456789abcdef0123456789abcdef";
    info.startMs = 1700000000000;
    info.ports = {{"/dev/ttyUSB0", "usb-FTDI_A-if00", "/fw/a.wzb", std::string(64, 'a'), 1000},
                  {"/dev/ttyUSB1", "", "/fw/a.wzb", std::string(64, 'a'), 1000}};
    return info;
}

StationEvent Ended(int slot, const char* result, int exitCode, uint64_t seq, double duration, ShiftTally& tally)
{
    auto r = std::make_shared<BoxRecord>();
    r->result = result;
    r->exitCode = exitCode;
    r->seq = seq;
    r->duration = duration;
    r->served = 1000;
    r->rerequests = 2;
    tally.Add(*r);
    StationEvent e;
    e.kind = StationEvent::Kind::BoxEnded;
    e.slot = slot;
    e.record = r;
    e.tally = tally;
    return e;
}

struct Site {
    Site() : state(TwoPorts()), metrics(state), records(""), events(state.Info().context.runId, 4) {}
    WebResponse Get(const std::string& target, const std::string& method = "GET", const std::string& host = "localhost:1")
    {
        return CWebRoutes(state, metrics, records, events, true).Handle({method, target, host, ""});
    }
    CStationState state;
    CStationMetrics metrics;
    CRecordFeed records;
    CEventStream events;
};

}  // namespace

TEST(WebPieces, ListenAddressTakesPortsAndAddressesAndRefusesTheRest)
{
    ListenAddress a;
    std::string error;
    ASSERT_TRUE(ParseListenAddress("8080", a, error));
    EXPECT_EQ("127.0.0.1", a.host) << "loopback unless another address is given";
    EXPECT_EQ(8080, a.port);
    EXPECT_TRUE(a.loopback);
    ASSERT_TRUE(ParseListenAddress("0.0.0.0:9", a, error));
    EXPECT_FALSE(a.loopback);
    ASSERT_TRUE(ParseListenAddress("[::1]:0", a, error));
    EXPECT_EQ("::1", a.host);
    EXPECT_TRUE(a.loopback);
    EXPECT_EQ("http://[::1]:80/", UrlOf("::1", 80));
    for (const char* bad : {"", "http", "65536", "-1", "host.example:80", "1.2.3:80", "::1:80", "[::1]", "80 "}) {
        EXPECT_FALSE(ParseListenAddress(bad, a, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(WebPieces, OnLoopbackOnlyLoopbackHostsAreAnswered)
{
    std::string why;
    for (const char* ok : {"localhost", "localhost:8080", "127.0.0.1:80", "127.9.9.9", "[::1]:8080", "a.localhost"})
        EXPECT_TRUE(HostAllowed(ok, true, why)) << ok;
    for (const char* bad : {"", "evil.example", "evil.example:8080", "127.0.0.1.evil.example", "localhost.evil:80",
                            "10.0.0.1:8080", "[::2]:80"})
        EXPECT_FALSE(HostAllowed(bad, true, why)) << bad;
    EXPECT_TRUE(HostAllowed("station-7.line:8080", false, why)) << "another address: the network's business";
}

TEST(WebPieces, ReadOnlyAndNothingFromTheFileSystem)
{
    Site site;
    WebResponse r = site.Get("/api/state", "POST");
    EXPECT_EQ(405, r.status);
    bool allow = false;
    for (const auto& h : r.headers)
        allow = allow || (h.first == "Allow" && h.second == "GET, HEAD");
    EXPECT_TRUE(allow);
    EXPECT_EQ(403, site.Get("/api/state", "GET", "rebound.example:80").status);
    for (const char* path : {"/../../etc/passwd", "/etc/passwd", "//etc/passwd", "/index.html", "/api/state/.."})
        EXPECT_EQ(404, site.Get(path).status) << path;
    EXPECT_EQ(400, site.Get("etc/passwd").status);

    WebResponse head = site.Get("/", "HEAD");
    EXPECT_EQ(200, head.status);
    EXPECT_TRUE(head.body.empty());
    EXPECT_EQ(site.Get("/").body.size(), head.contentLength) << "HEAD has GET's length";
    const std::string page = site.Get("/").body;
    EXPECT_TRUE(Has(page, "EventSource") && Has(page, "gone away"));
    EXPECT_FALSE(Has(page, "http://") || Has(page, "https://") || Has(page, "src=")) << "no external asset";

    EXPECT_EQ(400, site.Get("/api/records?after=-1").status);
    EXPECT_EQ(400, site.Get("/api/records?limit=0").status);
    EXPECT_EQ(400, site.Get("/api/records?limit=1001").status);
    EXPECT_EQ(200, site.Get("/api/records?after=3&limit=5&format=new").status) << "unknown keys are left alone";
}

TEST(WebPieces, StateFollowsTheEvents)
{
    Site site;
    StationEvent p;
    p.kind = StationEvent::Kind::Progress;
    p.slot = 1;
    p.progress.percent = 47;
    p.progress.eta = 3;
    site.state.Apply(p);
    ShiftTally t;
    site.state.Apply(Ended(0, "size_over", 5, 7, 1, t));
    StationEvent lost;
    lost.kind = StationEvent::Kind::PortLost;
    lost.slot = 0;
    lost.sinceMs = 1700000005000;
    site.state.Apply(lost);

    const std::string s = site.Get("/api/state").body;
    EXPECT_TRUE(Has(s, "\"state\":\"lost\",\"status\":\"\",\"tone\":\"warn\"")) << s;
    EXPECT_TRUE(Has(s, "\"since_ms\":1700000005000")) << s;
    EXPECT_TRUE(Has(s, "\"state\":\"downloading\"") && Has(s, "\"percent\":47")) << s;
    EXPECT_TRUE(Has(s, "\"by_id\":\"usb-FTDI_A-if00\"")) << s;
    EXPECT_TRUE(Has(s, "\"last\":\"size_over\"") && Has(s, "\"last_seq\":7")) << s;
    EXPECT_TRUE(Has(s, "\"totals\":{\"completed\":0,\"failed\":1")) << s;
    std::vector<uint64_t> seen;
    EXPECT_TRUE(Has(site.state.ProgressJson(seen), "\"slot\":1"));
    EXPECT_EQ("", site.state.ProgressJson(seen)) << "progress is sent once per change";
}

TEST(WebPieces, EventsResumeAfterTheirIdAndOnlyInTheirRun)
{
    CEventStream stream("feedfacecafe0000", 3);
    for (int i = 0; i < 5; ++i)
        stream.Publish("port", "{\"n\":" + std::to_string(i) + "}");
    uint64_t after = 0;
    EXPECT_TRUE(stream.Resume("feedfacecafe-3", after));
    EXPECT_EQ(3u, after);
    std::string out;
    EXPECT_TRUE(stream.Since(after, out));
    EXPECT_EQ("id: feedfacecafe-4\nevent: port\ndata: {\"n\":3}\n\nid: feedfacecafe-5\nevent: port\ndata: {\"n\":4}\n\n", out);
    EXPECT_FALSE(stream.Resume("feedfacecafe-1", after)) << "evicted: the client reloads instead";
    EXPECT_EQ(5u, after);
    EXPECT_FALSE(stream.Resume("0000deadbeef-4", after)) << "another run's id";
    EXPECT_FALSE(stream.Resume("feedfacecafe-9", after)) << "never sent";
    EXPECT_FALSE(stream.Resume("feedfacecafe-4x", after));
    after = 1;
    EXPECT_FALSE(stream.Since(after, out)) << "a client that fell behind the buffer is told";
    EXPECT_EQ("event: progress\ndata: a\ndata: b\n\n", CEventStream::Frame("progress", "a\nb"));
}

TEST(WebPieces, AClientThatDoesNotTakeItsEventsIsDropped)
{
    CEventStream stream("r", 1000);
    CStreamClient client(stream, 0, 4096);
    for (int i = 0; i < 10; ++i)
        stream.Publish("record", std::string(100, 'x'));
    EXPECT_TRUE(client.Fill(""));
    EXPECT_GT(client.Take().size(), 1000u);
    for (int i = 0; i < 50; ++i)
        stream.Publish("record", std::string(100, 'x'));
    EXPECT_FALSE(client.Fill("")) << "over its backlog";
}

TEST(WebPieces, RecordsOfARunWithoutALogAndALogReadBack)
{
    CRecordFeed memory("");
    for (uint64_t s = 1; s <= 5; ++s)
        memory.Add(s, "{\"schema\":2,\"seq\":" + std::to_string(s) + "}");
    EXPECT_EQ("{\"records\":[\n{\"schema\":2,\"seq\":3},\n{\"schema\":2,\"seq\":4}\n],\"after\":2,\"last_seq\":4,"
              "\"more\":true}\n",
              memory.Query(2, 2));
    EXPECT_TRUE(Has(memory.Query(5, 10), "\"records\":[\n],\"after\":5,\"last_seq\":5,\"more\":false"));

    const std::string path = testing::TempDir() + "zv-records-feed.jsonl";
    {
        std::ofstream log(path, std::ios::binary | std::ios::trunc);
        log << "{\"schema\":2,\"seq\":41}\n{\"schema\":2,\"seq\":42}\n";
    }
    CRecordFeed fromLog(path);
    {
        std::ofstream log(path, std::ios::binary | std::ios::app);
        log << "{\"schema\":2,\"seq\":43}\n";  // written, its box not said to have ended yet
    }
    std::string q = fromLog.Query(40, 10);
    EXPECT_TRUE(Has(q, "\"seq\":42}\n],\"after\":40,\"last_seq\":42")) << q;
    fromLog.Add(43, "");
    EXPECT_TRUE(Has(fromLog.Query(42, 10), "\"seq\":43}\n],\"after\":42,\"last_seq\":43")) << "a restart goes on";
    std::remove(path.c_str());
}

TEST(WebPieces, MetricsCountEveryBoxByPortAndResult)
{
    Site site;
    ShiftTally a, b;
    site.metrics.Apply(Ended(0, "completed", 0, 1, 4.5, a));
    site.metrics.Apply(Ended(0, "completed", 0, 2, 0.5, a));
    site.metrics.Apply(Ended(1, "timeout", 6, 3, 30, b));
    site.state.Apply(Ended(1, "timeout", 6, 3, 30, b));
    const std::string m = site.Get("/metrics").body;
    EXPECT_TRUE(Has(m, "zurivavave_boxes_total{port=\"/dev/ttyUSB0\",result=\"completed\"} 2\n")) << m;
    EXPECT_TRUE(Has(m, "zurivavave_boxes_total{port=\"/dev/ttyUSB1\",result=\"completed\"} 0\n")) << m;
    EXPECT_TRUE(Has(m, "zurivavave_boxes_total{port=\"/dev/ttyUSB1\",result=\"timeout\"} 1\n")) << m;
    EXPECT_TRUE(Has(m, "zurivavave_box_duration_seconds_bucket{port=\"/dev/ttyUSB0\",le=\"1\"} 1\n")) << m;
    EXPECT_TRUE(Has(m, "zurivavave_box_duration_seconds_bucket{port=\"/dev/ttyUSB0\",le=\"5\"} 2\n")) << m;
    EXPECT_TRUE(Has(m, "zurivavave_box_duration_seconds_count{port=\"/dev/ttyUSB0\"} 2\n")) << m;
    EXPECT_TRUE(Has(m, "zurivavave_rerequests_total{port=\"/dev/ttyUSB0\"} 4\n")) << m;
    EXPECT_TRUE(Has(m, "zurivavave_port_state{port=\"/dev/ttyUSB1\",state=\"failed\"} 1\n")) << m;
    EXPECT_TRUE(Has(m, "image_sha256=\"" + std::string(64, 'a') + "\"} 1\n")) << m;
}
