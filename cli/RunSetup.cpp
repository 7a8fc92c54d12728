#include "RunSetup.h"

#include "FileIdentity.h"
#include "PortList.h"
#include "RecordPath.h"
#include "RunId.h"
#include "Terminal.h"

#include "protocol/Messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <map>
#include <system_error>

#ifndef ZV_VERSION
#define ZV_VERSION "1.0.4"
#endif

// With --json, what a script gets when the run ends before any port: a
// record per named port, the one at fault with its own result.
void PrintFailureRecords(const CliOptions& options, const RunSetup& run, const std::string& culprit,
                         const char* result, int exitCode, const std::string& status, const std::string& detail)
{
    if (!options.json)
        return;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    for (const PortArgument& a : options.ports) {
        BoxRecord r;
        r.port = a.port;
        r.speed = static_cast<uint32_t>(options.speed);
        r.file = a.file.empty() ? options.file : a.file;
        bool own = culprit.empty() || culprit == a.port || culprit == r.file;
        r.result = own ? result : "not_served";
        r.startMs = r.endMs = now;
        r.port = RecordPath(r.port);
        r.file = RecordPath(r.file);
        r.exitCode = exitCode;
        r.status = own ? status : "";
        r.detail = own ? detail : "the run ended before any port was opened: " + detail;
        std::printf("%s\n", RecordJson(r, run.context).c_str());
    }
    std::fflush(stdout);
}

// What a path that is no regular file is, in words.
static std::string KindOf(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    switch (fs::status(fs::u8path(path), ec).type()) {
    case fs::file_type::directory: return "is a directory";
    case fs::file_type::fifo: return "is a named pipe (FIFO), not a regular file";
    case fs::file_type::socket: return "is a socket, not a regular file";
    case fs::file_type::block: return "is a block device, not a regular file";
    case fs::file_type::character: return "is a character device (a port or a terminal), not a regular file";
    default: return "not a regular file";
    }
}

// Reads the image a run serves (its reachable part) once; never opens
// anything that could block, such as a FIFO.
std::shared_ptr<CPinnedImage> LoadImage(const std::string& path, std::string& why)
{
    FileId id = IdentityOf(path);
    if (!id.valid && !IsReservedDeviceName(path)) {
        std::FILE* f = OpenFile(path, "rb");
        why = f ? KindOf(path) : std::strerror(errno);
        if (f)
            std::fclose(f);
        return nullptr;
    }
    if (!id.regular) {
        why = KindOf(path);
        return nullptr;
    }
    return CPinnedImage::Load(path, why);
}

