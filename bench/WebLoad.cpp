#include "WebLoad.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

int Connect(const std::string& host, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Send(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One GET with Connection: close, read to the end; true on a 200.
bool Get(const std::string& host, int port, const std::string& path)
{
    int fd = Connect(host, port);
    if (fd < 0)
        return false;
    std::string reply;
    bool ok = Send(fd, "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                           "\r\nConnection: close\r\n\r\n");
    char buf[16384];
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (ok && Clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply.rfind("HTTP/1.1 200 ", 0) == 0;
}

void SleepUntil(Clock::time_point t, const std::atomic<bool>& stop)
{
    while (!stop.load() && Clock::now() < t)
        std::this_thread::sleep_for(std::min<Clock::duration>(t - Clock::now(), std::chrono::milliseconds(50)));
}

}  // namespace

WebLoad::WebLoad(const std::string& hostPort, int streams)
    : m_Bytes(static_cast<size_t>(streams)), m_Events(static_cast<size_t>(streams)),
      m_Open(static_cast<size_t>(streams))
{
    const size_t colon = hostPort.rfind(':');
    m_Host = hostPort.substr(0, colon);
    m_Port = std::atoi(hostPort.c_str() + colon + 1);
    for (int i = 0; i < streams; ++i)
        m_Threads.emplace_back([this, i] { Stream(i); });
    m_Threads.emplace_back([this] { Scrape(); });
    m_Threads.emplace_back([this] { Probe(); });
}

WebLoad::~WebLoad() { Stop(); }

void WebLoad::Stream(int i)
{
    int fd = Connect(m_Host, m_Port);
    if (fd < 0 || !Send(fd, "GET /api/events HTTP/1.1\r\nHost: " + m_Host + ":" + std::to_string(m_Port) +
                                "\r\nAccept: text/event-stream\r\n\r\n")) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    m_Open[static_cast<size_t>(i)] = 1;
    // A board reads everything as it comes; events are counted by their
    // "event: " lines, across reads too.
    std::string tail;
    char buf[16384];
    while (!m_Stop.load()) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            m_Open[static_cast<size_t>(i)] = 0;
            break;
        }
        m_Bytes[static_cast<size_t>(i)] += static_cast<unsigned long long>(n);
        std::string text = tail + std::string(buf, static_cast<size_t>(n));
        for (size_t at = text.find("\nevent: "); at != std::string::npos; at = text.find("\nevent: ", at + 1))
            if (at >= tail.size() || tail.size() - at < 8)
                ++m_Events[static_cast<size_t>(i)];
        tail = text.substr(text.size() > 8 ? text.size() - 8 : 0);
    }
    ::close(fd);
}

void WebLoad::Scrape()
{
    auto next = Clock::now();
    while (!m_Stop.load()) {
        ++m_Scrapes;
        m_ScrapesOk += Get(m_Host, m_Port, "/metrics");
        next += std::chrono::seconds(1);
        SleepUntil(next, m_Stop);
    }
}

void WebLoad::Probe()
{
    auto next = Clock::now();
    while (!m_Stop.load()) {
        const auto t0 = Clock::now();
        ++m_Probes;
        if (Get(m_Host, m_Port, "/api/state")) {
            ++m_ProbesOk;
            m_StateMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        next += std::chrono::milliseconds(100);
        SleepUntil(next, m_Stop);
    }
}

WebLoadFigures WebLoad::Stop()
{
    m_Stop.store(true);
    for (std::thread& t : m_Threads)
        if (t.joinable())
            t.join();
    WebLoadFigures f;
    f.streams = static_cast<int>(m_Open.size());
    for (size_t i = 0; i < m_Open.size(); ++i) {
        f.streamsOpen += m_Open[i];
        f.streamBytes += m_Bytes[i];
        f.streamEvents += m_Events[i];
    }
    f.scrapes = m_Scrapes;
    f.scrapesOk = m_ScrapesOk;
    f.probes = m_Probes;
    f.probesOk = m_ProbesOk;
    std::vector<double> ms = m_StateMs;
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) {
        return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
    };
    f.stateP50Ms = at(0.5);
    f.stateP99Ms = at(0.99);
    f.stateMaxMs = ms.empty() ? 0.0 : ms.back();
    return f;
}

}  // namespace bench
