// zurivavave-cli --report LOG...: a shift's figures from its record logs,
// what a supervisor otherwise works out by hand with jq. The overall yield,
// the yield per port and per hour, the cycle time, the failures by result
// and where they came from, the boxes per operator and per work order, and
// the images served; as text or as one JSON object.
//
// What counts is what the station's own summary counts (OutcomeOf): a box
// is a record whose result is not restarted (a reset box's next record is
// the same box again); it is completed (exit code 0), interrupted (the run
// was ended under it: it counts as a box that did not complete, and is no
// failure) or failed (anything else). The records of a run that ended
// before any port opened (not_served, usage_error, seq 0) are no boxes.
// The yield is completed boxes over boxes; the cycle time is the duration
// of the completed boxes; an hour is the UTC hour in which a box ended.
// Lines that are no record of ours are named and passed over, and a record
// read twice (the same id) counts once.
#pragma once

#include "Tally.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The boxes of one row of the report, in the station's columns.
struct OutcomeCount {
    long long completed = 0;
    long long failed = 0;
    long long interrupted = 0;
    long long restarted = 0;  // resets: no boxes of their own

    long long Boxes() const { return completed + failed + interrupted; }
    void Add(BoxOutcome o);
};

// A port of a station: the station's name (station, else host) and the port.
using ReportPort = std::pair<std::string, std::string>;
struct ReportPortLess {
    bool operator()(const ReportPort& a, const ReportPort& b) const;
};

struct SkippedLine {
    std::string file;
    long long line = 0;
    std::string why;
};

struct ShiftReport {
    std::vector<std::string> logs;
    long long records = 0;   // lines read as records, boxes or not
    long long notBoxes = 0;  // records of runs that ended before any port
    long long duplicates = 0;  // records read before (the same id), counted once
    long long skippedLines = 0;
    std::vector<SkippedLine> skipped;  // the first kNamedSkips of them
    std::string first, last;           // earliest start, latest end (ISO 8601 UTC)
    OutcomeCount total;
    std::vector<double> cycleSeconds;  // duration of every completed box
    std::map<ReportPort, OutcomeCount, ReportPortLess> ports;
    std::map<std::string, OutcomeCount> hours;  // "2026-12-10T14"
    std::map<std::string, OutcomeCount> operators, orders;
    std::map<std::pair<std::string, std::string>, OutcomeCount> images;  // (image_sha256, file)
    // Failed boxes: result -> port -> boxes.
    std::map<std::string, std::map<ReportPort, long long, ReportPortLess>> failures;
    std::set<std::string> ids;  // of the records read, to count each once

    static const size_t kNamedSkips = 20;
};

// Takes one line of a log; false with why when it is no record (the line is
// then left out of every figure). A record read before counts once.
bool AddRecordLine(ShiftReport& report, const std::string& line, std::string& why);
// Reads every log (path "-" is standard input); lines that are no record
// are counted and the first of them kept with file, line and why. false
// with the message when a log cannot be read: no figures are then given.
bool ReadRecordLogs(const std::vector<std::string>& paths, ShiftReport& report, std::string& error);

// The cycle times: the median and the 90th percentile (nearest rank) of the
// completed boxes' durations; false when there is none.
bool CycleTimes(const ShiftReport& report, double& median, double& p90);

// The report for a person, line by line.
std::vector<std::string> ShiftReportLines(const ShiftReport& report);
// The same as one JSON object (one line).
std::string ShiftReportJson(const ShiftReport& report);

// --report: reads the logs, names the lines passed over on stderr, prints
// the report on stdout; the exit code (0, or 3 when a log cannot be read).
int RunShiftReport(const std::vector<std::string>& logs, bool json);
