// zurivavave-cli: serves one file to a set-top box over a serial port from
// the command line, for scripts and for machines without a desktop.
#include "CliHost.h"

#include "protocol/DownloadHost.h"
#include "protocol/Messages.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef ZV_VERSION
#define ZV_VERSION "1.0.4"
#endif

namespace {

#ifdef _WIN32
const char kDefaultPort[] = "COM1";
#else
const char kDefaultPort[] = "/dev/ttyUSB0";
#endif

// Offsets on the wire are 24-bit: the box cannot ask for anything beyond.
const long long kAddressable = 1LL << 24;

volatile std::sig_atomic_t g_Interrupted = 0;

void OnInterrupt(int) { g_Interrupted = 1; }

void PrintHelp()
{
    std::printf(
        "Usage: zurivavave-cli [--port PORT] [--speed BAUD] FILE\n"
        "Serves FILE to a set-top box on a serial port. Start it, then reset the box:\n"
        "the box greets, requests the file block by block and reports when done.\n"
        "\n"
        "Options:\n"
        "  --port PORT    serial port (default %s)\n"
        "  --speed BAUD   19200, 38400, 57600 or 115200 (default 115200)\n"
        "  --help         show this text\n"
        "  --version      show the version\n"
        "\n"
        "Status texts are printed one per line; progress is a single updating line\n"
        "on a terminal and a line every 10 %% otherwise. The transfer ends when the\n"
        "box reports done, on an error, when the box stays silent for 4 watchdog\n"
        "ticks of 3.2 s after it has started, or on Ctrl+C.\n"
        "\n"
        "Exit codes:\n"
        "  0    Completely Transfered!\n"
        "  1    unexpected failure\n"
        "  2    bad command line\n"
        "  3    file missing or unreadable (checked before the port is opened)\n"
        "  4    port cannot be opened or configured\n"
        "  5    transfer error: block past the end of the file, read error,\n"
        "       or the serial port went away\n"
        "  6    the box fell silent (External Error Occurred!)\n"
        "  130  interrupted (Ctrl+C, SIGINT or SIGTERM)\n",
        kDefaultPort);
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

}  // namespace

int main(int argc, char** argv)
{
    std::string port = kDefaultPort;
    unsigned long speed = 115200;
    std::string file;
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
            if (arg == "--") {
                onlyFiles = true;
            } else if (arg == "--help" || arg == "-h") {
                PrintHelp();
                return kExitOk;
            } else if (arg == "--version" || arg == "-V") {
                std::printf("zurivavave-cli %s\n", ZV_VERSION);
                return kExitOk;
            } else if (arg == "--port" || arg == "--speed") {
                if (!inlineValue) {
                    if (i + 1 >= argc)
                        return Usage(arg + " needs a value");
                    value = argv[++i];
                }
                if (arg == "--port") {
                    if (value.empty())
                        return Usage("--port needs a value");
                    port = value;
                } else {
                    char* end = nullptr;
                    errno = 0;
                    speed = std::strtoul(value.c_str(), &end, 10);
                    if (value.empty() || errno != 0 || *end != '\0' ||
                        (speed != 19200 && speed != 38400 && speed != 57600 && speed != 115200))
                        return Usage("--speed must be 19200, 38400, 57600 or 115200");
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
    if (file.empty())
        return Usage("no FILE given");

    long long size = 0;
    std::string why;
    if (!ProbeFile(file, size, why)) {
        std::fprintf(stderr, "zurivavave-cli: %s: %s (%s)\n", file.c_str(), why.c_str(),
                     msg::kFileOpenError);
        return kExitFile;
    }
    if (size > kAddressable)
        std::fprintf(stderr,
                     "zurivavave-cli: warning: %s is %lld bytes; the box can reach only the first "
                     "16 MiB (%lld bytes)\n",
                     file.c_str(), size, kAddressable);

#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    CCliHost host(stdout, IsTerminal(stdout));
    host.SetInterruptFlag(&g_Interrupted);
    std::string portError;
    int rc = host.Run(file, ClampFileSize(size), port, static_cast<uint32_t>(speed), portError);
    if (rc == kExitPort)
        std::fprintf(stderr, "zurivavave-cli: %s %s: %s\n", msg::kInitFailed, port.c_str(),
                     portError.c_str());
    return rc;
}
