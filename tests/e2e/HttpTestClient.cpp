#include "HttpTestClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <sstream>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

bool Connect(net::io_context& io, beast::tcp_stream& stream, const std::string& url, std::string& host,
             std::string& error)
{
    std::string port;
    if (!SplitUrl(url, host, port)) {
        error = "not a URL: " + url;
        return false;
    }
    beast::error_code ec;
    tcp::resolver resolver(io);
    auto where = resolver.resolve(host, port, ec);
    if (!ec) {
        stream.expires_after(std::chrono::seconds(10));
        stream.connect(where, ec);
    }
    if (ec)
        error = "connect " + url + ": " + ec.message();
    host += ":" + port;
    return !ec;
}

// A read on a stream with a deadline: runs the I/O context until the
// operation ends or the deadline passes (then the socket is closed).
template <typename Op>
beast::error_code Bounded(net::io_context& io, beast::tcp_stream& stream, Clock::time_point deadline, Op op)
{
    beast::error_code result = net::error::would_block;
    stream.expires_at(deadline);
    op([&](beast::error_code ec, size_t) { result = ec; });
    io.restart();
    io.run();
    return result;
}

}  // namespace

bool SplitUrl(const std::string& url, std::string& host, std::string& port)
{
    const std::string scheme = url.rfind("ws://", 0) == 0 ? "ws://" : "http://";
    if (url.rfind(scheme, 0) != 0)
        return false;
    std::string rest = url.substr(scheme.size());
    rest = rest.substr(0, rest.find('/'));
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[')
        host = host.substr(1, host.size() - 2);
    return true;
}

HttpReply HttpGet(const std::string& url, const std::string& target,
                  const std::vector<std::pair<std::string, std::string>>& headers, int timeoutMs)
{
    HttpReply reply;
    net::io_context io;
    beast::tcp_stream stream(io);
    std::string host;
    if (!Connect(io, stream, url, host, reply.error))
        return reply;
    http::request<http::empty_body> req(http::verb::get, target, 11);
    req.set(http::field::host, host);
    req.set(http::field::connection, "close");
    for (const auto& h : headers)
        req.set(h.first, h.second);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    beast::error_code ec = Bounded(io, stream, deadline, [&](auto done) { http::async_write(stream, req, done); });
    if (!ec)
        ec = Bounded(io, stream, deadline, [&](auto done) { http::async_read(stream, buffer, res, done); });
    if (ec) {
        reply.error = "GET " + target + ": " + ec.message();
        return reply;
    }
    reply.status = static_cast<int>(res.result_int());
    reply.body = res.body();
    return reply;
}

struct SseReader::Impl {
    net::io_context io;
    beast::tcp_stream stream{io};
    beast::flat_buffer buffer;
    http::response_parser<http::buffer_body> parser;
    std::string text;  // read, not yet split into events
    bool ok = false;
};

SseReader::SseReader(const std::string& url, const std::string& lastEventId) : m_Impl(new Impl)
{
    Impl& s = *m_Impl;
    std::string host, error;
    if (!Connect(s.io, s.stream, url, host, error))
        return;
    http::request<http::empty_body> req(http::verb::get, "/api/events", 11);
    req.set(http::field::host, host);
    req.set(http::field::accept, "text/event-stream");
    if (!lastEventId.empty())
        req.set("Last-Event-ID", lastEventId);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    beast::error_code ec = Bounded(s.io, s.stream, deadline, [&](auto done) { http::async_write(s.stream, req, done); });
    if (!ec)
        ec = Bounded(s.io, s.stream, deadline,
                     [&](auto done) { http::async_read_header(s.stream, s.buffer, s.parser, done); });
    s.ok = !ec && s.parser.get().result() == http::status::ok;
}

SseReader::~SseReader() = default;

bool SseReader::Ok() const { return m_Impl->ok; }

bool SseReader::ReadUntil(const std::function<bool(const SseEvent&)>& done, std::vector<SseEvent>& events,
                          int timeoutMs)
{
    Impl& s = *m_Impl;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Whole events first: each ends with an empty line.
        size_t end;
        while ((end = s.text.find("\n\n")) != std::string::npos) {
            std::istringstream lines(s.text.substr(0, end));
            s.text.erase(0, end + 2);
            SseEvent e;
            std::string line;
            while (std::getline(lines, line)) {
                if (line.rfind("id: ", 0) == 0)
                    e.id = line.substr(4);
                else if (line.rfind("event: ", 0) == 0)
                    e.name = line.substr(7);
                else if (line.rfind("data: ", 0) == 0)
                    e.data += line.substr(6);
            }
            if (e.name.empty())
                continue;  // a comment or the retry line
            events.push_back(e);
            if (done(e))
                return true;
        }
        if (!s.ok || s.parser.is_done() || Clock::now() >= deadline)
            return false;
        char chunk[8192];
        s.parser.get().body().data = chunk;
        s.parser.get().body().size = sizeof chunk;
        beast::error_code ec =
            Bounded(s.io, s.stream, deadline, [&](auto cb) { http::async_read_some(s.stream, s.buffer, s.parser, cb); });
        s.text.append(chunk, sizeof chunk - s.parser.get().body().size);
        if (ec && ec != http::error::need_buffer)
            s.ok = false;
    }
}

