// The HTTP side under load, for zv-bench station --web 1: board clients
// that stream /api/events and read everything, a scraper that fetches
// /metrics every second as Prometheus would, and a prober that times
// /api/state. Each is a thread of this process on plain sockets, so the
// figures are the CLI's, not a client library's.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct WebLoadFigures {
    int streams = 0, streamsOpen = 0;  // opened, still open at the end
    unsigned long long streamBytes = 0, streamEvents = 0;
    int scrapes = 0, scrapesOk = 0;
    int probes = 0, probesOk = 0;
    double stateP50Ms = 0, stateP99Ms = 0, stateMaxMs = 0;
};

class WebLoad {
public:
    // host:port of the station; streams board clients.
    WebLoad(const std::string& hostPort, int streams);
    ~WebLoad();
    WebLoadFigures Stop();

private:
    void Stream(int i);
    void Scrape();
    void Probe();

    std::string m_Host;
    int m_Port = 0;
    std::atomic<bool> m_Stop{false};
    std::vector<std::thread> m_Threads;
    std::vector<unsigned long long> m_Bytes, m_Events;
    std::vector<int> m_Open;
    int m_Scrapes = 0, m_ScrapesOk = 0, m_Probes = 0, m_ProbesOk = 0;
    std::vector<double> m_StateMs;
};

}  // namespace bench
