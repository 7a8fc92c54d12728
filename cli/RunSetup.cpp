#include "RunSetup.h"

#include "FileIdentity.h"
#include "PortList.h"
#include "Terminal.h"

#include "protocol/Messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#ifndef ZV_VERSION
#define ZV_VERSION "1.0.4"
#endif

namespace {

// Beyond this the box's 24-bit offsets cannot reach.
constexpr long long kReach = (1LL << 24) + 254;

// Regular file that can be opened for reading; its size in size.
bool ProbeFile(const std::string& path, long long& size, std::string& why)
{
    FileId id = IdentityOf(path);
    if (!id.valid && !IsReservedDeviceName(path)) {
        std::FILE* f = OpenFile(path, "rb");
        why = f ? "not a regular file" : std::strerror(errno);
        if (f)
            std::fclose(f);
        return false;
    }
    if (!id.regular) {
        why = id.valid && !id.character ? "is a directory" : "not a regular file";
        return false;
    }
    std::FILE* f = OpenFile(path, "rb");
    if (!f) {
        why = std::strerror(errno);
        return false;
    }
    // The real size, past 2 GiB and 4 GiB too.
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
#ifdef _WIN32
    long long end = ok ? _ftelli64(f) : -1;
#else
    long long end = ok ? static_cast<long long>(ftello(f)) : -1;
#endif
    std::fclose(f);
    if (end < 0) {
        why = std::strerror(errno);
        return false;
    }
    size = end;
    return true;
}

// With --json, what a script gets when the run ends before any port: a
// record per named port, the one at fault with its own result.
void PrintFailureRecords(const CliOptions& options, const RunSetup& run, const std::string& culprit,
                         const char* result, int exitCode, const std::string& status, const std::string& detail)
{
    if (!options.json)
        return;
    for (const PortArgument& a : options.ports) {
        BoxRecord r;
        r.port = a.port;
        r.speed = static_cast<uint32_t>(options.speed);
        r.file = a.file.empty() ? options.file : a.file;
        bool own = culprit.empty() || culprit == a.port || culprit == r.file;
        r.result = own ? result : "not_served";
        r.exitCode = exitCode;
        r.status = own ? status : "";
        r.detail = own ? detail : "the run ended before any port was opened: " + detail;
        std::printf("%s\n", RecordJson(r, run.context).c_str());
    }
    std::fflush(stdout);
}

}  // namespace

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

    // Every image once, before any port.
    std::map<std::string, long long> sizes;
    for (const PortArgument& a : options.ports) {
        const std::string file = a.file.empty() ? options.file : a.file;
        if (sizes.count(file))
            continue;
        long long size = 0;
        std::string why;
        if (!ProbeFile(file, size, why)) {
            std::fprintf(stderr, "zurivavave-cli: %s: %s (%s)\n", file.c_str(), why.c_str(), msg::kFileOpenError);
            PrintFailureRecords(options, run, file, "file_error", kExitFile, msg::kFileOpenError, why);
            return kExitFile;
        }
        if (size > kReach)
            std::fprintf(stderr,
                         "zurivavave-cli: warning: %s is %lld bytes; the box can reach only the first "
                         "%lld (16 MiB + 254, 24-bit offsets)\n",
                         file.c_str(), size, kReach);
        sizes[file] = size;
        run.guarded.push_back({file, "the served file"});
    }

    // The ports: patterns expanded, each device once however it is named.
    std::vector<std::string> identities;
    for (const PortArgument& a : options.ports) {
        std::vector<std::string> expanded = ExpandPortArgument(a.port);
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
            p.file = a.file.empty() ? options.file : a.file;
            p.fileSize = sizes[p.file];
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
        outputs.push_back({options.logPath, "--log"});
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
