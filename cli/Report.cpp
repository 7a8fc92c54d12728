#include "Report.h"

#include "Console.h"

#include <algorithm>
#include <cstdio>

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

namespace {

std::string Number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

std::string Number(unsigned long long v) { return std::to_string(v); }

}  // namespace

std::string OutcomeJson(const PortOutcome& o, uint32_t speed, const std::string& file, long long fileSize)
{
    std::string j = "{";
    j += "\"port\":" + JsonString(o.port);
    j += ",\"speed\":" + std::to_string(speed);
    j += ",\"file\":" + JsonString(file);
    j += ",\"file_size\":" + std::to_string(fileSize);
    j += ",\"result\":" + JsonString(o.result);
    j += ",\"exit_code\":" + std::to_string(o.exitCode);
    j += ",\"status\":" + JsonString(o.status);
    j += ",\"detail\":" + JsonString(o.detail);
    j += ",\"bytes_served\":" + Number(static_cast<unsigned long long>(o.served));
    j += ",\"blocks\":" + Number(static_cast<unsigned long long>(o.blocks));
    j += ",\"requests\":" + Number(static_cast<unsigned long long>(o.requests));
    j += ",\"bad_frames\":" + Number(static_cast<unsigned long long>(o.badFrames));
    j += ",\"elapsed\":" + Number(o.elapsed);
    j += ",\"transfer_seconds\":" + Number(o.transferSeconds);
    return j + "}";
}

std::string PortInfoJson(const SerialPortInfo& p)
{
    return "{\"port\":" + JsonString(p.path) + ",\"by_id\":" + JsonString(p.byId) +
           ",\"usb_id\":" + JsonString(p.usbId) + ",\"description\":" + JsonString(p.description) +
           ",\"note\":" + JsonString(p.note) + "}";
}

std::vector<std::string> SummaryLines(const std::vector<PortOutcome>& outcomes)
{
    struct Row {
        std::string cells[5];
    };
    std::vector<Row> rows;
    rows.push_back(Row{{"PORT", "RESULT", "BYTES", "TIME", "RATE"}});
    for (const PortOutcome& o : outcomes) {
        Row r;
        r.cells[0] = o.port;
        r.cells[1] = o.detail.empty() ? o.status : o.status + " " + o.detail;
        r.cells[2] = std::to_string(static_cast<unsigned long long>(o.served));
        char text[32];
        if (o.transferSeconds > 0) {
            std::snprintf(text, sizeof text, "%.2f s", o.transferSeconds);
            r.cells[3] = text;
        } else {
            r.cells[3] = "-";
        }
        r.cells[4] = o.served > 0 && o.transferSeconds > 0
                         ? FormatRate(static_cast<double>(o.served) / o.transferSeconds)
                         : "-";
        rows.push_back(r);
    }
    size_t width[5] = {};
    for (const Row& r : rows)
        for (int c = 0; c < 5; ++c)
            width[c] = std::max(width[c], r.cells[c].size());
    std::vector<std::string> lines;
    for (const Row& r : rows) {
        std::string line;
        for (int c = 0; c < 5; ++c) {
            std::string cell = r.cells[c];
            // Numbers right-aligned, text left-aligned.
            bool right = c >= 2;
            std::string pad(width[c] - cell.size(), ' ');
            line += right ? pad + cell : cell + (c < 4 ? pad : "");
            if (c < 4)
                line += "  ";
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

int CombinedExitCode(const std::vector<PortOutcome>& outcomes)
{
    static const int kOrder[] = {CCliHost::kExitInterrupted, kExitFailure, kExitFile, kExitPort,
                                 kExitTransfer, kExitTimeout};
    int worst = 0;
    for (const PortOutcome& o : outcomes)
        worst = std::max(worst, o.exitCode);
    if (worst == 0)
        return kExitOk;
    for (int code : kOrder)
        for (const PortOutcome& o : outcomes)
            if (o.exitCode == code)
                return code;
    return worst;
}
