#include "Preflight.h"

#include "FileIdentity.h"
#include "HttpServer.h"
#include "PortList.h"
#include "RecordLogReader.h"
#include "RunSetup.h"
#include "Terminal.h"

#include "serial/SerialComm.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#ifndef ZV_VERSION
#define ZV_VERSION "1.0.4"
#endif

namespace {

// A record with its line ending is a little under a kilobyte.
constexpr double kRecordBytes = 1024.0;
// Room for this many records is room for a shift of a station.
constexpr double kShiftRecords = 10000.0;

class Checklist {
public:
    void Ok(const std::string& what) { Line("[ ok ] ", what); }
    void NotApplicable(const std::string& what) { Line("[ -- ] ", what); }
    void Fail(const std::string& what, const std::string& fix)
    {
        ++m_Failures;
        Line("[FAIL] ", what + (fix.empty() ? "" : "\n       fix: " + fix));
    }
    int Failures() const { return m_Failures; }

private:
    static void Line(const char* mark, const std::string& text) { std::printf("%s%s\n", mark, text.c_str()); }
    int m_Failures = 0;
};

std::string Mib(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

void CheckImages(const CliOptions& options, Checklist& list)
{
    std::set<std::string> seen;
    for (const PortArgument& a : options.ports) {
        const std::string file = a.file.empty() ? options.file : a.file;
        if (!seen.insert(file).second)
            continue;
        std::string why;
        std::shared_ptr<CPinnedImage> image = LoadImage(file, why);
        if (!image) {
            list.Fail("image " + file + ": " + why, "name a readable image file");
            continue;
        }
        const long long size = image->FileSize(), reach = image->Reachable();
        std::string text = "image " + file + ": " + std::to_string(size) + " bytes, SHA-256 " + image->Sha256();
        if (size > reach)
            list.Fail(text + "; a box reaches only its first " + std::to_string(reach) + " bytes (24-bit offsets)",
                      "an image of at most 16 MiB + 254 bytes");
        else
            list.Ok(text + "; a box reaches all of it");
        if (!options.expectSha256.empty()) {
            if (image->Sha256() == options.expectSha256 || image->WholeFileSha256() == options.expectSha256)
                list.Ok("image " + file + " is the approved one (--expect-sha256)");
            else
                list.Fail("image " + file + " is not the approved " + options.expectSha256,
                          "serve the approved build, or approve this one");
        }
    }
}

void CheckPort(const std::string& port, const CliOptions& options, Checklist& list)
{
    if (!PortIsPresent(port)) {
        list.Fail("port " + port + ": not there", "plug its adapter in; 'zurivavave-cli --list-ports' shows the ports" +
                                                      std::string(options.loop ? " (a shift would wait for it)" : ""));
        return;
    }
    CSerialComm serial;
    serial.SetReportToStderr(true);
    serial.SetNoticeSink([](const std::string&) {});
    errno = 0;
    if (!serial.Open(port.c_str(), static_cast<uint32_t>(options.speed), 0)) {
        const int err = errno;
        const std::string why = serial.OpenError().empty() ? std::string("cannot be opened") : serial.OpenError();
        std::string fix = "stop the program that holds it";
#ifndef _WIN32
        if (err == EACCES)
            fix = "add the user to the group that owns it (on Debian: sudo usermod -aG dialout $USER), then log in "
                  "again";
        else if (err != EBUSY)
            fix = "check the adapter and its driver";
#else
        (void)err;
#endif
        list.Fail("port " + port + ": " + why, fix);
        return;
    }
    serial.Close();
    const SerialPortInfo info = DescribePort(port);
    const PortFacts facts = PortFactsOf(port);
    std::string text = "port " + port + ": opens at " + std::to_string(options.speed) + " baud";
    if (!info.usbId.empty())
        text += ", USB " + info.usbId + (info.usbSerial.empty() ? "" : " serial " + info.usbSerial);
    list.Ok(text);
    if (facts.pseudoTerminal) {
        list.NotApplicable("port " + port + ": a pseudo-terminal: no by-id name, no latency timer");
        return;
    }
    if (!info.byId.empty())
        list.Ok("port " + port + ": stable name " + info.byId);
    else if (!info.usbId.empty())
        list.Fail("port " + port + ": a USB adapter without a /dev/serial/by-id name",
                  "an adapter with a serial number keeps its name across replugs; name ports by it");
    else
        list.NotApplicable("port " + port + ": not a USB adapter: no by-id name");
    if (facts.latencyMs > 1)
        list.Fail("port " + port + ": USB latency timer " + std::to_string(facts.latencyMs) +
                      " ms slows every block",
                  "echo 1 | sudo tee " + facts.latencyPath);
    else if (facts.latencyMs >= 0)
        list.Ok("port " + port + ": USB latency timer " + std::to_string(facts.latencyMs) + " ms");
    else
        list.NotApplicable("port " + port + ": no latency timer to set");
}

void CheckPorts(const CliOptions& options, Checklist& list)
{
    std::set<std::string> identities;
    for (const PortArgument& a : options.ports) {
        std::vector<std::string> ports = ExpandPortArgument(a.port);
        if (ports.empty()) {
            if (options.loop)
                list.Ok("ports " + a.port + ": none yet; a shift takes them in as they are plugged in");
            else
                list.Fail("ports " + a.port + ": no port matches", "plug the adapters in, or --loop to wait for them");
        }
        for (const std::string& port : ports)
            if (identities.insert(PortIdentity(port)).second)
                CheckPort(port, options, list);
    }
}

void CheckLog(const CliOptions& options, Checklist& list)
{
    if (options.logPath.empty()) {
        list.NotApplicable("log: none (--log FILE keeps a record of every box)");
        return;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path = fs::u8path(options.logPath);
    const std::string dir = path.has_parent_path() ? path.parent_path().u8string() : ".";
    std::string why;
    if (!FolderWritable(dir, why)) {
        list.Fail("log " + options.logPath + ": its folder " + dir + " is not writable (" + why + ")",
                  "a folder the station's user may write, such as /var/lib/zurivavave");
        return;
    }
    const fs::space_info room = fs::space(fs::u8path(dir), ec);
    if (!ec) {
        const double records = static_cast<double>(room.available) / kRecordBytes;
        const std::string text = "log " + options.logPath + ": " + Mib(static_cast<double>(room.available)) +
                                 " free, room for about " + std::to_string(static_cast<long long>(records)) +
                                 " records";
        if (records < kShiftRecords)
            list.Fail(text, "free some space in " + dir);
        else
            list.Ok(text);
    }
    if (fs::exists(path, ec)) {
        const uint64_t seq = HighestSeq(options.logPath);
        list.Ok("log " + options.logPath + ": exists; records go on after seq " + std::to_string(seq));
    }
}

void CheckClock(Checklist& list)
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    const int year = tm.tm_year + 1900;
    // The box is told the date as a 16-bit Modified Julian Date: the last
    // one it can take is 2038-04-22.
    const bool past = year > 2038 || (year == 2038 && (tm.tm_mon > 3 || (tm.tm_mon == 3 && tm.tm_mday > 22)));
    if (year < 2024)
        list.Fail(std::string("clock: ") + text + " local, before this tool was made",
                  "set the system clock (records and the box's time replies carry it)");
    else if (past)
        list.Fail(std::string("clock: ") + text + " local, past 2038-04-22, the last date a box can be told",
                  "set the system clock");
    else
        list.Ok(std::string("clock: ") + text + " local");
}

void CheckHttp(const CliOptions& options, Checklist& list)
{
    if (!options.http) {
        list.NotApplicable("HTTP: none (--http [ADDR:]PORT serves the board, records and metrics)");
        return;
    }
    std::string why;
    const std::string url = UrlOf(options.httpAddress.host, options.httpAddress.port);
    if (CanListen(options.httpAddress, why))
        list.Ok("HTTP " + url + ": free");
    else
        list.Fail("HTTP: " + why, "stop the program on that port, or choose another with --http");
}

}  // namespace

int RunPreflight(const CliOptions& options)
{
    const std::string host = HostName();
    std::printf("Station check: %s on host %s, zurivavave-cli %s\n",
                options.station.empty() ? host.c_str() : options.station.c_str(), host.c_str(), ZV_VERSION);
    Checklist list;
    CheckImages(options, list);
    CheckPorts(options, list);
    CheckLog(options, list);
    CheckClock(list);
    CheckHttp(options, list);
    if (list.Failures() == 0) {
        std::printf("All is well: the shift can start.\n");
        return 0;
    }
    std::printf("%d %s: fix %s before the shift.\n", list.Failures(), list.Failures() == 1 ? "problem" : "problems",
                list.Failures() == 1 ? "it" : "them");
    return 1;
}
