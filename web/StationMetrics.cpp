#include "StationMetrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A label value as the exposition format escapes it.
std::string Label(const std::string& v)
{
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Value(double v)
{
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

void Family(std::string& out, const char* name, const char* type, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// The states a port can be in; each port has one series per state, 1 for
// the one it is in.
const char* const kStates[] = {"waiting", "downloading", "completed", "failed", "lost", "aside", "done", "stopped"};

}  // namespace

const std::array<double, 12>& CStationMetrics::Buckets()
{
    static const std::array<double, 12> b = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1200, 3600};
    return b;
}

CStationMetrics::CStationMetrics(const CStationState& state) : m_State(state)
{
    m_Ports.resize(state.Info().ports.size());
}

void CStationMetrics::Apply(const StationEvent& e)
{
    if (e.kind != StationEvent::Kind::BoxEnded || !e.record || e.slot < 0)
        return;
    const BoxRecord& r = *e.record;
    std::lock_guard<std::mutex> g(m_Lock);
    if (static_cast<size_t>(e.slot) >= m_Ports.size())
        m_Ports.resize(static_cast<size_t>(e.slot) + 1);
    PortFigures& f = m_Ports[static_cast<size_t>(e.slot)];
    ++f.results[r.result];
    const double d = std::isfinite(r.duration) && r.duration > 0 ? r.duration : 0;
    size_t b = 0;
    while (b < Buckets().size() && d > Buckets()[b])
        ++b;
    if (b < Buckets().size())
        ++f.buckets[b];
    f.durationSum += d;
    ++f.durationCount;
    f.served += r.served;
    f.rerequests += r.rerequests;
    f.badFrames += r.badFrames;
}

std::string CStationMetrics::Render() const
{
    std::vector<PortFigures> ports;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ports = m_Ports;
    }
    const StationInfo& info = m_State.Info();
    const std::vector<PortView> views = m_State.Ports();
    ports.resize(std::max(ports.size(), views.size()));
    auto portOf = [&](size_t i) { return Label(i < views.size() ? views[i].port : ""); };

    std::string out;
    Family(out, "zurivavave_info", "gauge", "The tool's version, the station and the image served; always 1.");
    std::vector<std::string> images;
    for (const StationInfo::Port& p : info.ports) {
        if (std::find(images.begin(), images.end(), p.sha256) != images.end())
            continue;
        images.push_back(p.sha256);
        out += "zurivavave_info{version=\"" + Label(info.context.version) + "\",host=\"" +
               Label(info.context.host) + "\",run_id=\"" + Label(info.context.runId) + "\",image=\"" +
               Label(p.image) + "\",image_sha256=\"" + Label(p.sha256) + "\"} 1\n";
    }
    Family(out, "zurivavave_start_time_seconds", "gauge", "When this run of the station started, Unix time.");
    char start[40];
    std::snprintf(start, sizeof start, "%lld.%03d", static_cast<long long>(info.startMs / 1000),
                  static_cast<int>(info.startMs % 1000));
    out += std::string("zurivavave_start_time_seconds ") + start + "\n";

    Family(out, "zurivavave_boxes_total", "counter", "Boxes ended, by port and result (the record's result).");
    for (size_t i = 0; i < ports.size(); ++i) {
        std::map<std::string, uint64_t> results = ports[i].results;
        results.emplace("completed", 0);  // present from the start, so a rate has a base
        for (const auto& r : results)
            out += "zurivavave_boxes_total{port=\"" + portOf(i) + "\",result=\"" + Label(r.first) + "\"} " +
                   std::to_string(r.second) + "\n";
    }
    Family(out, "zurivavave_box_duration_seconds", "histogram",
           "Seconds from a box's greeting to its end, by port.");
    for (size_t i = 0; i < ports.size(); ++i) {
        const PortFigures& f = ports[i];
        uint64_t cumulative = 0;
        for (size_t b = 0; b < Buckets().size(); ++b) {
            cumulative += f.buckets[b];
            out += "zurivavave_box_duration_seconds_bucket{port=\"" + portOf(i) + "\",le=\"" + Value(Buckets()[b]) +
                   "\"} " + std::to_string(cumulative) + "\n";
        }
        out += "zurivavave_box_duration_seconds_bucket{port=\"" + portOf(i) + "\",le=\"+Inf\"} " +
               std::to_string(f.durationCount) + "\n";
        out += "zurivavave_box_duration_seconds_sum{port=\"" + portOf(i) + "\"} " + Value(f.durationSum) + "\n";
        out += "zurivavave_box_duration_seconds_count{port=\"" + portOf(i) + "\"} " +
               std::to_string(f.durationCount) + "\n";
    }
    struct Counter {
        const char* name;
        const char* help;
        uint64_t PortFigures::*field;
    };
    const Counter counters[] = {
        {"zurivavave_served_bytes_total", "Bytes sent in data replies to ended boxes, by port.", &PortFigures::served},
        {"zurivavave_rerequests_total", "Requests for a block already served, by port.", &PortFigures::rerequests},
        {"zurivavave_bad_frames_total", "Frames from a box with a wrong checksum, by port.", &PortFigures::badFrames},
    };
    for (const Counter& c : counters) {
        Family(out, c.name, "counter", c.help);
        for (size_t i = 0; i < ports.size(); ++i)
            out += std::string(c.name) + "{port=\"" + portOf(i) + "\"} " + std::to_string(ports[i].*c.field) + "\n";
    }
    Family(out, "zurivavave_port_state", "gauge", "1 for the state each port is in, 0 for the others.");
    for (size_t i = 0; i < views.size(); ++i)
        for (const char* s : kStates)
            out += "zurivavave_port_state{port=\"" + portOf(i) + "\",state=\"" + s + "\"} " +
                   (views[i].state == s ? "1" : "0") + "\n";
    return out;
}
