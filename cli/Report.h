// What is said at the end of a run: the summary table, the --json records
// and the one exit code for all ports.
#pragma once

#include "CliHost.h"
#include "PortList.h"

#include <cstdint>
#include <string>
#include <vector>

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

// One JSON object (one line, no newline) for a port's outcome.
std::string OutcomeJson(const PortOutcome& o, uint32_t speed, const std::string& file, long long fileSize);
// One JSON object for a listed port.
std::string PortInfoJson(const SerialPortInfo& p);

// The summary table, a line per port under a header line.
std::vector<std::string> SummaryLines(const std::vector<PortOutcome>& outcomes);

// The exit code of a run over several ports: 0 when every port completed,
// otherwise the most important failure among them, in this order:
// 130 interrupted, 1 unexpected, 3 file, 4 port, 5 transfer error, 6 silent box.
int CombinedExitCode(const std::vector<PortOutcome>& outcomes);
