#include "HttpServer.h"

#include "EventStream.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// What the server does on stop, whatever a connection is doing.
class Connection {
public:
    virtual ~Connection() = default;
    virtual void Shutdown() = 0;  // finish what is under way, then close
    virtual void Abort() = 0;     // close now
};
class StreamSession;

}  // namespace

struct CHttpServer::Impl {
    Impl(Handler h, const CEventStream& e, ProgressFrame p, const Limits& l)
        : handler(std::move(h)), events(e), progress(std::move(p)), limits(l)
    {
    }

    void Accept();
    void Tick();
    void Track(const std::shared_ptr<Connection>& c);

    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    net::steady_timer ticker{ioc};
    std::thread thread;
    Handler handler;
    const CEventStream& events;
    ProgressFrame progress;
    const Limits limits;
    // The I/O thread's own.
    size_t connections = 0;
    bool stopping = false;
    std::vector<std::weak_ptr<Connection>> all;
    std::vector<std::shared_ptr<StreamSession>> streams;  // owned here while open
    // Read by any thread.
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> refused{0};
};

namespace {

using Impl = CHttpServer::Impl;

// A connection holds one of the limited places while it lives.
struct Place {
    explicit Place(Impl& s) : server(s) { ++server.connections; }
    ~Place() { --server.connections; }
    Impl& server;
};

}  // namespace

namespace {

// One event stream: the answer's head, then a chunk per tick with what is
// new, until the client goes, falls behind or the server stops.
class StreamSession : public Connection, public std::enable_shared_from_this<StreamSession> {
public:
    StreamSession(Impl& server, beast::tcp_stream&& stream, uint64_t after, bool resumed, unsigned version)
        : m_Server(server), m_Place(server), m_Stream(std::move(stream)),
          m_Client(server.events, after, server.limits.streamBacklog)
    {
        m_Client.Queue(server.events.Hello(resumed));
        m_Head.version(version);
        m_Head.result(http::status::ok);
        m_Head.set(http::field::content_type, "text/event-stream");
        m_Head.set(http::field::cache_control, "no-store");
        m_Head.set("X-Content-Type-Options", "nosniff");
        m_Head.chunked(true);
    }

    void Start()
    {
        m_Writing = true;
        m_Stream.expires_after(m_Server.limits.writeTimeout);
        m_Serializer.emplace(m_Head);
        http::async_write_header(m_Stream, *m_Serializer,
                                 [self = shared_from_this()](beast::error_code ec, size_t) { self->Written(ec); });
    }

    // A tick: what is new, and the progress of the tick.
    void Feed(const std::string& progress)
    {
        if (m_Closed)
            return;
        std::string extra = progress;
        if (Clock::now() - m_LastWrite >= m_Server.limits.keepAlive && !m_Client.HasPending() && !m_Writing)
            extra += ": keep-alive\n\n";
        if (!m_Client.Fill(extra)) {
            Drop();
            return;
        }
        WriteNext();
    }

    bool Closed() const { return m_Closed; }

    void Shutdown() override
    {
        if (m_Closed)
            return;
        m_Finishing = true;
        if (m_Client.Fill(""))
            WriteNext();
        else
            Close();
    }

    void Abort() override { Close(); }

private:
    void WriteNext()
    {
        if (m_Writing || m_Closed)
            return;
        if (!m_Client.HasPending()) {
            if (m_Finishing) {
                m_Writing = true;
                m_Stream.expires_after(m_Server.limits.writeTimeout);
                net::async_write(m_Stream, http::make_chunk_last(),
                                 [self = shared_from_this()](beast::error_code, size_t) { self->Close(); });
            }
            return;
        }
        m_Writing = true;
        m_Out = m_Client.Take();
        m_Stream.expires_after(m_Server.limits.writeTimeout);
        net::async_write(m_Stream, http::make_chunk(net::buffer(m_Out)),
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->Written(ec); });
    }

    void Written(beast::error_code ec)
    {
        m_Writing = false;
        m_Serializer.reset();
        if (ec) {
            Drop();
            return;
        }
        m_LastWrite = Clock::now();
        m_Out.clear();
        WriteNext();
    }

    void Drop()
    {
        if (!m_Closed && !m_Finishing)
            ++m_Server.dropped;
        Close();
    }

