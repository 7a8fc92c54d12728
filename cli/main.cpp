// zurivavave-cli: serves one file to set-top boxes over serial ports from
// the command line: one box, or a flashing station with many at once, for
// scripts and for machines without a desktop.
#include "CliHost.h"
#include "Console.h"
#include "PortList.h"
#include "Report.h"
#include "Trace.h"

#include "protocol/DownloadHost.h"
#include "protocol/Messages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#ifndef ZV_VERSION
#define ZV_VERSION "1.0.4"
#endif

namespace {

#ifdef _WIN32
const char kDefaultPort[] = "COM1";
const char kPatternExample[] = "COM*";
#else
const char kDefaultPort[] = "/dev/ttyUSB0";
const char kPatternExample[] = "'/dev/ttyUSB*'";
#endif

// Offsets on the wire are 24-bit: the box cannot ask for anything beyond.
const long long kAddressable = 1LL << 24;

const unsigned long kSpeeds[] = {19200, 38400, 57600, 115200, 230400, 460800, 921600};

// Safe to set from a signal handler only because it is lock-free.
std::atomic<int> g_Interrupted{0};
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the interrupt flag must be lock-free");

void OnInterrupt(int) { g_Interrupted.store(1); }

void PrintHelp()
{
    std::printf(
        "Usage: zurivavave-cli [--port PORT]... [--speed BAUD] [--trace FILE] [--json] FILE\n"
        "  or:  zurivavave-cli --list-ports [--json]\n"
        "Serves FILE to set-top boxes on serial ports. Start it, then reset the boxes:\n"
        "each box greets, requests the file block by block and reports when done.\n"
        "\n"
        "Options:\n"
        "  --port PORT    serial port (default %s); give it several times, or a\n"
        "                 pattern such as %s, to serve many boxes at once\n"
        "  --speed BAUD   19200, 38400, 57600, 115200 (default), 230400, 460800 or\n"
        "                 921600 where the adapter supports it\n"
        "  --trace FILE   write every frame in both directions to FILE; with several\n"
        "                 ports one file per port, FILE.<last part of the port name>\n"
        "  --json         at the end, one JSON object per port on stdout; the other\n"
        "                 output goes to stderr\n"
        "  --list-ports   list the serial ports present (name, USB vendor:product,\n"
        "                 description, stable by-id name) and exit\n"
        "  --help         show this text\n"
        "  --version      show the version\n"
        "\n"
        "Output:\n"
        "  Status texts are printed one per line; progress is a single updating line\n"
        "  on a terminal and a line every 10 %% otherwise. With several ports each\n"
        "  port has its own line on a terminal, otherwise every line starts with\n"
        "  \"[port]\", and a summary table (port, result, bytes, time, rate) follows.\n"
        "  Rate and time left are measured over the last 3 seconds. A port ends when\n"
        "  its box reports done, on an error, when its box stays silent for 4\n"
        "  watchdog ticks of 3.2 s after it has started, or on Ctrl+C. One port's\n"
        "  failure does not stop the others.\n"
        "\n"
        "Trace:\n"
        "  One line per frame: seconds since the start, < (from the box) or > (to the\n"
        "  box), tag, type (HELLO, HELLO_ACK, DATA_REQ, DATA, DONE, TIME_REQ, TIME or\n"
        "  TYPE_n), len, checksum ok or BAD, the first 16 payload bytes. Bytes the\n"
        "  frame parser skipped show as \"garbage N bytes skipped\"; notes start with #.\n"
        "\n"
        "JSON:\n"
        "  One object per port and line, in the order of the ports, with the keys\n"
        "  port, speed, file, file_size, result (completed, port_error, file_error,\n"
        "  size_over, read_error, port_lost, timeout or interrupted), exit_code,\n"
        "  status (the last status text), detail (why the port could not be opened),\n"
        "  bytes_served, blocks (data replies), requests and bad_frames (frames from\n"
        "  the box with a right and a wrong checksum), elapsed (seconds from opening\n"
        "  the port) and transfer_seconds (from the box's first frame). With\n"
        "  --list-ports: port, by_id, usb_id, description, note.\n"
        "\n"
        "Exit codes:\n"
        "  0    Completely Transfered! (on every port)\n"
        "  1    unexpected failure\n"
        "  2    bad command line, or the trace file cannot be written\n"
        "  3    file missing or unreadable (checked before any port is opened)\n"
        "  4    port cannot be opened or configured, or no port matches a pattern\n"
        "  5    transfer error: block past the end of the file, read error,\n"
        "       or the serial port went away\n"
        "  6    the box fell silent (External Error Occurred!)\n"
        "  130  interrupted (Ctrl+C, SIGINT or SIGTERM)\n"
        "  With several ports the code is the first of 130, 1, 3, 4, 5, 6 that a\n"
        "  port ended with, and 0 only when every port completed.\n",
        kDefaultPort, kPatternExample);
}

int Usage(const std::string& error)
{
    std::fprintf(stderr, "zurivavave-cli: %s\nTry 'zurivavave-cli --help'.\n", error.c_str());
    return kExitUsage;
}

// Regular file that can be opened for reading; its size in size.
bool ProbeFile(const std::string& path, long long& size, std::string& why)
{
#ifdef _WIN32
    struct _stat64 st;
    if (::_stat64(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    bool regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    bool directory = (st.st_mode & _S_IFMT) == _S_IFDIR;
#else
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    bool regular = S_ISREG(st.st_mode);
    bool directory = S_ISDIR(st.st_mode);
#endif
    if (directory) {
        why = "is a directory";
        return false;
    }
    if (!regular) {
        why = "not a regular file";
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        why = std::strerror(errno);
        return false;
    }
    std::fclose(f);
    size = static_cast<long long>(st.st_size);
    return true;
}

bool IsTerminal(std::FILE* f)
{
#ifdef _WIN32
    return ::_isatty(::_fileno(f)) != 0;
#else
    return ::isatty(::fileno(f)) != 0;
#endif
}

// Whether the terminal behind f follows ANSI cursor movement (switched on
// where the console needs it), and its size (height 0 when unknown).
bool PrepareTerminal(std::FILE* f, int& width, int& height)
{
    width = 80;
    height = 0;
#ifdef _WIN32
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f)));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode))
        return false;
    if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
        !::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(h, &info)) {
        width = info.srWindow.Right - info.srWindow.Left + 1;
        height = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return true;
#else
    struct winsize ws;
    if (::ioctl(::fileno(f), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        width = ws.ws_col;
        height = ws.ws_row;
    }
    const char* term = std::getenv("TERM");
    return !(term && std::strcmp(term, "dumb") == 0);
#endif
}

int ListPorts(bool json)
{
    std::vector<SerialPortInfo> ports = ListSerialPorts();
    if (json) {
        for (const SerialPortInfo& p : ports)
            std::printf("%s\n", PortInfoJson(p).c_str());
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

// The trace file of one port among several: FILE.<last part of the port
// name>, or FILE.<n> when two ports end alike.
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

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> portArgs;
    unsigned long speed = 115200;
    std::string file;
    std::string tracePath;
    bool json = false;
    bool listPorts = false;
    bool onlyFiles = false;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!onlyFiles && arg.size() > 1 && arg[0] == '-') {
            std::string value;
            bool inlineValue = false;
            size_t eq = arg.find('=');
            if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                inlineValue = true;
            }
            const bool takesValue = arg == "--port" || arg == "--speed" || arg == "--trace";
            if (inlineValue && !takesValue)
                return Usage(arg + " takes no value");
            if (arg == "--") {
                onlyFiles = true;
            } else if (arg == "--help" || arg == "-h") {
                PrintHelp();
                return kExitOk;
            } else if (arg == "--version" || arg == "-V") {
                std::printf("zurivavave-cli %s\n", ZV_VERSION);
                return kExitOk;
            } else if (arg == "--json") {
                json = true;
            } else if (arg == "--list-ports") {
                listPorts = true;
            } else if (takesValue) {
                if (!inlineValue) {
                    if (i + 1 >= argc)
                        return Usage(arg + " needs a value");
                    value = argv[++i];
                }
                if (value.empty())
                    return Usage(arg + " needs a value");
                if (arg == "--port") {
                    portArgs.push_back(value);
                } else if (arg == "--trace") {
                    tracePath = value;
                } else {
                    char* end = nullptr;
                    errno = 0;
                    speed = std::strtoul(value.c_str(), &end, 10);
                    if (errno != 0 || *end != '\0' ||
                        std::find(std::begin(kSpeeds), std::end(kSpeeds), speed) == std::end(kSpeeds))
                        return Usage("--speed must be 19200, 38400, 57600, 115200, 230400, 460800 or 921600");
                }
            } else {
                return Usage("unknown option '" + arg + "'");
            }
            continue;
        }
        if (!file.empty())
            return Usage("only one FILE can be served");
        file = arg;
    }

    if (listPorts) {
        if (!file.empty() || !portArgs.empty() || !tracePath.empty())
            return Usage("--list-ports takes no FILE, --port or --trace");
        return ListPorts(json);
    }
    if (file.empty())
        return Usage("no FILE given");

    long long size = 0;
    std::string why;
    if (!ProbeFile(file, size, why)) {
        std::fprintf(stderr, "zurivavave-cli: %s: %s (%s)\n", file.c_str(), why.c_str(), msg::kFileOpenError);
        return kExitFile;
    }
    if (size > kAddressable)
        std::fprintf(stderr,
                     "zurivavave-cli: warning: %s is %lld bytes; the box can reach only the first "
                     "16 MiB (%lld bytes)\n",
                     file.c_str(), size, kAddressable);

    // The ports: patterns expanded, each device once however it is named.
    if (portArgs.empty())
        portArgs.push_back(kDefaultPort);
    std::vector<std::string> ports;
    std::vector<std::string> identities;
    for (const std::string& arg : portArgs) {
        std::vector<std::string> expanded = ExpandPortArgument(arg);
        if (expanded.empty()) {
            std::fprintf(stderr, "zurivavave-cli: no port matches '%s' (%s)\n", arg.c_str(), msg::kInitFailed);
            return kExitPort;
        }
        for (const std::string& port : expanded) {
            std::string id = PortIdentity(port);
            auto seen = std::find(identities.begin(), identities.end(), id);
            if (seen != identities.end()) {
                std::fprintf(stderr, "zurivavave-cli: %s is the same port as %s; serving it once\n",
                             port.c_str(), ports[static_cast<size_t>(seen - identities.begin())].c_str());
                continue;
            }
            identities.push_back(id);
            ports.push_back(port);
        }
    }

    // Trace files are opened before any port, so a bad path costs no box.
    const auto start = CTraceLog::Clock::now();
    std::vector<std::unique_ptr<CTraceLog>> traces(ports.size());
    if (!tracePath.empty()) {
        std::vector<std::string> paths = TracePaths(tracePath, ports);
        for (size_t i = 0; i < ports.size(); ++i) {
            std::string error;
            traces[i] = CTraceLog::Open(paths[i], start, error);
            if (!traces[i]) {
                std::fprintf(stderr, "zurivavave-cli: cannot write trace %s: %s\n", paths[i].c_str(),
                             error.c_str());
                return kExitUsage;
            }
        }
    }

