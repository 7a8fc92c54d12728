// What is said at the end of a run: the summary table, the --list-ports
// records and the one exit code for every box of every port.
#pragma once

#include "BoxRecord.h"
#include "Json.h"
#include "PortList.h"

#include <string>
#include <vector>

// One JSON object for a listed port.
std::string PortInfoJson(const SerialPortInfo& p);

// The summary of a run with one box per port: a header line and a line per
// port (port, result, bytes served, bytes asked for and their share, time,
// rate).
std::vector<std::string> SummaryLines(const std::vector<BoxRecord>& records);

// A port's shift in numbers.
struct ShiftTally {
    std::string port;
    int boxes = 0;       // records, reset boxes included
    int completed = 0;
    int failed = 0;      // ended with anything but completed, reset boxes apart
    std::string last;    // result of the last box
};
// The summary of a shift: a line per port and the total.
std::vector<std::string> ShiftSummaryLines(const std::vector<ShiftTally>& tallies);

// The exit code of a run: 0 when every box completed, otherwise the most
// important failure among them, in this order: 130 interrupted, 1
// unexpected, 3 file, 4 port, 5 transfer error, 6 silent box. A box that was
// reset does not count: its next record does.
int CombinedExitCode(const std::vector<BoxRecord>& records);