    void Close()
    {
        if (m_Closed)
            return;
        m_Closed = true;
        beast::error_code ignored;
        m_Stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_Stream.close();
    }

    Impl& m_Server;
    Place m_Place;
    beast::tcp_stream m_Stream;
    CStreamClient m_Client;
    http::response<http::empty_body> m_Head;
    boost::optional<http::response_serializer<http::empty_body>> m_Serializer;
    std::string m_Out;  // the chunk being written
    bool m_Writing = false, m_Finishing = false, m_Closed = false;
    Clock::time_point m_LastWrite = Clock::now();
};

// One connection's requests and answers, one at a time (keep-alive).
class HttpSession : public Connection, public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(Impl& server, tcp::socket&& socket)
        : m_Server(server), m_Place(std::make_unique<Place>(server)), m_Stream(std::move(socket))
    {
    }

    void Start()
    {
        net::dispatch(m_Stream.get_executor(), [self = shared_from_this()] { self->Read(); });
    }

    void Shutdown() override
    {
        // A request being answered finishes; an idle connection ends now.
        if (!m_Busy)
            Close();
        m_Last = true;
    }
    void Abort() override { Close(); }

private:
    void Read()
    {
        if (m_Server.stopping)
            return Close();
        m_Parser.emplace();
        m_Parser->header_limit(m_Server.limits.headerLimit);
        m_Parser->body_limit(0);
        m_Stream.expires_after(m_Server.limits.requestTimeout);
        m_Busy = false;
        http::async_read(m_Stream, m_Buffer, *m_Parser,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec)
    {
        m_Busy = true;
        if (ec == http::error::header_limit)
            return Refuse(http::status::request_header_fields_too_large, "The request's head is too large.");
        if (ec == http::error::body_limit || ec == http::error::unexpected_body)
            return Refuse(http::status::payload_too_large, "The station takes no request body.");
        if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return Refuse(http::status::bad_request, "Not an HTTP/1.1 request.");
        if (ec)
            return Close();  // the client went, or sent nothing in time

        http::request<http::empty_body> req = m_Parser->release();
        WebRequest wr;
        wr.method = std::string(req.method_string());
        wr.target = std::string(req.target());
        wr.host = std::string(req[http::field::host]);
        wr.lastEventId = std::string(req["Last-Event-ID"]);
        WebResponse r = m_Server.handler(wr);
        if (r.stream && r.status == 200 && req.method() == http::verb::get) {
            // The connection becomes a stream; its place goes with it.
            m_Place.reset();
            auto s = std::make_shared<StreamSession>(m_Server, std::move(m_Stream), r.streamAfter, r.resumed,
                                                     req.version());
            m_Server.Track(s);
            m_Server.streams.push_back(s);
            s->Start();
            return;
        }
        Send(r, req.version(), req.keep_alive() && !r.stream && !m_Last && !m_Server.stopping);
    }

    void Refuse(http::status status, const std::string& text)
    {
        WebResponse r;
        r.status = static_cast<int>(status);
        r.body = text + "\n";
        r.contentLength = r.body.size();
        Send(r, 11, false);
    }

    void Send(const WebResponse& r, unsigned version, bool keepAlive)
    {
        auto res = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(r.status), version);
        res->set(http::field::server, "zurivavave-cli");
        res->set(http::field::content_type, r.contentType);
        for (const auto& h : r.headers)
            res->set(h.first, h.second);
        res->body() = r.body;
        res->content_length(r.contentLength);
        res->keep_alive(keepAlive);
        m_Stream.expires_after(m_Server.limits.writeTimeout);
        http::async_write(m_Stream, *res, [self = shared_from_this(), res](beast::error_code ec, size_t) {
            if (ec || !res->keep_alive())
                return self->Close();
            self->Read();
        });
    }

    void Close()
    {
        if (m_Closed)
            return;
        m_Closed = true;
        beast::error_code ignored;
        m_Stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_Stream.close();
    }

    Impl& m_Server;
    std::unique_ptr<Place> m_Place;
    beast::tcp_stream m_Stream;
    beast::flat_buffer m_Buffer{16 * 1024};
    boost::optional<http::request_parser<http::empty_body>> m_Parser;
    bool m_Busy = false, m_Last = false, m_Closed = false;
};

}  // namespace

