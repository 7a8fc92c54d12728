#include "EventStream.h"

#include "Json.h"

#include <cctype>

CEventStream::CEventStream(const std::string& runId, size_t capacity)
    : m_RunId(runId), m_Tag(runId.substr(0, 12)), m_Capacity(capacity < 1 ? 1 : capacity)
{
}

std::string CEventStream::Frame(const std::string& name, const std::string& data, const std::string& id)
{
    std::string f;
    if (!id.empty())
        f += "id: " + id + "\n";
    f += "event: " + name + "\n";
    // A data line ends at a newline: each line of the text is a line of its own.
    size_t at = 0;
    for (;;) {
        size_t nl = data.find('\n', at);
        f += "data: " + data.substr(at, nl == std::string::npos ? std::string::npos : nl - at) + "\n";
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    return f + "\n";
}

uint64_t CEventStream::Publish(const std::string& name, const std::string& data)
{
    std::lock_guard<std::mutex> g(m_Lock);
    const uint64_t n = ++m_Last;
    m_Events.push_back({n, Frame(name, data, m_Tag + "-" + std::to_string(n))});
    if (m_Events.size() > m_Capacity)
        m_Events.pop_front();
    return n;
}

uint64_t CEventStream::LastNumber() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Last;
}

bool CEventStream::Resume(const std::string& lastEventId, uint64_t& after) const
{
    std::lock_guard<std::mutex> g(m_Lock);
    after = m_Last;
    const std::string prefix = m_Tag + "-";
    if (lastEventId.size() <= prefix.size() || lastEventId.compare(0, prefix.size(), prefix) != 0 ||
        lastEventId.size() - prefix.size() > 19)
        return false;
    uint64_t n = 0;
    for (size_t i = prefix.size(); i < lastEventId.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(lastEventId[i])))
            return false;
        n = n * 10 + static_cast<uint64_t>(lastEventId[i] - '0');
    }
    const uint64_t oldest = m_Events.empty() ? m_Last + 1 : m_Events.front().number;
    if (n > m_Last || n + 1 < oldest)
        return false;
    after = n;
    return true;
}

bool CEventStream::Since(uint64_t& after, std::string& out) const
{
    std::lock_guard<std::mutex> g(m_Lock);
    if (after >= m_Last)
        return true;
    const uint64_t oldest = m_Events.empty() ? m_Last + 1 : m_Events.front().number;
    if (after + 1 < oldest)
        return false;
    for (size_t i = static_cast<size_t>(after + 1 - oldest); i < m_Events.size(); ++i)
        out += m_Events[i].frame;
    after = m_Last;
    return true;
}

std::string CEventStream::Hello(bool resumed) const
{
    return "retry: 2000\n" + Frame("hello", "{\"run_id\":" + JsonString(m_RunId) +
                                                ",\"resumed\":" + (resumed ? "true" : "false") + "}");
}

bool CStreamClient::Fill(const std::string& extra)
{
    if (!m_Stream.Since(m_After, m_Pending))
        return false;
    m_Pending += extra;
    return m_Pending.size() <= m_Limit;
}

std::string CStreamClient::Take()
{
    std::string out;
    out.swap(m_Pending);
    return out;
}
