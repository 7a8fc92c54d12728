#include "Report.h"

#include "Console.h"

#include "protocol/Messages.h"

#include <algorithm>
#include <cstdio>

std::vector<std::string> Table(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& right)
{
    std::vector<size_t> width(right.size(), 0);
    for (const auto& r : rows)
        for (size_t c = 0; c < r.size(); ++c)
            width[c] = std::max(width[c], r[c].size());
    std::vector<std::string> lines;
    for (const auto& r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); ++c) {
            std::string pad(width[c] - r[c].size(), ' ');
            line += right[c] ? pad + r[c] : r[c] + pad;
            if (c + 1 < r.size())
                line += "  ";
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

namespace {

std::vector<std::string> ShiftSummaryTable(const std::vector<ShiftTally>& tallies)
{
    std::vector<std::vector<std::string>> rows = {
        {"PORT", "BOXES", "COMPLETED", "FAILED", "RESTARTED", "INTERRUPTED", "TIME", "RATE", "LAST"}};
    auto row = [](const ShiftTally& t, const std::string& last) {
        char time[32] = "-";
        if (t.seconds > 0)
            std::snprintf(time, sizeof time, "%.2f s", t.seconds);
        return std::vector<std::string>{t.port,
                                        std::to_string(t.Boxes()),
                                        std::to_string(t.completed),
                                        std::to_string(t.failed),
                                        std::to_string(t.restarted),
                                        std::to_string(t.interrupted),
                                        time,
                                        t.served > 0 && t.seconds > 0
                                            ? FormatRate(static_cast<double>(t.served) / t.seconds)
                                            : "-",
                                        last};
    };
    ShiftTally total;
    total.port = "TOTAL";
    for (const ShiftTally& t : tallies) {
        rows.push_back(row(t, t.lastStatus.empty() ? "-" : t.lastStatus));
        total.AddUp(t);
    }
    rows.push_back(row(total, ""));
    return Table(rows, {false, true, true, true, true, true, true, true, false});
}

}  // namespace

std::string PortInfoJson(const SerialPortInfo& p)
{
    return "{\"port\":" + JsonString(p.path) + ",\"by_id\":" + JsonString(p.byId) +
           ",\"usb_id\":" + JsonString(p.usbId) + ",\"usb_serial\":" + JsonString(p.usbSerial) +
           ",\"description\":" + JsonString(p.description) + ",\"note\":" + JsonString(p.note) +
           ",\"console\":" + (p.console ? "true" : "false") + "}";
}

std::vector<std::string> SummaryLines(const std::vector<BoxRecord>& records)
{
    std::vector<std::vector<std::string>> rows = {{"PORT", "RESULT", "BYTES", "ASKED", "TIME", "RATE"}};
    for (const BoxRecord& r : records) {
        std::vector<std::string> row(6);
        row[0] = r.port;
        row[1] = r.detail.empty() ? r.status : r.status + " " + r.detail;
        row[2] = std::to_string(static_cast<unsigned long long>(r.served));
        char text[64];
        std::snprintf(text, sizeof text, "%llu (%.1f%%)", static_cast<unsigned long long>(r.requested),
                      RequestedPercent(r));
        row[3] = r.addressable > 0 ? text : "-";
        if (r.transferSeconds > 0) {
            std::snprintf(text, sizeof text, "%.2f s", r.transferSeconds);
            row[4] = text;
        } else {
            row[4] = "-";
        }
        row[5] = r.served > 0 && r.transferSeconds > 0
                     ? FormatRate(static_cast<double>(r.served) / r.transferSeconds)
                     : "-";
        rows.push_back(row);
    }
    return Table(rows, {false, false, true, true, true, true});
}

std::vector<std::string> ShiftSummaryLines(const std::vector<ShiftTally>& tallies, size_t width)
{
    std::vector<std::string> lines = ShiftSummaryTable(tallies);
    std::vector<std::string> aside;
    for (const ShiftTally& t : tallies)
        if (t.setAside)
            aside.push_back(t.port + ": set aside after " + std::to_string(t.failuresInARow) +
                            " failures in a row. Check the cable and fixture.");
    const bool wide = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.size() > width; });
    if (width == 0 || !wide || tallies.size() < 1) {
        lines.insert(lines.end(), aside.begin(), aside.end());
        return lines;
    }
    std::vector<std::string> names;
    for (const ShiftTally& t : tallies)
        names.push_back(t.port);
    std::vector<ShiftTally> shortened = tallies;
    std::vector<ShortLabel> labels = DistinctLabels(names);
    for (size_t i = 0; i < shortened.size(); ++i)
        shortened[i].port = labels[i].text;
    lines = ShiftSummaryTable(shortened);
    lines.insert(lines.end(), aside.begin(), aside.end());
    return lines;
}

int CombinedExitCode(const std::vector<BoxRecord>& records)
{
    static const int kOrder[] = {130, kExitFailure, kExitFile, kExitPort, kExitTransfer, kExitTimeout};
    int worst = 0;
    for (const BoxRecord& r : records)
        if (r.result != "restarted")
            worst = std::max(worst, r.exitCode);
    if (worst == 0)
        return kExitOk;
    for (int code : kOrder)
        for (const BoxRecord& r : records)
            if (r.result != "restarted" && r.exitCode == code)
                return code;
    return worst;
}
