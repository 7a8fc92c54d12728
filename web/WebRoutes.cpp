#include "WebRoutes.h"

#include "EventStream.h"
#include "HostCheck.h"
#include "Json.h"
#include "RecordFeed.h"
#include "StationMetrics.h"
#include "StationState.h"

namespace {

const char kJson[] = "application/json; charset=utf-8";

WebResponse Text(int status, const std::string& text)
{
    WebResponse r;
    r.status = status;
    r.body = text + "\n";
    return r;
}

WebResponse JsonError(int status, const std::string& text)
{
    WebResponse r;
    r.status = status;
    r.contentType = kJson;
    r.body = "{\"error\":" + JsonString(text) + "}\n";
    return r;
}

}  // namespace

CWebRoutes::CWebRoutes(const CStationState& state, const CStationMetrics& metrics, const CRecordFeed& records,
                       const CEventStream& events, bool loopbackListen)
    : m_State(state), m_Metrics(metrics), m_Records(records), m_Events(events), m_Loopback(loopbackListen)
{
}

WebResponse CWebRoutes::Route(const std::string& path, const std::string& query, const WebRequest& request) const
{
    WebResponse r;
    if (path == "/") {
        r.contentType = "text/html; charset=utf-8";
        r.body = BoardPage();
        // The page needs nothing from anywhere but this station.
        r.headers.push_back({"Content-Security-Policy",
                             "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                             "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
                             "frame-ancestors 'none'"});
    } else if (path == "/api/state") {
        r.contentType = kJson;
        r.body = m_State.SnapshotJson() + "\n";
    } else if (path == "/api/records") {
        uint64_t after;
        size_t limit;
        std::string error;
        if (!CRecordFeed::ParseQuery(query, after, limit, error))
            return JsonError(400, error);
        r.contentType = kJson;
        r.body = m_Records.Query(after, limit);
    } else if (path == "/metrics") {
        r.contentType = "text/plain; version=0.0.4; charset=utf-8";
        r.body = m_Metrics.Render();
    } else if (path == "/api/events") {
        r.contentType = "text/event-stream";
        r.stream = true;
        r.resumed = m_Events.Resume(request.lastEventId, r.streamAfter);
    } else {
        return Text(404, "Not found: " + path + " (this station serves /, /api/state, /api/events, "
                                                "/api/records and /metrics)");
    }
    return r;
}

WebResponse CWebRoutes::Handle(const WebRequest& request) const
{
    WebResponse r;
    std::string why;
    if (request.method != "GET" && request.method != "HEAD") {
        r = Text(405, "The station is read-only: GET and HEAD only.");
        r.headers.push_back({"Allow", "GET, HEAD"});
    } else if (!HostAllowed(request.host, m_Loopback, why)) {
        r = Text(403, why);
    } else if (request.target.empty() || request.target[0] != '/') {
        r = Text(400, "A request target is a path from /.");
    } else {
        const size_t q = request.target.find('?');
        r = Route(request.target.substr(0, q), q == std::string::npos ? "" : request.target.substr(q + 1), request);
    }
    r.headers.push_back({"Cache-Control", "no-store"});
    r.headers.push_back({"X-Content-Type-Options", "nosniff"});
    r.headers.push_back({"Referrer-Policy", "no-referrer"});
    r.contentLength = r.body.size();
    if (request.method == "HEAD")
        r.body.clear();
    return r;
}
