#include "BoxRecord.h"

#include "Json.h"

#include <cmath>
#include <cstdio>

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian), without the
// C library's time zone state.
void CivilFromDays(int64_t days, int& y, unsigned& m, unsigned& d)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

}  // namespace

std::string IsoUtc(int64_t unixMs)
{
    int64_t secs = unixMs >= 0 ? unixMs / 1000 : (unixMs - 999) / 1000;
    int ms = static_cast<int>(unixMs - secs * 1000);
    int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    int sod = static_cast<int>(secs - days * 86400);
    int y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", y, m, d, sod / 3600, sod / 60 % 60,
                  sod % 60, ms);
    return text;
}

double RequestedPercent(const BoxRecord& r)
{
    if (r.addressable <= 0)
        return 0.0;
    double p = 100.0 * static_cast<double>(r.requested) / static_cast<double>(r.addressable);
    // One decimal, never rounded up to a full 100 that was not reached.
    double tenth = std::floor(p * 10.0) / 10.0;
    return tenth;
}

std::string RecordJson(const BoxRecord& r, const RecordContext& c)
{
    char percent[16];
    std::snprintf(percent, sizeof percent, "%.1f", RequestedPercent(r));
    std::string j = "{";
    // schema and tool open every record of every schema: that is how a log
    // of ours is known; seq follows at once, for a reader that seeks it.
    j += "\"schema\":" + std::to_string(kRecordSchema);
    j += ",\"tool\":" + JsonString(c.tool);
    j += ",\"seq\":" + JsonNumber(r.seq);
    j += ",\"id\":" + JsonString(r.id);
    j += ",\"run_id\":" + JsonString(c.runId);
    j += ",\"version\":" + JsonString(c.version);
    j += ",\"host\":" + JsonString(c.host);
    j += ",\"station\":" + JsonString(c.station);
    j += ",\"operator\":" + JsonString(c.operatorName);
    j += ",\"order\":" + JsonString(c.order);
    j += ",\"box\":" + std::to_string(r.box);
    j += ",\"start\":" + JsonString(IsoUtc(r.startMs));
    j += ",\"end\":" + JsonString(IsoUtc(r.endMs));
    j += ",\"duration\":" + JsonSeconds(r.duration);
    j += ",\"port\":" + JsonString(r.port);
    j += ",\"port_by_id\":" + JsonString(r.portById);
    j += ",\"usb_serial\":" + JsonString(r.usbSerial);
    j += ",\"hello\":" + JsonString(r.hello);
    j += ",\"hello_text\":" + JsonString(r.helloText);
    j += ",\"speed\":" + std::to_string(r.speed);
    j += ",\"file\":" + JsonString(r.file);
    j += ",\"file_size\":" + std::to_string(r.fileSize);
    j += ",\"addressable\":" + std::to_string(r.addressable);
    j += ",\"sha256\":" + JsonString(r.sha256);
    j += ",\"sha256_bytes\":" + JsonNumber(r.sha256Bytes);
    j += ",\"image_sha256\":" + JsonString(r.imageSha256);
    j += ",\"image_changed\":" + std::string(r.imageChanged ? "true" : "false");
    j += ",\"result\":" + JsonString(r.result);
    j += ",\"exit_code\":" + std::to_string(r.exitCode);
    j += ",\"status\":" + JsonString(r.status);
    j += ",\"detail\":" + JsonString(r.detail);
    j += ",\"bytes_served\":" + JsonNumber(r.served);
    j += ",\"bytes_requested\":" + JsonNumber(r.requested);
    j += ",\"requested_percent\":" + std::string(percent);
    j += ",\"blocks\":" + JsonNumber(r.blocks);
    j += ",\"requests\":" + JsonNumber(r.requests);
    j += ",\"rerequests\":" + JsonNumber(r.rerequests);
    j += ",\"bad_frames\":" + JsonNumber(r.badFrames);
    j += ",\"regreetings\":" + JsonNumber(r.regreetings);
    j += ",\"elapsed\":" + JsonSeconds(r.elapsed);
    j += ",\"transfer_seconds\":" + JsonSeconds(r.transferSeconds);
    return j + "}";
}

const char* RecordSchemaHelp()
{
    return "  One object per line (JSON Lines), UTF-8; bytes of a name that are not\n"
           "  UTF-8 become U+FFFD. Keys (schema 2):\n"
           "    schema             2\n"
           "    seq                1, 2, ... one more per record of the log, never back\n"
           "                       (a run goes on from the highest in its log); 0\n"
           "                       for the records of a run that ended before a port\n"
           "    id                 unique whatever the log: the run's id and the seq\n"
           "    run_id             unique per run\n"
           "    tool, version      zurivavave-cli and its version\n"
           "    host               the station's host name\n"
           "    station            --station, default the host name\n"
           "    operator, order    --operator and --order (\"\" when not given)\n"
           "    box                1, 2, ... boxes ended on this port in this run\n"
           "    start, end         UTC, ISO 8601 with milliseconds; start is the box's\n"
           "                       greeting (or when the port began waiting)\n"
           "    duration           seconds from start to end (monotonic clock)\n"
           "    port, port_by_id   the port as served (an absolute path) and its\n"
           "                       /dev/serial/by-id name\n"
           "    usb_serial         the adapter's USB serial number (\"\" if unknown)\n"
           "    hello              the payload of the box's greeting, hex (\"\" if empty);\n"
           "                       hello_text: the same as text when all of it is\n"
           "                       printable ASCII, else \"\"\n"
           "    speed              baud\n"
           "    file, file_size    the image's absolute path and size in bytes\n"
           "    addressable        bytes the box can reach (the file, at most\n"
           "                       16 MiB + 254 bytes)\n"
           "    image_sha256       SHA-256 of those bytes, read once when the run\n"
           "                       started: every box of a run is served that copy\n"
           "    image_changed      true once the file on disk changed during the run\n"
           "                       (the run still serves the copy it read)\n"
           "    sha256             SHA-256 of what the box received: all it can reach\n"
           "                       once it received every byte (in any order), else\n"
           "                       the part received without a gap from offset 0;\n"
           "                       sha256_bytes: how many bytes it covers\n"
           "    result             completed, incomplete, file_error, size_over,\n"
           "                       read_error, port_lost, timeout, no_box, restarted,\n"
           "                       interrupted, port_error, usage_error, not_served\n"
           "                       (not opened: the run ended first, through another\n"
           "                       port's or image's fault, which its record shows)\n"
           "    exit_code          the exit code this box alone would give\n"
           "    status             the last status text; detail: what happened\n"
           "    bytes_served       bytes sent in data replies\n"
           "    bytes_requested    distinct bytes of the file the box asked for;\n"
           "                       requested_percent: their share of addressable\n"
           "    blocks             data replies; requests: frames with a right\n"
           "                       checksum; rerequests: requests for a block already\n"
           "                       served; bad_frames: frames with a wrong checksum;\n"
           "                       regreetings: hellos that did not start it over\n"
           "    elapsed            seconds from the start of waiting to the end;\n"
           "                       transfer_seconds: from the box's first frame\n";
}
