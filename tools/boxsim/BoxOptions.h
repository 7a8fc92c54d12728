// What the simulator was asked to play: the line, the image, the boxes and
// the faults to inject. Parsed and checked once at start, read-only after.
#pragma once

#include "HelloPayload.h"

#include <cstdint>
#include <string>
#include <vector>

struct BoxOptions {
    bool pty = false;
    std::string port;
    std::string link;
    int lines = 0;               // --lines; 0 = the one line, paced as ever
    std::string linkPrefix;      // --link-prefix: P0, P1, ... to the lines
    uint32_t speed = 115200;     // device speed for --port
    int64_t size = -1;           // image size; -1 = size of the expected file
    std::string expectPath;
    std::string outPath;
    int block = 255;
    int tagStart = 1;
    std::string helloSpec;       // --hello-payload as given
    CHelloPayload hello;         // ... and as read
    bool time = false;
    int replyTimeoutMs = 2000;
    int retries = 3;
    bool waitHost = false;
    int startDelayMs = 0;
    int helloIntervalMs = 500;
    int helloTimeoutMs = 30000;
    int lingerMs = 3000;         // after FT_DONE: wait this long for the host to let go
    int holdMs = 30000;          // --silent-after: longest hold of the line
    uint32_t baud = 0;           // wire-speed emulation
    int blockDelayMs = 0;
    uint32_t seed = 1;
    bool quiet = false;          // errors and result lines only
    // A line of boxes.
    int boxes = 1;
    int boxPauseMs = 1000;       // the technician's reset between two boxes
    int faultBox = 0;            // 0 = the faults apply to every box
    // Faults.
    int noiseBefore = 0;
    bool noiseInMagic = false;
    int badChecksumAt = 0;
    int cancelGreetingAt = 0;
    bool pastEnd = false;
    int silentAfter = -1;
    int flood = 0;
    int floodPauseMs = 300;      // quiet time after a flood, as on a real line
    bool splitMagic = false;
    int splitPauseMs = 20;
    int resetAfter = 0;          // greet again after this many requests, then start over
    // Set per line and per box (OptionsForLine, OptionsForBox).
    int line = 0;                         // the line played, from 0
    std::vector<unsigned char> helloBytes;  // what this box's greeting carries
};

// Returned by the steps below when the program goes on.
constexpr int kGoOn = -1;

// Fills options from the command line; kGoOn, or the exit code (0 after
// --help / --version, 2 on a usage error, already reported).
int ParseBoxOptions(int argc, char** argv, BoxOptions& options);

// The --help text.
const char* BoxUsage();

// Reads --expect into expected and checks the image against the options;
// kGoOn, or 2 after a reported usage error.
int LoadExpectedImage(const BoxOptions& options, std::vector<unsigned char>& expected);

// The lines played: --lines, or the one line without it.
int LineCount(const BoxOptions& options);
// --out of line (FILE.<line> with --lines, FILE without); "" without --out.
std::string OutPathOfLine(const BoxOptions& options, int line);

// The options line number line (from 0) plays.
BoxOptions OptionsForLine(const BoxOptions& options, int line);
// The options box number box (1-based) of its line plays: the faults only
// on the box --fault-box names, noise of its own for every box, and its
// own greeting.
BoxOptions OptionsForBox(const BoxOptions& options, int box);
