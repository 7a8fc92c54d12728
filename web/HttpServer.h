// The station's HTTP/1.1 server (Boost.Beast over Asio, one I/O thread):
// carries each request to a handler that is a pure function of it
// (WebRoutes.h) and its answer back, and keeps the event streams. Bounded
// everywhere, so no client can hold more than its share: request header
// size, connections, the time to send a request and to take an answer,
// and each stream's backlog (a client that stops reading is dropped). It
// never calls into the station: nothing here can slow a port or a record.
//
// Start and Stop: the thread that owns the server. Everything else runs on
// the server's own I/O thread.
#pragma once

#include "ListenAddress.h"
#include "WebRoutes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CEventStream;

class CHttpServer {
public:
    using Handler = std::function<WebResponse(const WebRequest&)>;
    // The coalesced progress frame of one tick, "" for none; called on the
    // I/O thread once a tick while a stream is open.
    using ProgressFrame = std::function<std::string()>;

    struct Limits {
        size_t maxConnections = 64;
        uint32_t headerLimit = 8 * 1024;                  // bytes of a request's head
        std::chrono::milliseconds requestTimeout{10000};  // to send a whole request (and between requests)
        std::chrono::milliseconds writeTimeout{10000};    // to take an answer or a stream's next part
        size_t streamBacklog = 1024 * 1024;               // bytes a stream may fall behind
        std::chrono::milliseconds tick{250};              // streams are fed this often
        std::chrono::milliseconds keepAlive{10000};       // a comment on a quiet stream
    };

    CHttpServer(Handler handler, const CEventStream& events, ProgressFrame progress);
    CHttpServer(Handler handler, const CEventStream& events, ProgressFrame progress, const Limits& limits);
    ~CHttpServer();
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // Listens and starts the I/O thread; url says where (with the port the
    // system chose for port 0). false with the reason in error.
    bool Start(const ListenAddress& at, std::string& url, std::string& error);
    // Sends the streams what is left, ends them and every connection, and
    // stops; waits at most grace for slow clients.
    void Stop(std::chrono::milliseconds grace);

    // Streams dropped for falling behind or timing out, connections
    // refused for the limit: for the tests and the benchmark.
    uint64_t DroppedStreams() const;
    uint64_t RefusedConnections() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_Impl;
};

// Whether the station could listen at (a check before a shift); false with
// the reason. Lets the address go again at once.
bool CanListen(const ListenAddress& at, std::string& error);
