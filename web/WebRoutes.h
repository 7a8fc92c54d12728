// What the station answers over HTTP, as a pure function of the request:
// the board page, the snapshot, the records, the metrics, and the start of
// an event stream. Read-only: GET and HEAD, nothing else (405); no path
// reaches the file system (every answer is built in memory); on a loopback
// address a Host that is not a loopback name is refused (DNS rebinding).
// The HTTP server (HttpServer.h) only carries requests and answers.
//
// Handle: the HTTP side's I/O thread; it reads the station's figures
// through their own locks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CStationState;
class CStationMetrics;
class CRecordFeed;
class CEventStream;

struct WebRequest {
    std::string method;  // "GET", "HEAD", ...
    std::string target;  // path and query, as sent
    std::string host;    // the Host header, "" when none
    std::string lastEventId;
};

struct WebResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;  // empty for HEAD (the length is still that of GET)
    size_t contentLength = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    // /api/events: the server keeps the connection and streams from here.
    bool stream = false;
    bool resumed = false;
    uint64_t streamAfter = 0;
};

class CWebRoutes {
public:
    CWebRoutes(const CStationState& state, const CStationMetrics& metrics, const CRecordFeed& records,
               const CEventStream& events, bool loopbackListen);

    WebResponse Handle(const WebRequest& request) const;

private:
    WebResponse Route(const std::string& path, const std::string& query, const WebRequest& request) const;

    const CStationState& m_State;
    const CStationMetrics& m_Metrics;
    const CRecordFeed& m_Records;
    const CEventStream& m_Events;
    const bool m_Loopback;
};

// The board: one page, its style and script inside, nothing fetched from
// elsewhere.
const std::string& BoardPage();
