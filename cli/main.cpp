// zurivavave-cli: serves a firmware file to set-top boxes over serial ports
// from the command line: one box, a flashing station with many at once, or
// a whole shift of boxes with a record of every one, for scripts and for
// machines without a desktop.
#include "CommandLine.h"
#include "Console.h"
#include "ConsoleObserver.h"
#include "ExitGuard.h"
#include "JsonLinesOut.h"
#include "KeyInput.h"
#include "Options.h"
#include "PortList.h"
#include "Preflight.h"
#include "QueuedObserver.h"
#include "Report.h"
#include "RunSetup.h"
#include "ShiftReport.h"
#include "StationEngine.h"
#include "StationWeb.h"
#include "Terminal.h"

#include "protocol/Messages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#ifndef ZV_VERSION
#define ZV_VERSION "1.0.4"
#endif

namespace {

// Parses the command line; -1 to go on, else the exit code (help, version,
// usage error).
int ParseCommandLine(int argc, char** argv, CliOptions& options)
{
    std::string error;
    if (!ParseOptions(argc, argv, EnvironmentValue, options, error))
        return UsageError(error);
    if (options.help) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("zurivavave-cli %s\n", ZV_VERSION);
        return kExitOk;
    }
    return -1;
}

int ListPorts(const CliOptions& options)
{
    std::vector<SerialPortInfo> ports = ListSerialPorts();
    if (options.json) {
        for (const SerialPortInfo& p : ports)
            std::printf("%s\n", PortInfoJson(p).c_str());
        return kExitOk;
    }
    if (options.quiet) {
        // One name per line, ready for --port.
        for (const SerialPortInfo& p : ports)
            std::printf("%s\n", p.path.c_str());
        return kExitOk;
    }
    if (ports.empty()) {
        std::fprintf(stderr, "zurivavave-cli: no serial ports found\n");
        return kExitOk;
    }
    size_t wPath = 0, wId = 0;
    for (const SerialPortInfo& p : ports) {
        wPath = std::max(wPath, p.path.size());
        wId = std::max(wId, p.usbId.empty() ? size_t(1) : p.usbId.size());
    }
    for (const SerialPortInfo& p : ports) {
        std::string desc = p.description;
        if (!p.note.empty())
            desc += (desc.empty() ? "(" : " (") + p.note + ")";
        std::string line = p.path + std::string(wPath - p.path.size() + 2, ' ');
        std::string id = p.usbId.empty() ? "-" : p.usbId;
        line += id + std::string(wId - id.size() + 2, ' ');
        line += desc.empty() ? "-" : desc;
        if (!p.byId.empty())
            line += "  " + p.byId;
        std::printf("%s\n", line.c_str());
    }
    return kExitOk;
}

// How the human output is shown: a board or an updating line on a
// terminal, plain lines otherwise; with --json it goes to stderr.
CConsole::Setup ConsoleFor(const CliOptions& options, const RunSetup& run)
{
    CConsole::Setup s;
    s.out = options.json ? stderr : stdout;
    s.err = stderr;
    for (const RunPort& p : run.ports)
        s.labels.push_back(p.port);
    s.quiet = options.quiet;
    s.shift = options.loop;
    const bool terminal = IsTerminal(s.out);
    const bool ansi = terminal && PrepareTerminal(s.out);
    int width = 0, height = 0;
    if (terminal)
        TerminalSize(s.out, width, height);
    s.width = width > 0 ? width : 80;
    const char* noColor = std::getenv("NO_COLOR");
    s.colour = ansi && !(noColor && *noColor);
    s.errToTerminal = terminal && IsTerminal(stderr);
    const bool several = run.ports.size() > 1;
    // The board needs cursor movement, and a screen tall enough to redraw
    // it in place.
    const bool boardFits = height <= 0 || static_cast<int>(run.ports.size()) < height;
    if (options.quiet)
        s.mode = CConsole::Mode::Lines;
    else if (ansi && (several || options.loop) && boardFits)
        s.mode = CConsole::Mode::Board;
    else if (terminal && !several)
        s.mode = CConsole::Mode::Updating;
    return s;
}

StationPlan PlanFor(const CliOptions& options, RunSetup& run)
{
    StationPlan plan;
    plan.speed = static_cast<uint32_t>(options.speed);
    plan.loop = options.loop;
    plan.count = options.count;
    plan.requireFull = options.requireFull;
    plan.waitTimeout = options.waitTimeout;
    plan.maxFailures = options.maxFailures;
    if (options.loop) {
        plan.patterns = run.patterns;
        plan.traceFor = [&options, &run](const std::string& port) { return OpenJoinedTrace(options, run, port); };
    }
    return plan;
}

// On the board's own terminal the operator returns set-aside ports to
// service with the r key.
void StartOperatorKeys(const CliOptions& options, CConsole& console)
{
    if (!options.loop || console.GetMode() != CConsole::Mode::Board)
        return;
    if (StartKeyInput([](char key) {
            if (key == 'r' || key == 'R')
                g_ReturnRequests.fetch_add(1);
        }))
        console.Print("Press r to return ports that were set aside to service.");
}

