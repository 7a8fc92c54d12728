#include "RecordFeed.h"

#include "RecordLogReader.h"

#include <algorithm>
#include <cctype>

CRecordFeed::CRecordFeed(const std::string& logPath) : m_LogPath(logPath)
{
    if (!m_LogPath.empty())
        m_Committed = HighestSeq(m_LogPath);
}

void CRecordFeed::Add(uint64_t seq, const std::string& line)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Committed = std::max(m_Committed, seq);
    if (m_LogPath.empty() && seq > 0) {
        m_Lines.push_back(line);
        m_Seqs.push_back(seq);
    }
}

bool CRecordFeed::ParseQuery(const std::string& query, uint64_t& after, size_t& limit, std::string& error)
{
    after = 0;
    limit = kDefaultLimit;
    size_t at = 0;
    while (at <= query.size()) {
        size_t amp = query.find('&', at);
        if (amp == std::string::npos)
            amp = query.size();
        const std::string pair = query.substr(at, amp - at);
        at = amp + 1;
        const size_t eq = pair.find('=');
        const std::string key = pair.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
        if (key != "after" && key != "limit")
            continue;  // unknown keys are left to newer clients
        if (value.empty() || value.size() > 19 ||
            !std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
            error = key + "=" + value + ": not a whole number";
            return false;
        }
        const uint64_t v = std::stoull(value);
        if (key == "after") {
            after = v;
        } else {
            if (v < 1 || v > kMaxLimit) {
                error = "limit=" + value + ": give 1 to " + std::to_string(kMaxLimit);
                return false;
            }
            limit = static_cast<size_t>(v);
        }
    }
    return true;
}

std::string CRecordFeed::Query(uint64_t after, size_t limit) const
{
    std::vector<std::string> lines;
    bool more = false;
    uint64_t committed;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        committed = m_Committed;
        if (m_LogPath.empty()) {
            auto from = std::upper_bound(m_Seqs.begin(), m_Seqs.end(), after);
            for (auto it = from; it != m_Seqs.end(); ++it) {
                if (lines.size() >= limit) {
                    more = true;
                    break;
                }
                lines.push_back(m_Lines[static_cast<size_t>(it - m_Seqs.begin())]);
            }
        }
    }
    if (!m_LogPath.empty()) {
        lines = RecordsAfter(m_LogPath, after, limit, more);
        // A line past the last record said to have ended may still be
        // on its way to the disk: it is offered next time.
        while (!lines.empty() && SeqOf(lines.back()) > committed) {
            lines.pop_back();
            more = false;
        }
    }
    uint64_t last = after;
    std::string j = "{\"records\":[";
    for (size_t i = 0; i < lines.size(); ++i) {
        j += (i ? ",\n" : "\n") + lines[i];
        last = std::max(last, SeqOf(lines[i]));
    }
    j += "\n],\"after\":" + std::to_string(after) + ",\"last_seq\":" + std::to_string(last) +
         ",\"more\":" + (more ? "true" : "false") + "}\n";
    return j;
}
