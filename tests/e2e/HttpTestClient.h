// A client of the station's HTTP side for the end-to-end tests (Beast,
// synchronous, every read bounded by a deadline): plain GETs, an event
// stream read as it comes, and a page in headless Chromium driven over
// the DevTools protocol.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

struct HttpReply {
    int status = 0;  // 0: no answer (the error says why)
    std::string body;
    std::string error;
};

// "http://127.0.0.1:8080/" -> host and port.
bool SplitUrl(const std::string& url, std::string& host, std::string& port);

HttpReply HttpGet(const std::string& url, const std::string& target,
                  const std::vector<std::pair<std::string, std::string>>& headers = {}, int timeoutMs = 10000);

// One server-sent event.
struct SseEvent {
    std::string id, name, data;
};

// An open /api/events stream.
class SseReader {
public:
    SseReader(const std::string& url, const std::string& lastEventId);
    ~SseReader();
    bool Ok() const;
    // Reads until done(event) says so, the stream ends or timeoutMs
    // passes; every event read goes to events. true when done said so.
    bool ReadUntil(const std::function<bool(const SseEvent&)>& done, std::vector<SseEvent>& events, int timeoutMs);

private:
    struct Impl;
    std::unique_ptr<Impl> m_Impl;
};

// One page of a browser's DevTools endpoint.
class DevToolsPage {
public:
    // ws://127.0.0.1:PORT/devtools/page/ID
    explicit DevToolsPage(const std::string& webSocketUrl);
    ~DevToolsPage();
    bool Ok() const;
    // Runtime.evaluate of a JavaScript expression whose value is a string.
    std::string Evaluate(const std::string& expression, int timeoutMs = 10000);
    // Page.captureScreenshot, the PNG's bytes.
    std::string Screenshot(int timeoutMs = 20000);

private:
    std::string Call(const std::string& method, const std::string& params, int timeoutMs);
    struct Impl;
    std::unique_ptr<Impl> m_Impl;
};

}  // namespace e2e
