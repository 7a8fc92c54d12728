// What is said at the end of a run: the summary table, the --list-ports
// records and the one exit code for every box of every port.
#pragma once

#include "BoxRecord.h"
#include "Json.h"
#include "PortList.h"
#include "Tally.h"

#include <string>
#include <vector>

// Rows as aligned columns: left-aligned but where right is set (numbers);
// no trailing blanks.
std::vector<std::string> Table(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& right);

// One JSON object for a listed port.
std::string PortInfoJson(const SerialPortInfo& p);

// The summary of a run with one box per port: a header line and a line per
// port (port, result, bytes served, bytes asked for and their share, time,
// rate).
std::vector<std::string> SummaryLines(const std::vector<BoxRecord>& records);

// The summary of a shift: a line per port and the total. Every box is in
// one of the columns completed, failed, restarted and interrupted; time
// and rate as in the summary of a run; the last box in the words of its
// status.
// Wider than width (0: no limit), the ports go by their short names.
std::vector<std::string> ShiftSummaryLines(const std::vector<ShiftTally>& tallies, size_t width = 0);

// The exit code of a run: 0 when every box completed, otherwise the most
// important failure among them, in this order: 130 interrupted, 1
// unexpected, 3 file, 4 port, 5 transfer error, 6 silent box. A box that was
// reset does not count: its next record does.
int CombinedExitCode(const std::vector<BoxRecord>& records);