std::vector<StationPort> PortsFor(const RunSetup& run)
{
    std::vector<StationPort> ports;
    for (size_t i = 0; i < run.ports.size(); ++i) {
        const RunPort& p = run.ports[i];
        ports.push_back({p.port, p.image, p.byId, p.usbSerial, i < run.traces.size() ? run.traces[i].get() : nullptr});
    }
    return ports;
}

// --http: the board and the API, listening before any port opens, so a
// port that is taken ends the run before any box. The URL goes to stderr.
int StartWeb(const CliOptions& options, const RunSetup& run, const std::vector<StationPort>& ports,
             std::unique_ptr<CStationWeb>& web)
{
    if (!options.http)
        return kExitOk;
    web.reset(new CStationWeb(ports, run.context, run.log ? run.log->Path() : ""));
    std::string url, error;
    if (!web->Start(options.httpAddress, url, error)) {
        web.reset();
        const std::string why = "--http: " + error;
        PrintFailureRecords(options, run, "", "usage_error", kExitUsage, "", why);
        std::fprintf(stderr, "zurivavave-cli: %s\n", why.c_str());
        return kExitUsage;
    }
    std::fprintf(stderr, "zurivavave-cli: board at %s (records: %sapi/records, metrics: %smetrics)\n", url.c_str(),
                 url.c_str(), url.c_str());
    std::fflush(stderr);
    return kExitOk;
}

// Lets the observers say the rest of what they hold. After an interrupt
// they get a moment, no more: what a reader does not take is left.
bool FinishObservers(std::vector<CQueuedObserver*> queues)
{
    using Clock = std::chrono::steady_clock;
    const std::atomic<int>& interrupt = InterruptFlag();
    bool all = true;
    for (CQueuedObserver* q : queues) {
        while (!q->Finish(Clock::now() + std::chrono::milliseconds(interrupt.load() ? 1500 : 200))) {
            if (interrupt.load()) {
                all = false;
                break;
            }
        }
    }
    return all;
}

// The summary, the JSON of a run with one box per port, and the exit code.
int Report(const CliOptions& options, const RunSetup& run, CStationEngine& station, CConsole& console)
{
    console.Close();
    std::vector<BoxRecord> records = station.Records();
    if (options.loop) {
        console.Print("");
        for (const std::string& line : ShiftSummaryLines(station.Tallies(), console.Width()))
            console.Print(line);
    } else if (records.size() > 1 || options.quiet) {
        console.Print("");
        std::vector<std::string> lines = SummaryLines(records);
        for (size_t i = 0; i < lines.size(); ++i) {
            Tone tone = i == 0 ? Tone::Plain : IsCompleted(records[i - 1]) ? Tone::Good : Tone::Bad;
            console.Print(lines[i], tone);
        }
    }
    if (options.json && !options.loop) {
        for (const BoxRecord& r : records)
            std::printf("%s\n", RecordJson(r, run.context).c_str());
        std::fflush(stdout);
    }
    // An interrupted run is 130 whatever its records say: 0 means every
    // box completed and the run ended by itself.
    if (InterruptFlag().load() != 0)
        return kExitInterrupted;
    int code = CombinedExitCode(records);
    if (station.LogFailed() && code != kExitInterrupted)
        code = kExitFailure;
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    CUtf8Arguments arguments(argc, argv);
    CliOptions options;
    int code = ParseCommandLine(arguments.Count(), arguments.Values(), options);
    if (code >= 0)
        return code;
    if (options.listPorts)
        return ListPorts(options);
    if (options.check)
        return RunPreflight(options);
    if (options.report)
        return RunShiftReport(options.reportLogs, options.json);

    RunSetup run;
    code = CheckRun(options, run);
    if (code == kExitOk)
        code = OpenOutputs(options, run);
    const std::vector<StationPort> ports = PortsFor(run);
    std::unique_ptr<CStationWeb> web;
    if (code == kExitOk)
        code = StartWeb(options, run, ports, web);
    if (code != kExitOk)
        return code;

    InstallSignalHandlers();
    StartExitGuard(InterruptFlag(), std::chrono::seconds(4), kExitInterrupted, RestoreKeyTerminal);
    CConsole console(ConsoleFor(options, run));
    std::FILE* screen = console.Stream();
    console.SetWidthSource([screen](int& width) {
        if (!TakeResized())
            return false;
        int height = 0;
        TerminalSize(screen, width, height);
        return width > 0;
    });
    CStationEngine station(ports, run.log.get(), run.context, InterruptFlag());
    CConsoleObserver board(console);
    CQueuedObserver boardQueue(board);
    station.AddObserver(boardQueue);
    CJsonLinesOut jsonLines(stdout, run.context);
    CQueuedObserver jsonQueue(jsonLines);
    if (options.json && options.loop)
        station.AddObserver(jsonQueue);
    if (web)
        station.AddObserver(*web);
    station.SetReturnRequests(&g_ReturnRequests);
    StartOperatorKeys(options, console);
    station.Run(PlanFor(options, run));
    StopKeyInput();
    if (web)
        web->Finish();
    if (!FinishObservers({&boardQueue, &jsonQueue}))
        std::_Exit(kExitInterrupted);
    return Report(options, run, station, console);
}
