#include "StationState.h"

#include "RecordPath.h"

#include "Json.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

const char* ToneName(Tone t)
{
    switch (t) {
    case Tone::Good: return "good";
    case Tone::Bad: return "bad";
    case Tone::Warn: return "warn";
    case Tone::Plain: break;
    }
    return "plain";
}

std::string Num(double v, const char* format = "%.1f")
{
    if (!std::isfinite(v))
        return "null";
    char text[48];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string TallyJson(const ShiftTally& t)
{
    return "\"completed\":" + std::to_string(t.completed) + ",\"failed\":" + std::to_string(t.failed) +
           ",\"restarted\":" + std::to_string(t.restarted) + ",\"interrupted\":" + std::to_string(t.interrupted) +
           ",\"boxes\":" + std::to_string(t.Boxes()) + ",\"yield\":" + YieldJson(t) +
           ",\"bytes_served\":" + JsonNumber(t.served);
}

}  // namespace

int64_t WallNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string YieldJson(const ShiftTally& t)
{
    const int judged = t.completed + t.failed;
    return judged > 0 ? Num(100.0 * t.completed / judged) : "null";
}

CStationState::CStationState(StationInfo info) : m_Info(std::move(info))
{
    m_Ports.resize(m_Info.ports.size());
    for (size_t i = 0; i < m_Ports.size(); ++i) {
        const StationInfo::Port& p = m_Info.ports[i];
        PortView& v = m_Ports[i];
        v.tally.port = p.port;
        v.port = p.port;
        v.byId = p.byId;
        v.image = p.image;
        v.imageSha256 = p.sha256;
        v.imageSize = p.imageSize;
        v.sinceMs = m_Info.startMs;
    }
}

PortView& CStationState::Slot(int slot)
{
    if (static_cast<size_t>(slot) >= m_Ports.size())
        m_Ports.resize(static_cast<size_t>(slot) + 1);
    return m_Ports[static_cast<size_t>(slot)];
}

bool CStationState::Apply(const StationEvent& e)
{
    using Kind = StationEvent::Kind;
    if (e.slot < 0 || e.kind == Kind::Note)
        return false;
    const int64_t now = WallNowMs();
    std::lock_guard<std::mutex> g(m_Lock);
    PortView& v = Slot(e.slot);
    auto enter = [&](const char* state) {
        if (v.state != state)
            v.sinceMs = now;
        v.state = state;
    };
    switch (e.kind) {
    case Kind::Status:
        v.status = e.text;
        v.tone = ToneName(e.tone);
        return true;
    case Kind::Progress: {
        const bool changed = v.state != "downloading";
        enter("downloading");
        v.hasProgress = true;
        v.progress = e.progress;
        ++v.progressVersion;
        return changed;
    }
    case Kind::BoxWaiting:
        enter("waiting");
        v.error.clear();  // said of the box before
        v.hasProgress = false;
        v.progress = PortProgress();
        ++v.progressVersion;
        return true;
    case Kind::BoxEnded:
        v.tally = e.tally;
        // The box is over: its figures stay, but no rate or time left.
        v.progress.rate = 0;
        v.progress.eta = -1;
        ++v.progressVersion;
        if (e.record) {
            v.lastSeq = e.record->seq;
            switch (OutcomeOf(*e.record)) {
            case BoxOutcome::Completed: enter("completed"); break;
            case BoxOutcome::Failed: enter("failed"); break;
            case BoxOutcome::Restarted: enter("waiting"); break;
            case BoxOutcome::Interrupted: enter("stopped"); break;
            }
            v.status = e.record->status;
        }
        return true;
    case Kind::PortLost:
        enter("lost");
        v.sinceMs = e.sinceMs ? e.sinceMs : now;
        v.status = e.text;
        v.tone = "warn";
        v.hasProgress = false;
        return true;
    case Kind::PortBack: enter("waiting"); return true;
    case Kind::Error: v.error = e.text; return true;
    case Kind::Done:
        enter("done");
        v.status = e.text;
        v.tone = "plain";
        return true;
    case Kind::PortAdded:
        v.port = RecordPath(e.port);
        v.byId = e.byId;
        v.image = RecordPath(e.imagePath);
        v.imageSha256 = e.imageSha256;
        v.imageSize = e.imageSize;
        return true;
    case Kind::SetAside:
        enter("aside");
        v.sinceMs = e.sinceMs ? e.sinceMs : now;
        v.status = e.text;
        v.tone = "bad";
        v.hasProgress = false;
        return true;
    case Kind::Returned:
        enter("waiting");
        v.status = e.text;
        v.tone = "plain";
        return true;
    case Kind::Note: break;
    }
    return false;
}

void CStationState::SetEnded()
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Ended = true;
}

void CStationState::SetStationError(const std::string& text)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_StationError = text;
}

bool CStationState::Ended() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Ended;
}

std::vector<PortView> CStationState::Ports() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Ports;
}