std::vector<std::string> TracePaths(const std::string& base, const std::vector<std::string>& ports)
{
    if (ports.size() == 1)
        return {base};
    std::vector<std::string> names;
    for (const std::string& port : ports) {
        size_t cut = port.find_last_of("/\\");
        std::string name = cut == std::string::npos ? port : port.substr(cut + 1);
        for (char& c : name)
            if (c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
                c = '_';
        names.push_back(name);
    }
    std::vector<std::string> paths;
    for (size_t i = 0; i < ports.size(); ++i) {
        bool unique = !names[i].empty() && std::count(names.begin(), names.end(), names[i]) == 1;
        paths.push_back(base + "." + (unique ? names[i] : std::to_string(i + 1)));
    }
    return paths;
}

int CheckRun(const CliOptions& options, RunSetup& run)
{
    run.context.version = ZV_VERSION;
    run.context.host = HostName();
    run.context.runId = NewRunId();
    run.context.station = options.station.empty() ? run.context.host : options.station;
    run.context.operatorName = options.operatorName;
    run.context.order = options.order;

    // Every image once, before any port: read into memory, and shared by
    // every port that serves the same file, whatever name it is given by.
    std::map<std::string, std::shared_ptr<CPinnedImage>> images;
    for (const PortArgument& a : options.ports) {
        const std::string file = a.file.empty() ? options.file : a.file;
        if (images.count(file))
            continue;
        std::string why;
        std::shared_ptr<CPinnedImage> image = LoadImage(file, why);
        if (!image) {
            std::fprintf(stderr, "zurivavave-cli: %s: %s (%s)\n", file.c_str(), why.c_str(), msg::kFileOpenError);
            PrintFailureRecords(options, run, file, "file_error", kExitFile, msg::kFileOpenError, why);
            return kExitFile;
        }
        if (!options.expectSha256.empty() && image->Sha256() != options.expectSha256 &&
            image->WholeFileSha256() != options.expectSha256) {
            why = "SHA-256 " + image->Sha256() + " is not the approved " + options.expectSha256 +
                  " (--expect-sha256): a shift never runs on another build";
            std::fprintf(stderr, "zurivavave-cli: %s: %s\n", file.c_str(), why.c_str());
            PrintFailureRecords(options, run, file, "file_error", kExitFile, msg::kFileOpenError, why);
            return kExitFile;
        }
        const FileId id = IdentityOf(file);
        for (const auto& other : images)
            if (id.Same(IdentityOf(other.first)))
                image = other.second;
        if (image->FileSize() > kAddressableLimit && image->Path() == file)
            std::fprintf(stderr,
                         "zurivavave-cli: warning: %s is %lld bytes; the box can reach only the first "
                         "%lld (16 MiB + 254, 24-bit offsets)\n",
                         file.c_str(), image->FileSize(), kAddressableLimit);
        images[file] = image;
        run.guarded.push_back({file, "the served file"});
    }

    // A user who named no port learns which one was tried, and where the
    // real ones are listed, rather than a bare "No such file or directory".
    if (options.portDefaulted && !PortIsPresent(options.ports[0].port)) {
        const std::string& port = options.ports[0].port;
        std::string why = "no --port and no ZURIVAVAVE_PORT given, so the default port " + port +
                          " was tried: it does not exist";
        std::fprintf(stderr,
                     "zurivavave-cli: %s (%s)\n"
                     "zurivavave-cli: 'zurivavave-cli --list-ports' shows the serial ports present; "
                     "name one with --port PORT or ZURIVAVAVE_PORT=PORT\n",
                     why.c_str(), msg::kInitFailed);
        PrintFailureRecords(options, run, port, "port_error", kExitPort, msg::kInitFailed,
                            why + "; zurivavave-cli --list-ports shows the serial ports present");
        return kExitPort;
    }

    // Nothing is written where the progress lines or errors go.
    for (const GuardedPath& g : StandardStreamGuards())
        run.guarded.push_back(g);

    // The ports: patterns expanded, each device once however it is named.
    std::vector<std::string> identities;
    for (const PortArgument& a : options.ports) {
        std::vector<std::string> expanded = ExpandPortArgument(a.port);
        if (IsPortPattern(a.port)) {
            // In a shift the adapters a pattern will match may come later.
            run.patterns.push_back({a.port, images[a.file.empty() ? options.file : a.file]});
            if (expanded.empty() && options.loop) {
                std::fprintf(stderr, "zurivavave-cli: no port matches '%s' yet; its adapters are served as they come\n",
                             a.port.c_str());
                continue;
            }
        }
        if (expanded.empty()) {
            std::string why = "no port matches '" + a.port + "'";
            std::fprintf(stderr, "zurivavave-cli: %s (%s)\n", why.c_str(), msg::kInitFailed);
            PrintFailureRecords(options, run, a.port, "port_error", kExitPort, msg::kInitFailed, why);
            return kExitPort;
        }
        for (const std::string& port : expanded) {
            std::string id = PortIdentity(port);
            auto seen = std::find(identities.begin(), identities.end(), id);
            if (seen != identities.end()) {
                std::fprintf(stderr, "zurivavave-cli: %s is the same port as %s; serving it once\n", port.c_str(),
                             run.ports[static_cast<size_t>(seen - identities.begin())].port.c_str());
                continue;
            }
            identities.push_back(id);
            RunPort p;
            p.port = port;
            p.image = images[a.file.empty() ? options.file : a.file];
            SerialPortInfo info = DescribePort(port);
            p.byId = info.byId;
            p.usbSerial = info.usbSerial;
            run.ports.push_back(p);
            run.guarded.push_back({port, "the port"});
        }
    }

    // The outputs against all of that and each other, before any is opened.
    if (!options.tracePath.empty()) {
        std::vector<std::string> names;
        for (const RunPort& p : run.ports)
            names.push_back(p.port);
        run.tracePaths = TracePaths(options.tracePath, names);
    }
    std::vector<PlannedOutput> outputs;
    for (const std::string& path : run.tracePaths)
        outputs.push_back({path, "--trace"});
    if (!options.logPath.empty())
        outputs.push_back({options.logPath, "--log", true});
    std::string clash = CheckOutputs(outputs, run.guarded);
    if (!clash.empty()) {
        PrintFailureRecords(options, run, "", "usage_error", kExitUsage, "", clash);
        return UsageError(clash);
    }
    return kExitOk;
}

int OpenOutputs(const CliOptions& options, RunSetup& run)
{
    // The trace's times count from here, as the ports open right after.
    const auto start = CTraceLog::Clock::now();
    run.traceStart = start;
    for (const std::string& path : run.tracePaths) {
        std::string error;
        std::FILE* f = OpenCheckedOutput({path, "--trace"}, false, run.guarded, error);
        std::unique_ptr<CTraceLog> trace = f ? CTraceLog::Adopt(f, path, start) : nullptr;
        if (!trace) {
            std::string why = "cannot write trace " + path + ": " + error;
            PrintFailureRecords(options, run, "", "usage_error", kExitUsage, "", why);
            std::fprintf(stderr, "zurivavave-cli: %s\n", why.c_str());
            return kExitUsage;
        }
        run.traces.push_back(std::move(trace));
    }
    if (!options.logPath.empty()) {
        std::string error, repaired;
        run.log = CBoxLog::Open({options.logPath, "--log"}, run.guarded, error, repaired);
        if (!run.log) {
            std::string why = "cannot write log " + options.logPath + ": " + error;
            PrintFailureRecords(options, run, "", "usage_error", kExitUsage, "", why);
            std::fprintf(stderr, "zurivavave-cli: %s\n", why.c_str());
            return kExitUsage;
        }
        if (!repaired.empty())
            std::fprintf(stderr, "zurivavave-cli: warning: log %s: %s\n", options.logPath.c_str(), repaired.c_str());
    }
    return kExitOk;
}

CTraceLog* OpenJoinedTrace(const CliOptions& options, RunSetup& run, const std::string& port)
{
    if (options.tracePath.empty())
        return nullptr;
    // Named as a port of a run with several: FILE.<last part of its name>,
    // and never over another output.
    std::string path = TracePaths(options.tracePath, {port, port + "+"})[0];
    for (int n = 2; std::find(run.tracePaths.begin(), run.tracePaths.end(), path) != run.tracePaths.end(); ++n)
        path = options.tracePath + "." + std::to_string(n) + "." + path.substr(options.tracePath.size() + 1);
    std::vector<PlannedOutput> outputs = {{path, "--trace"}};
    for (const std::string& other : run.tracePaths)
        outputs.push_back({other, "--trace"});
    if (!options.logPath.empty())
        outputs.push_back({options.logPath, "--log"});
    std::string error = CheckOutputs(outputs, run.guarded);
    std::FILE* f = error.empty() ? OpenCheckedOutput({path, "--trace"}, false, run.guarded, error) : nullptr;
    std::unique_ptr<CTraceLog> trace = f ? CTraceLog::Adopt(f, path, run.traceStart) : nullptr;
    if (!trace) {
        std::fprintf(stderr, "zurivavave-cli: warning: no trace for %s: %s\n", port.c_str(), error.c_str());
        return nullptr;
    }
    run.tracePaths.push_back(path);
    run.traces.push_back(std::move(trace));
    return run.traces.back().get();
}