struct DevToolsPage::Impl {
    net::io_context io;
    websocket::stream<beast::tcp_stream> ws{io};
    int next = 0;
    bool ok = false;
};

DevToolsPage::DevToolsPage(const std::string& webSocketUrl) : m_Impl(new Impl)
{
    Impl& s = *m_Impl;
    std::string host, error;
    if (!Connect(s.io, beast::get_lowest_layer(s.ws), webSocketUrl, host, error))
        return;
    const std::string rest = webSocketUrl.substr(5);
    beast::error_code ec;
    beast::get_lowest_layer(s.ws).expires_never();
    s.ws.read_message_max(64 * 1024 * 1024);
    s.ws.handshake(host, rest.substr(rest.find('/')), ec);
    s.ok = !ec;
}

DevToolsPage::~DevToolsPage() = default;

bool DevToolsPage::Ok() const { return m_Impl->ok; }

std::string DevToolsPage::Call(const std::string& method, const std::string& params, int timeoutMs)
{
    Impl& s = *m_Impl;
    if (!s.ok)
        return "";
    const int id = ++s.next;
    beast::error_code ec;
    s.ws.write(net::buffer("{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params + "}"),
               ec);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ec) {
        beast::flat_buffer buffer;
        auto& lowest = beast::get_lowest_layer(s.ws);
        ec = Bounded(s.io, lowest, deadline, [&](auto done) { s.ws.async_read(buffer, done); });
        if (ec)
            break;
        const std::string text = beast::buffers_to_string(buffer.data());
        if (text.find("\"id\":" + std::to_string(id) + ",") == std::string::npos &&
            text.find("\"id\":" + std::to_string(id) + "}") == std::string::npos)
            continue;  // an event, or another call's answer
        return text;
    }
    s.ok = false;
    return "";
}

std::string DevToolsPage::Evaluate(const std::string& expression, int timeoutMs)
{
    std::string quoted = "\"";
    for (char c : expression) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
        quoted += c;
    }
    quoted += '"';
    const std::string text =
        Call("Runtime.evaluate", "{\"expression\":" + quoted + ",\"returnByValue\":true}", timeoutMs);
    boost::property_tree::ptree reply;
    std::istringstream in(text);
    try {
        boost::property_tree::read_json(in, reply);
        return reply.get<std::string>("result.result.value", "");
    } catch (const std::exception&) {
        return "";
    }
}

std::string DevToolsPage::Screenshot(int timeoutMs)
{
    const std::string text = Call("Page.captureScreenshot", "{\"format\":\"png\"}", timeoutMs);
    const std::string key = "\"data\":\"";
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return "";
    const size_t from = at + key.size(), to = text.find('"', from);
    std::string png(beast::detail::base64::decoded_size(to - from), '\0');
    auto n = beast::detail::base64::decode(&png[0], text.data() + from, to - from);
    png.resize(n.first);
    return png;
}

}  // namespace e2e
