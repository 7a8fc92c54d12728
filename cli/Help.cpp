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
        "  or:  zurivavave-cli --check [OPTION]... [FILE]\n"
        "  or:  zurivavave-cli --report [--json] LOG...\n"
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
        "                 ends, on the disk before its port takes the next box; a\n"
        "                 regular file that is new or holds our records; a failed\n"
        "                 write is undone and ends the run (exit 1); moved away or\n"
        "                 removed (rotated), FILE is opened anew by its name\n"
        "      --loop     serve box after box: when a port's box has ended, the port\n"
        "                 waits for the next one; runs until Ctrl+C, SIGTERM or SIGHUP\n"
        "      --count N  with --loop: each port ends after N boxes (a box that was\n"
        "                 reset and started over is not counted)\n"
        "      --max-failures N  with --loop: a port whose boxes failed N times in a\n"
        "                 row is set aside (default 3; 0: never)\n"
        "      --wait-timeout S  without --loop: a port whose box has not greeted\n"
        "                 within S seconds ends as no_box (exit 6); default: no limit\n"
        "      --require-full  a box that reports done after asking for less than all\n"
        "                 of the file it can reach fails (result incomplete, exit 5)\n"
        "      --station NAME  the station's name in every record (default: the host\n"
        "                 name)\n"
        "      --operator NAME, --order ID  who runs the shift and the work order,\n"
        "                 in every record\n"
        "      --expect-sha256 HEX  the approved image: a run whose image hashes\n"
        "                 otherwise (the SHA-256 of the whole file, or of the part a\n"
        "                 box can reach) does not start (exit 3)\n"
        "      --http [ADDR:]PORT  serve the station over HTTP while it runs (default\n"
        "                 $ZURIVAVAVE_HTTP): the board (/) for a browser, /api/state,\n"
        "                 /api/events, /api/records and /metrics (see HTTP below);\n"
        "                 ADDR is 127.0.0.1 unless given, PORT 0 takes a free one\n"
        "  -q, --quiet    only errors and the final summary (or the JSON); with\n"
        "                 --list-ports only the port names\n"
        "      --check    check before a shift, with the options of the run: every\n"
        "                 port there and free to open (who holds it), the user may\n"
        "                 open it, by-id names, USB latency timers, the image and\n"
        "                 its SHA-256, the log's folder and its room, the clock,\n"
        "                 the --http address free;\n"
        "                 each problem with its fix; exit 0 only when all is well\n"
        "      --list-ports  list the serial ports present and exit: name (as --port\n"
        "                 takes it), USB vendor:product, description, stable by-id name\n"
        "      --report   read the record logs LOG... (- for standard input) in place\n"
        "                 of serving: yield, per port, hour, operator and work order,\n"
        "                 cycle time, failures and images (see Report below)\n"
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
        "  Each port serves box after box on the same line. A box that greets again\n"
        "  after it has asked for data and then asks for a block it already has was\n"
        "  reset: its record ends as restarted and a new box begins; one that greets\n"
        "  again and carries on is the same box (its record counts the greetings).\n"
        "  A port whose adapter went away waits for it to come back; with no box on\n"
        "  it, that is no box and no record. Every box of the run is served the\n"
        "  image as it was read when the run started; a change on disk is said and\n"
        "  takes a new run. The board shows per port the state, the box's progress,\n"
        "  the boxes completed and failed so far and the last box (a failed or\n"
        "  partial one in words and colour); the summary puts every box in one\n"
        "  column (completed, failed, restarted, interrupted) per port and in total.\n"
        "  Ctrl+C, SIGTERM or SIGHUP end the run with exit 130.\n"
        "  Adapters that appear under a --port pattern join the shift within two\n"
        "  seconds, each with its own line and records; a port named before its\n"
        "  adapter is plugged in is waited for. A port whose boxes failed\n"
        "  --max-failures times in a row takes no box (\"Set aside: 3 failures in a\n"
        "  row. Check the cable and fixture.\") until it is returned to service:\n"
        "  unplug its adapter and plug it back, press r on the board's terminal, or\n"
        "  send the process SIGUSR1 (kill -USR1 PID).\n"
        "\n"
        "Report (--report LOG...):\n"
        "  A box is a record whose result is not restarted; records of a run that\n"
        "  ended before any port (not_served, usage_error) are no boxes. A box is\n"
        "  completed (exit_code 0), interrupted (no failure, but not completed) or\n"
        "  failed, as in the shift's summary. Yield: completed over boxes; cycle\n"
        "  time: median and 90th percentile of the completed boxes' duration; hours\n"
        "  in UTC, by end. A line that is no record is named on stderr and passed\n"
        "  over; a record read twice (its id) counts once; with --json the report is\n"
        "  one JSON object. Exit 3 when a LOG cannot be read.\n"
        "\n"
        "Trace:\n"
        "  One line per frame: seconds since the start, < (from the box) or > (to the\n"
        "  box), tag, type (HELLO, HELLO_ACK, DATA_REQ, DATA, DONE, TIME_REQ, TIME or\n"
        "  TYPE_n), len, checksum ok or BAD, the first 16 payload bytes. Bytes the\n"
        "  frame parser skipped show as \"garbage N bytes skipped\"; notes start with #.\n"
        "  No output (--trace, --log) may be the served file, a port, stdout, stderr\n"
        "  or another output (/dev/null may be any). The trace may be a FIFO whose\n"
        "  reader is already there; lines it has no room for are dropped, noted.\n"
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
        "  2    bad command line; an output that is the served file, a port,\n"
        "       stdout, stderr or another output; a trace or log file that cannot\n"
        "       be opened; a log that is not a regular file or not a record log; an\n"
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