std::string CStationState::PortJsonOf(int slot, const PortView& v) const
{
    std::string j = "{\"slot\":" + std::to_string(slot);
    j += ",\"port\":" + JsonString(v.port);
    j += ",\"by_id\":" + JsonString(v.byId);
    j += ",\"image\":" + JsonString(v.image);
    j += ",\"image_sha256\":" + JsonString(v.imageSha256);
    j += ",\"state\":" + JsonString(v.state);
    j += ",\"status\":" + JsonString(v.status);
    j += ",\"tone\":" + JsonString(v.tone);
    j += ",\"error\":" + JsonString(v.error);
    j += ",\"since\":" + JsonString(IsoUtc(v.sinceMs)) + ",\"since_ms\":" + std::to_string(v.sinceMs);
    if (v.hasProgress) {
        j += ",\"progress\":{\"percent\":" + std::to_string(v.progress.percent);
        j += ",\"requested\":" + JsonNumber(v.progress.requested);
        j += ",\"addressable\":" + std::to_string(v.progress.addressable);
        j += ",\"served\":" + JsonNumber(v.progress.served);
        j += ",\"rate\":" + Num(v.progress.rate, "%.0f");
        j += ",\"eta\":" + (v.progress.eta < 0 ? std::string("null") : Num(v.progress.eta, "%.0f")) + "}";
    } else {
        j += ",\"progress\":null";
    }
    j += "," + TallyJson(v.tally);
    j += ",\"last\":" + JsonString(v.tally.last);
    j += ",\"last_status\":" + JsonString(v.tally.lastStatus);
    j += ",\"last_seq\":" + JsonNumber(v.lastSeq);
    return j + "}";
}

std::string CStationState::PortJson(int slot) const
{
    PortView v;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        if (slot < 0 || static_cast<size_t>(slot) >= m_Ports.size())
            return "null";
        v = m_Ports[static_cast<size_t>(slot)];
    }
    return PortJsonOf(slot, v);
}

std::string CStationState::SnapshotJson() const
{
    std::vector<PortView> ports;
    bool ended;
    std::string error;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ports = m_Ports;
        ended = m_Ended;
        error = m_StationError;
    }
    const int64_t now = WallNowMs();
    const RecordContext& c = m_Info.context;
    std::string j = "{\"station\":{\"tool\":" + JsonString(c.tool) + ",\"version\":" + JsonString(c.version) +
                    ",\"host\":" + JsonString(c.host) + ",\"run_id\":" + JsonString(c.runId) +
                    ",\"name\":" + JsonString(c.station) + ",\"operator\":" + JsonString(c.operatorName) +
                    ",\"order\":" + JsonString(c.order) +
                    ",\"started\":" + JsonString(IsoUtc(m_Info.startMs)) +
                    ",\"started_ms\":" + std::to_string(m_Info.startMs) + ",\"now_ms\":" + std::to_string(now) +
                    ",\"running\":" + (ended ? "false" : "true") + ",\"error\":" + JsonString(error) + ",\"images\":[";
    std::vector<std::string> seen;
    for (const PortView& p : ports) {
        if (p.image.empty() || std::find(seen.begin(), seen.end(), p.imageSha256 + p.image) != seen.end())
            continue;
        j += std::string(seen.empty() ? "" : ",") + "{\"path\":" + JsonString(p.image) +
             ",\"sha256\":" + JsonString(p.imageSha256) + ",\"size\":" + std::to_string(p.imageSize) + "}";
        seen.push_back(p.imageSha256 + p.image);
    }
    ShiftTally total;
    for (const PortView& v : ports)
        total.AddUp(v.tally);
    const double hours = static_cast<double>(now - m_Info.startMs) / 3.6e6;
    j += "]},\"totals\":{" + TallyJson(total) +
         ",\"boxes_per_hour\":" + (hours > 0 ? Num(total.completed / hours) : std::string("null")) + "}";
    j += ",\"ports\":[";
    for (size_t i = 0; i < ports.size(); ++i)
        j += (i ? "," : "") + PortJsonOf(static_cast<int>(i), ports[i]);
    return j + "]}";
}

std::string CStationState::ProgressJson(std::vector<uint64_t>& progressSeen) const
{
    std::vector<std::pair<int, PortView>> moved;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        progressSeen.resize(m_Ports.size(), 0);
        for (size_t i = 0; i < m_Ports.size(); ++i) {
            if (m_Ports[i].progressVersion == progressSeen[i])
                continue;
            progressSeen[i] = m_Ports[i].progressVersion;
            moved.emplace_back(static_cast<int>(i), m_Ports[i]);
        }
    }
    if (moved.empty())
        return "";
    std::string j = "{\"ports\":[";
    for (size_t i = 0; i < moved.size(); ++i) {
        const PortView& v = moved[i].second;
        j += (i ? ",{\"slot\":" : "{\"slot\":") + std::to_string(moved[i].first) + ",\"state\":" + JsonString(v.state);
        if (v.hasProgress)
            j += ",\"percent\":" + std::to_string(v.progress.percent) + ",\"requested\":" +
                 JsonNumber(v.progress.requested) + ",\"addressable\":" + std::to_string(v.progress.addressable) +
                 ",\"rate\":" + Num(v.progress.rate, "%.0f") +
                 ",\"eta\":" + (v.progress.eta < 0 ? std::string("null") : Num(v.progress.eta, "%.0f"));
        j += "}";
    }
    return j + "]}";
}
