// The text of zurivavave-cli --help; the man page and the shell completion
// follow it.
#include "BoxRecord.h"
#include "Options.h"

#ifdef _WIN32
#define ZV_HELP_PATTERN "COM*"
#define ZV_HELP_PLATFORM "Windows"
// What a pattern is matched against here.
#define ZV_HELP_PATTERNS                                                        \
    "  A PORT with * or ? is a pattern, matched in any case against the COM\n"  \
    "  ports the registry lists (those --list-ports shows): COM* takes them\n"   \
    "  all. The matches are served in natural order (COM2 before COM10), each\n" \
    "  once; a pattern that matches none ends the run before any port opens\n"  \
    "  (exit 4).\n"
#else
#define ZV_HELP_PATTERN "'/dev/ttyUSB*'"
#define ZV_HELP_PLATFORM "Linux"
// A pattern is the file system's glob, not a filter over --list-ports: say
// what it takes, so no one serves a stale link to someone else's terminal.
#define ZV_HELP_PATTERNS                                                           \
    "  A PORT with *, ? or [...] is a file-system glob, expanded as the shell\n"    \
    "  would (no ~ or {a,b}; * and ? skip names that start with a dot),\n"          \
    "  relative to the current directory unless it starts with /. It takes\n"      \
    "  whatever names match, serial ports or not; it is not matched against\n"     \
    "  the ports --list-ports shows, and a relative ttyUSB* takes any links so\n"   \
    "  named in the current directory, to another program's pseudo-terminal\n"    \
    "  too. Give the whole path, quoted: '/dev/ttyUSB*'. Never taken: a match\n"   \
    "  that is no character device, /dev/tty, /dev/console, /dev/ptmx, the\n"      \
    "  virtual consoles /dev/ttyN, the tool's own standard input, output or\n"     \
    "  error, and the system console (the kernel's, marked by --list-ports).\n"    \
    "  A link that leads nowhere is kept, and its port fails to open. The\n"      \
    "  matches are served in natural order (ttyUSB2 before ttyUSB10), each\n"      \
    "  device once; a pattern that leaves no port ends the run before any port\n"  \
    "  opens (exit 4).\n"
#endif