void CHttpServer::Impl::Track(const std::shared_ptr<Connection>& c)
{
    // Forget the ones that ended, so the list stays the size of the live ones.
    all.erase(std::remove_if(all.begin(), all.end(), [](const std::weak_ptr<Connection>& w) { return w.expired(); }),
              all.end());
    all.push_back(c);
}

void CHttpServer::Impl::Accept()
{
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || stopping)
            return;
        if (!ec) {
            if (connections >= limits.maxConnections) {
                ++refused;
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                auto s = std::make_shared<HttpSession>(*this, std::move(socket));
                Track(s);
                s->Start();
            }
        }
        Accept();
    });
}

void CHttpServer::Impl::Tick()
{
    ticker.expires_after(limits.tick);
    ticker.async_wait([this](beast::error_code ec) {
        if (ec || stopping)
            return;
        streams.erase(std::remove_if(streams.begin(), streams.end(),
                                     [](const std::shared_ptr<StreamSession>& s) { return s->Closed(); }),
                      streams.end());
        if (!streams.empty()) {
            const std::string frame = progress ? progress() : "";
            for (const auto& s : streams)
                s->Feed(frame);
        }
        Tick();
    });
}

CHttpServer::CHttpServer(Handler handler, const CEventStream& events, ProgressFrame progress)
    : CHttpServer(std::move(handler), events, std::move(progress), Limits())
{
}

CHttpServer::CHttpServer(Handler handler, const CEventStream& events, ProgressFrame progress, const Limits& limits)
    : m_Impl(new Impl(std::move(handler), events, std::move(progress), limits))
{
}

CHttpServer::~CHttpServer() { Stop(std::chrono::milliseconds(0)); }

namespace {

// Opens, binds and listens; false with the reason.
bool Listen(tcp::acceptor& acceptor, const ListenAddress& at, std::string& error)
{
    beast::error_code ec;
    const net::ip::address address = net::ip::make_address(at.host, ec);
    if (ec) {
        error = "not an IP address: " + at.host;
        return false;
    }
    const tcp::endpoint endpoint(address, at.port);
    acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
    // A station restarted at once gets its port back (connections of the
    // last run may linger); Windows' meaning of the flag would let two
    // stations share one port, so it stays off there.
    if (!ec)
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + UrlOf(at.host, at.port) + ": " + ec.message();
        beast::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    return true;
}

}  // namespace

bool CanListen(const ListenAddress& at, std::string& error)
{
    net::io_context ioc;
    tcp::acceptor acceptor(ioc);
    if (!Listen(acceptor, at, error))
        return false;
    beast::error_code ignored;
    acceptor.close(ignored);
    return true;
}

bool CHttpServer::Start(const ListenAddress& at, std::string& url, std::string& error)
{
    Impl& s = *m_Impl;
    if (!Listen(s.acceptor, at, error))
        return false;
    url = UrlOf(at.host, s.acceptor.local_endpoint().port());
    s.Accept();
    s.Tick();
    s.thread = std::thread([&s] { s.ioc.run(); });
    return true;
}

void CHttpServer::Stop(std::chrono::milliseconds grace)
{
    Impl& s = *m_Impl;
    if (!s.thread.joinable())
        return;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    net::post(s.ioc, [&s] {
        s.stopping = true;
        beast::error_code ignored;
        s.acceptor.close(ignored);
        s.ticker.cancel();
        for (const auto& w : s.all)
            if (auto c = w.lock())
                c->Shutdown();
    });
    // The thread ends once every connection has ended; a client that does
    // not take its last bytes in time is cut off.
    std::thread waiter([&s, &done] {
        s.thread.join();
        done.set_value();
    });
    if (finished.wait_for(grace) != std::future_status::ready) {
        // Cut off whoever is left: every operation then ends at once.
        net::post(s.ioc, [&s] {
            for (const auto& w : s.all)
                if (auto c = w.lock())
                    c->Abort();
        });
        if (finished.wait_for(std::chrono::seconds(2)) != std::future_status::ready)
            s.ioc.stop();
    }
    waiter.join();
}

uint64_t CHttpServer::DroppedStreams() const { return m_Impl->dropped.load(); }
uint64_t CHttpServer::RefusedConnections() const { return m_Impl->refused.load(); }
