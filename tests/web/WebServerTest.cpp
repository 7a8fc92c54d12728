// The HTTP server's bounds over real sockets on loopback: a client that
// sends half a request, one whose head is too large, one too many, and an
// event stream nobody reads; none may hold the server or the station.
#include "EventStream.h"
#include "HttpServer.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 30000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class WebServer : public testing::Test {
protected:
    void Start(const CHttpServer::Limits& limits)
    {
        m_Server.reset(new CHttpServer(
            [](const WebRequest& r) {
                WebResponse w;
                w.body = "ok " + r.target + "\n";
                w.contentLength = w.body.size();
                w.stream = r.target == "/api/events";
                return w;
            },
            m_Events, [] { return std::string(); }, limits));
        ListenAddress at;
        std::string url, error;
        ASSERT_TRUE(m_Server->Start(at, url, error)) << error;
        m_Port = static_cast<unsigned short>(std::stoi(url.substr(url.rfind(':') + 1)));
    }

    tcp::socket Connect()
    {
        tcp::socket s(m_Io);
        s.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), m_Port));
        return s;
    }

    // Everything until the server closes (within the bounded wait of the
    // socket layer's own timeout being never: the server must close).
    static std::string ReadToEnd(tcp::socket& s)
    {
        std::string all;
        boost::system::error_code ec;
        char buf[4096];
        for (;;) {
            size_t n = s.read_some(net::buffer(buf), ec);
            all.append(buf, n);
            if (ec)
                return all;
        }
    }

    static std::string Exchange(tcp::socket& s, const std::string& request)
    {
        net::write(s, net::buffer(request));
        std::string got;
        char buf[4096];
        while (!Has(got, "\r\n\r\n") || got.size() < got.find("\r\n\r\n") + 4 + 6)
            got.append(buf, s.read_some(net::buffer(buf)));
        return got;
    }

    net::io_context m_Io;
    CEventStream m_Events{"5e55100000000000"};
    std::unique_ptr<CHttpServer> m_Server;
    unsigned short m_Port = 0;
};

}  // namespace

TEST_F(WebServer, HalfARequestIsCutOffAndATooLargeHeadRefused)
{
    CHttpServer::Limits l;
    l.requestTimeout = std::chrono::milliseconds(300);
    l.headerLimit = 1024;
    Start(l);
    tcp::socket slow = Connect();
    net::write(slow, net::buffer(std::string("GET / HTTP/1.1\r\nHost: local")));
    EXPECT_EQ("", ReadToEnd(slow)) << "a slow client is cut off (the test hangs if it is not)";

    tcp::socket big = Connect();
    net::write(big, net::buffer("GET / HTTP/1.1\r\nHost: localhost\r\nX-Pad: " + std::string(4000, 'p') + "\r\n\r\n"));
    EXPECT_TRUE(Has(ReadToEnd(big), "431 Request Header Fields Too Large"));
}

TEST_F(WebServer, ConnectionsBeyondTheLimitAreRefused)
{
    CHttpServer::Limits l;
    l.maxConnections = 2;
    Start(l);
    tcp::socket a = Connect(), b = Connect();
    // Both answered and kept open: both places are taken.
    EXPECT_TRUE(Has(Exchange(a, "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n"), "ok /a"));
    EXPECT_TRUE(Has(Exchange(b, "GET /b HTTP/1.1\r\nHost: localhost\r\n\r\n"), "ok /b"));
    tcp::socket c = Connect();
    EXPECT_EQ("", ReadToEnd(c));
    EXPECT_EQ(1u, m_Server->RefusedConnections());
    a.close();
    ASSERT_TRUE(WaitUntil([&] {
        tcp::socket d = Connect();
        net::write(d, net::buffer(std::string("GET /d HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")));
        return Has(ReadToEnd(d), "ok /d");
    })) << "a place that is freed is taken again";
}

TEST_F(WebServer, AStreamNobodyReadsIsDroppedAndHoldsNoPublisher)
{
    CHttpServer::Limits l;
    l.streamBacklog = 64 * 1024;
    l.tick = std::chrono::milliseconds(20);
    Start(l);
    tcp::socket reader = Connect(), sleeper = Connect();
    for (tcp::socket* s : {&reader, &sleeper})
        net::write(*s, net::buffer(std::string("GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n")));
    std::string got;
    char buf[8192];
    while (!Has(got, "event: hello"))
        got.append(buf, reader.read_some(net::buffer(buf)));
    // The publisher (a port's thread) never waits, however full the
    // sleeper's socket is.
    const std::string big(16 * 1024, 'x');
    size_t published = 0;
    EXPECT_TRUE(WaitUntil([&] {
        m_Events.Publish("record", big);
        ++published;
        while (reader.available() > 0)
            got.append(buf, reader.read_some(net::buffer(buf)));
        return m_Server->DroppedStreams() == 1;
    }));
    EXPECT_LT(published, 100000u);
    // The one that reads is still served, up to the end.
    m_Events.Publish("end", "{}");
    m_Server->Stop(std::chrono::milliseconds(5000));
    got += ReadToEnd(reader);
    EXPECT_TRUE(Has(got, "event: end\ndata: {}\n\n")) << got.substr(got.size() > 300 ? got.size() - 300 : 0);
    EXPECT_TRUE(Has(got, "\r\n0\r\n\r\n")) << "the stream ends properly when the station stops";
}