std::string HelpText()
{
    std::string text =
        "Usage: zurivavave-cli [OPTION]... [FILE]\n"
        "  or:  zurivavave-cli --list-ports [--json | -q]\n"
        "Serves FILE to set-top boxes on serial ports. Start it, then reset the boxes:\n"
        "each box greets, requests the file block by block and reports when done.\n"
        "\n"
        "Options:\n"
        "  -p, --port PORT[=FILE]  serial port (default $ZURIVAVAVE_PORT, else\n"
        "                 ";
    text += DefaultPort();
    text +=
        "); give it several times, or a pattern such as\n"
        "                 " ZV_HELP_PATTERN ", to serve many boxes at once (see Port\n"
        "                 patterns); PORT=FILE serves FILE on that port (FILE may\n"
        "                 then be left out when every port names its own)\n"
        "  -b, --speed BAUD  19200, 38400, 57600, 115200 (default, or $ZURIVAVAVE_SPEED),\n"
        "                 230400, 460800 or 921600 where the adapter supports it;\n"
        "                 --baud is the same option\n"
        "      --trace FILE  write every frame in both directions to FILE; with several\n"
        "                 ports one file per port, FILE.<last part of the port name>\n"
        "      --json     JSON records on stdout (see JSON below); the other output\n"
        "                 goes to stderr\n"
        "      --log FILE  append one JSON line per box to FILE the moment the box\n"
        "                 ends, on the disk before its port takes the next box\n"
        "      --loop     serve box after box: when a port's box has ended, the port\n"
        "                 waits for the next one; runs until Ctrl+C, SIGTERM or SIGHUP\n"
        "      --count N  with --loop: each port ends after N boxes\n"
        "      --wait-timeout S  without --loop: a port whose box has not greeted\n"
        "                 within S seconds ends as no_box (exit 6); default: no limit\n"
        "      --require-full  a box that reports done after asking for less than all\n"
        "                 of the file it can reach fails (result incomplete, exit 5)\n"
        "      --http [ADDR:]PORT  serve the station over HTTP while it runs (default\n"
        "                 $ZURIVAVAVE_HTTP): the board (/) for a browser, /api/state,\n"
        "                 /api/events, /api/records and /metrics (see HTTP below);\n"
        "                 ADDR is 127.0.0.1 unless given, PORT 0 takes a free one\n"
        "  -q, --quiet    only errors and the final summary (or the JSON); with\n"
        "                 --list-ports only the port names\n"
        "      --list-ports  list the serial ports present and exit: name (as --port\n"
        "                 takes it), USB vendor:product, description, stable by-id name\n"
        "  -h, --help     show this text\n"
        "  -V, --version  show the version\n"
        "\n"
        "Output:\n"
        "  Status texts are printed one per line; progress is a single updating line\n"
        "  on a terminal and a line every 10 % otherwise. With several ports each\n"
        "  port has its own line on a terminal, otherwise every line starts with\n"
        "  \"[port]\", and a summary table follows. Progress counts the distinct bytes\n"
        "  the box asked for against the bytes it can reach (the file, at most\n"
        "  16 MiB + 254 bytes: offsets are 24-bit); rate and time left are measured\n"
        "  over the last 3 seconds. A box ends when it reports done, on an error,\n"
        "  when it stays silent for 4 watchdog ticks of 3.2 s after it has started,\n"
        "  or on Ctrl+C. One port's failure does not stop the others. Errors go to\n"
        "  stderr as \"zurivavave-cli: ...\". Results are coloured on a terminal\n"
        "  unless NO_COLOR is set.\n"
        "\n"
        "Port patterns:\n" ZV_HELP_PATTERNS
        "\n"
        "Shift (--loop):\n"
        "  Each port serves box after box on the same line; a box that greets again\n"
        "  after it has asked for data was reset: its record ends as restarted and a\n"
        "  new box begins. A port whose adapter went away waits for it to come back.\n"
        "  The board shows per port the state, the box's progress, the boxes\n"
        "  completed and failed so far and the last result; the summary tallies\n"
        "  every port and the total.\n"
        "\n"
        "Trace:\n"
        "  One line per frame: seconds since the start, < (from the box) or > (to the\n"
        "  box), tag, type (HELLO, HELLO_ACK, DATA_REQ, DATA, DONE, TIME_REQ, TIME or\n"
        "  TYPE_n), len, checksum ok or BAD, the first 16 payload bytes. Bytes the\n"
        "  frame parser skipped show as \"garbage N bytes skipped\"; notes start with #.\n"
        "  No output (--trace, --log) may be the served file, a port or another output.\n"
        "\n"
        "JSON (--json and --log):\n"
        "  --log appends a record per box as it ends; --json prints the same record\n"
        "  on stdout: with --loop as each box ends, otherwise one per port, in the\n"
        "  order of the ports, at the end. A run that fails before any port opens\n"
        "  still prints one record per named port. With --list-ports: port, by_id,\n"
        "  usb_id, usb_serial, description, note, console.\n";
    text += RecordSchemaHelp();
    text +=
        "\n"
        "HTTP (--http):\n"
        "  The URL is printed on stderr at the start. Read-only (GET and HEAD); on a\n"
        "  loopback address only requests for a loopback host are answered.\n"
        "    /                 the board: a tile per port, live, for a browser\n"
        "    /api/state        the station as JSON: ports, states, progress, tallies\n"
        "    /api/events       Server-Sent Events: port, record, progress, end; a\n"
        "                      client that reconnects sends Last-Event-ID\n"
        "    /api/records?after=SEQ&limit=N\n"
        "                      the records after SEQ, oldest first (N: 1..1000,\n"
        "                      default 100), from the --log file, else this run's;\n"
        "                      ask again with last_seq while more is true\n"
        "    /metrics          Prometheus text format: zurivavave_boxes_total,\n"
        "                      zurivavave_box_duration_seconds, ..._port_state, ...\n"
        "\n"
        "Environment:\n"
        "  ZURIVAVAVE_PORT   default for --port when none is given; with neither, the\n"
        "                    tool tries ";
    text += DefaultPort();
    text +=
        " and, if it is not there, says so\n"
        "                    and points to --list-ports (exit 4)\n"
        "  ZURIVAVAVE_SPEED  default for --speed; the command line wins\n"
        "  ZURIVAVAVE_HTTP   default for --http ([ADDR:]PORT); the command line wins\n"
        "  NO_COLOR          when set, no colour\n"
        "\n"
        "Exit codes:\n"
        "  0    Completely Transfered! (every box on every port)\n"
        "  1    unexpected failure (for example the log could not be written)\n"
        "  2    bad command line; an output that is the served file, a port or\n"
        "       another output; a trace or log file that cannot be opened; an\n"
        "       --http address that cannot be listened on (a port in use)\n"
        "  3    file missing or unreadable (checked before any port is opened)\n"
        "  4    port cannot be opened or configured, is in use by another program,\n"
        "       or no port matches a pattern\n"
        "  5    transfer error: block past the end of the file, read error, the\n"
        "       serial port went away, or (--require-full) an incomplete box\n"
        "  6    the box fell silent (External Error Occurred!), or no box greeted\n"
        "       within --wait-timeout\n"
        "  130  interrupted (Ctrl+C, SIGINT, SIGTERM or SIGHUP)\n"
        "  With several ports or boxes the code is the first of 130, 1, 3, 4, 5, 6\n"
        "  that one ended with, and 0 only when every box completed.\n"
        "\n"
        "Built and tested on Linux and on Windows (MinGW-w64, tested under Wine);\n"
        "meant to build on macOS as well. This build: " ZV_HELP_PLATFORM ".\n";
    return text;
}