#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    // With --json, stdout carries only the records.
    std::FILE* human = json ? stderr : stdout;
    int width = 80, height = 0;
    const bool terminal = IsTerminal(human);
    const bool ansi = terminal && PrepareTerminal(human, width, height);
    const bool several = ports.size() > 1;
    // The single progress line needs only a carriage return; the board
    // needs cursor movement, and a screen tall enough to redraw it in place.
    const bool boardFits = height <= 0 || static_cast<int>(ports.size()) < height;
    CConsole::Mode mode = CConsole::Mode::Lines;
    if (terminal && !several)
        mode = CConsole::Mode::Updating;
    else if (ansi && several && boardFits)
        mode = CConsole::Mode::Board;
    CConsole console(human, mode, ports, width);

    const int32_t fileSize = ClampFileSize(size);
    std::vector<std::unique_ptr<CCliHost>> hosts;
    std::vector<PortOutcome> outcomes(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        hosts.emplace_back(new CCliHost(console, static_cast<int>(i)));
        hosts.back()->SetInterruptFlag(&g_Interrupted);
        hosts.back()->SetTrace(traces[i].get());
        hosts.back()->SetReportOpenError(several);
    }
    if (!several) {
        outcomes[0] = hosts[0]->Run(file, fileSize, ports[0], static_cast<uint32_t>(speed));
    } else {
        // Each port on its own thread; nothing but the console and the
        // interrupt flag is shared, so one port's end leaves the others be.
        std::vector<std::thread> threads;
        for (size_t i = 0; i < ports.size(); ++i)
            threads.emplace_back([&, i] {
                outcomes[i] = hosts[i]->Run(file, fileSize, ports[i], static_cast<uint32_t>(speed));
            });
        for (std::thread& t : threads)
            t.join();
    }
    console.Close();
    traces.clear();

    if (!several && outcomes[0].exitCode == kExitPort)
        std::fprintf(stderr, "zurivavave-cli: %s %s: %s\n", msg::kInitFailed, ports[0].c_str(),
                     outcomes[0].detail.c_str());
    if (several) {
        console.Print("");
        for (const std::string& line : SummaryLines(outcomes))
            console.Print(line);
    }
    if (json) {
        for (const PortOutcome& o : outcomes)
            std::printf("%s\n", OutcomeJson(o, static_cast<uint32_t>(speed), file, size).c_str());
        std::fflush(stdout);
    }
    return several ? CombinedExitCode(outcomes) : outcomes[0].exitCode;
}
