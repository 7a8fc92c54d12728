// Saying the report: the text for a person, the JSON object for a script,
// and the --report step itself.
#include "ShiftReport.h"

#include "Json.h"
#include "Report.h"

#include "protocol/Messages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A name from a log on the terminal: valid UTF-8, and no control character
// (C0, DEL or C1) that could move the cursor or recolour the screen.
std::string Shown(const std::string& text, const char* ifEmpty = "(none)")
{
    if (text.empty())
        return ifEmpty;
    const std::string valid = ValidUtf8(text);
    std::string out;
    for (size_t i = 0; i < valid.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(valid[i]);
        const bool c1 = c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xA0;
        if (c < 0x20 || c == 0x7f || c1) {
            out += '?';
            i += c1 ? 1 : 0;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Completed over boxes, to a tenth of a percent; never 100 % while a box
// did not complete, nor 0 % once one did.
double YieldPercent(const OutcomeCount& c)
{
    if (c.Boxes() == 0)
        return 0;
    const double tenth =
        std::round(1000.0 * static_cast<double>(c.completed) / static_cast<double>(c.Boxes())) / 10.0;
    return std::min(std::max(tenth, c.completed > 0 ? 0.1 : 0.0), c.completed < c.Boxes() ? 99.9 : 100.0);
}

// "1 record", "2 records".
std::string Count(long long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string YieldText(const OutcomeCount& c)
{
    if (c.Boxes() == 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", YieldPercent(c));
    return text;
}

std::string YieldJson(const OutcomeCount& c)
{
    if (c.Boxes() == 0)
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", YieldPercent(c));
    return text;
}

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

// Ports of more than one station are told apart by the station's name.
bool SeveralStations(const ShiftReport& r)
{
    return !r.ports.empty() && r.ports.begin()->first.first != r.ports.rbegin()->first.first;
}

std::string PortLabel(const ShiftReport& r, const ReportPort& p)
{
    return SeveralStations(r) ? Shown(p.first, "?") + ":" + Shown(p.second) : Shown(p.second);
}

std::vector<std::string> CountCells(const OutcomeCount& c, bool restarted)
{
    // The columns in the order of the shift's summary.
    std::vector<std::string> cells = {std::to_string(c.Boxes()), std::to_string(c.completed),
                                      std::to_string(c.failed)};
    if (restarted)
        cells.push_back(std::to_string(c.restarted));
    cells.push_back(std::to_string(c.interrupted));
    cells.push_back(YieldText(c));
    return cells;
}

// A table of rows named by key, in the station's columns; with a total, a
// column of restarts and a last row for the total.
template <typename Map, typename Name>
std::vector<std::string> CountTable(const char* heading, const Map& rows, const OutcomeCount* total, Name name)
{
    const bool restarted = total != nullptr;
    std::vector<std::string> header = {heading, "BOXES", "COMPLETED", "FAILED"};
    if (restarted)
        header.push_back("RESTARTED");
    header.push_back("INTERRUPTED");
    header.push_back("YIELD");
    std::vector<std::vector<std::string>> cells = {header};
    auto add = [&](const std::string& first, const OutcomeCount& c) {
        cells.push_back({first});
        for (const std::string& cell : CountCells(c, restarted))
            cells.back().push_back(cell);
    };
    for (const auto& row : rows)
        add(name(row.first), row.second);
    if (total)
        add("TOTAL", *total);
    std::vector<bool> right(header.size(), true);
    right[0] = false;
    return Table(cells, right);
}

// The failed results, most boxes first.
std::vector<std::pair<std::string, long long>> FailedResults(const ShiftReport& r)
{
    std::vector<std::pair<std::string, long long>> v;
    for (const auto& f : r.failures) {
        long long n = 0;
        for (const auto& p : f.second)
            n += p.second;
        v.emplace_back(f.first, n);
    }
    std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return v;
}

std::string CountsJson(const OutcomeCount& c)
{
    return "\"boxes\":" + std::to_string(c.Boxes()) + ",\"completed\":" + std::to_string(c.completed) +
           ",\"failed\":" + std::to_string(c.failed) + ",\"interrupted\":" + std::to_string(c.interrupted) +
           ",\"restarted\":" + std::to_string(c.restarted) + ",\"yield_percent\":" + YieldJson(c);
}

template <typename Map, typename Key>
std::string RowsJson(const Map& rows, Key key)
{
    std::string j = "[";
    for (const auto& row : rows)
        j += (j.size() > 1 ? ",{" : "{") + key(row.first) + "," + CountsJson(row.second) + "}";
    return j + "]";
}

std::string PortJson(const ReportPort& p)
{
    return "\"station\":" + JsonString(p.first) + ",\"port\":" + JsonString(p.second);
}

}  // namespace

std::vector<std::string> ShiftReportLines(const ShiftReport& r)
{
    std::vector<std::string> out;
    const OutcomeCount& t = r.total;
    out.push_back("Shift report: " + Count(static_cast<long long>(r.logs.size()), "log", "logs") + ", " +
                  Count(r.records, "record", "records") +
                  (r.records ? ", " + r.first + " to " + r.last : std::string()));
    out.push_back("Boxes: " + std::to_string(t.Boxes()) + " (completed " + std::to_string(t.completed) +
                  ", failed " + std::to_string(t.failed) + ", interrupted " + std::to_string(t.interrupted) +
                  ")" + (t.restarted ? ", and " + Count(t.restarted, "restart", "restarts") +
                                            " (a box reset: its next record counts)"
                                      : std::string()));
    if (r.notBoxes)
        out.push_back("Not boxes: " + Count(r.notBoxes, "record", "records") + " of runs that ended before any port");
    if (r.duplicates)
        out.push_back("Read twice: " + Count(r.duplicates, "record", "records") + " (the same id), counted once");
    if (r.skippedLines)
        out.push_back("Passed over: " + Count(r.skippedLines, "line that is", "lines that are") +
                      " no record (named on stderr)");
    out.push_back("Yield: " + YieldText(t) +
                  (t.Boxes() ? " (" + std::to_string(t.completed) + " of " + std::to_string(t.Boxes()) + ")" : ""));
    double median = 0, p90 = 0;
    if (CycleTimes(r, median, p90))
        out.push_back("Cycle time of the completed boxes: median " + Seconds(median) + ", 90th percentile " +
                      Seconds(p90));
    else
        out.push_back("Cycle time: - (no completed box)");
    if (t.Boxes() == 0 && t.restarted == 0)
        return out;

    auto add = [&out](const std::vector<std::string>& table) {
        out.push_back("");
        out.insert(out.end(), table.begin(), table.end());
    };
    add(CountTable("PORT", r.ports, &t, [&r](const ReportPort& p) { return PortLabel(r, p); }));
    add(CountTable("HOUR (UTC)", r.hours, nullptr,
                   [](const std::string& h) { return h.substr(0, 10) + " " + h.substr(11) + ":00"; }));
    const std::vector<std::pair<std::string, long long>> failed = FailedResults(r);
    if (!failed.empty()) {
        std::vector<std::vector<std::string>> cells = {{"FAILED", "BOXES", "PORTS"}};
        for (const auto& f : failed) {
            std::string ports;
            for (const auto& p : r.failures.at(f.first))
                ports += (ports.empty() ? "" : ", ") + PortLabel(r, p.first) + " (" + std::to_string(p.second) + ")";
            cells.push_back({Shown(f.first), std::to_string(f.second), ports});
        }
        add(Table(cells, {false, true, false}));
    }
    add(CountTable("OPERATOR", r.operators, nullptr, [](const std::string& s) { return Shown(s); }));
    add(CountTable("WORK ORDER", r.orders, nullptr, [](const std::string& s) { return Shown(s); }));
    std::vector<std::vector<std::string>> images = {{"IMAGE SHA-256", "FILE", "BOXES", "COMPLETED"}};
    for (const auto& i : r.images)
        images.push_back({Shown(i.first.first, "(not recorded)"), Shown(i.first.second, "-"),
                          std::to_string(i.second.Boxes()), std::to_string(i.second.completed)});
    add(Table(images, {false, false, true, true}));
    return out;
}

std::string ShiftReportJson(const ShiftReport& r)
{
    std::string j = "{\"logs\":[";
    for (size_t i = 0; i < r.logs.size(); ++i)
        j += (i ? "," : "") + JsonString(r.logs[i]);
    j += "],\"records\":" + std::to_string(r.records) + ",\"not_boxes\":" + std::to_string(r.notBoxes);
    j += ",\"duplicates\":" + std::to_string(r.duplicates);
    j += ",\"skipped_lines\":" + std::to_string(r.skippedLines) + ",\"skipped\":[";
    for (size_t i = 0; i < r.skipped.size(); ++i)
        j += (i ? ",{" : "{") + std::string("\"file\":") + JsonString(r.skipped[i].file) +
             ",\"line\":" + std::to_string(r.skipped[i].line) + ",\"why\":" + JsonString(r.skipped[i].why) + "}";
    j += "],\"first\":" + JsonString(r.first) + ",\"last\":" + JsonString(r.last) + "," + CountsJson(r.total);
    double median = 0, p90 = 0;
    const bool cycles = CycleTimes(r, median, p90);
    j += ",\"cycle_seconds\":{\"boxes\":" + std::to_string(r.cycleSeconds.size()) +
         ",\"median\":" + (cycles ? JsonSeconds(median) : "null") + ",\"p90\":" + (cycles ? JsonSeconds(p90) : "null") +
         "}";
    j += ",\"ports\":" + RowsJson(r.ports, PortJson);
    j += ",\"hours\":" + RowsJson(r.hours, [](const std::string& h) { return "\"hour\":" + JsonString(h + ":00Z"); });
    j += ",\"failures\":[";
    bool first = true;
    for (const auto& f : FailedResults(r)) {
        j += (first ? "{" : ",{") + std::string("\"result\":") + JsonString(f.first) +
             ",\"boxes\":" + std::to_string(f.second) + ",\"ports\":[";
        bool firstPort = true;
        for (const auto& p : r.failures.at(f.first)) {
            j += (firstPort ? "{" : ",{") + PortJson(p.first) + ",\"boxes\":" + std::to_string(p.second) + "}";
            firstPort = false;
        }
        j += "]}";
        first = false;
    }
    j += "]";
    j += ",\"operators\":" +
         RowsJson(r.operators, [](const std::string& s) { return "\"operator\":" + JsonString(s); });
    j += ",\"orders\":" + RowsJson(r.orders, [](const std::string& s) { return "\"order\":" + JsonString(s); });
    j += ",\"images\":" + RowsJson(r.images, [](const std::pair<std::string, std::string>& i) {
        return "\"image_sha256\":" + JsonString(i.first) + ",\"file\":" + JsonString(i.second);
    });
    return j + "}";
}

int RunShiftReport(const std::vector<std::string>& logs, bool json)
{
    ShiftReport report;
    std::string error;
    if (!ReadRecordLogs(logs, report, error)) {
        std::fprintf(stderr, "zurivavave-cli: %s\n", Shown(error, "").c_str());
        return kExitFile;
    }
    for (const SkippedLine& s : report.skipped)
        std::fprintf(stderr, "zurivavave-cli: %s:%s: %s; line passed over\n", Shown(s.file).c_str(),
                     std::to_string(s.line).c_str(), Shown(s.why).c_str());
    const long long unnamed = report.skippedLines - static_cast<long long>(report.skipped.size());
    if (unnamed > 0)
        std::fprintf(stderr, "zurivavave-cli: and %s more passed over\n",
                     Count(unnamed, "line that is no record", "lines that are no record").c_str());
    if (report.duplicates)
        std::fprintf(stderr, "zurivavave-cli: %s read a second time (the same id): counted once\n",
                     Count(report.duplicates, "record", "records").c_str());
    if (json) {
        std::printf("%s\n", ShiftReportJson(report).c_str());
    } else {
        for (const std::string& line : ShiftReportLines(report))
            std::printf("%s\n", line.c_str());
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}
