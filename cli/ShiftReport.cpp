// Reading the logs into the report's figures; ShiftReportOut.cpp says them.
#include "ShiftReport.h"

#include "JsonObjectReader.h"
#include "PortList.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

namespace {

// A record is a few hundred bytes, a few KiB with long names; a line far
// past that is no record, and is not held whole in memory.
const size_t kMaxLine = 1 << 20;

using Fields = std::map<std::string, JsonField>;

bool TextOf(const Fields& f, const char* key, bool required, std::string& out, std::string& why)
{
    out.clear();
    auto it = f.find(key);
    if (it == f.end()) {
        if (required)
            why = std::string("no \"") + key + "\": not a record";
        return !required;
    }
    if (it->second.kind != JsonField::Kind::String) {
        why = std::string("\"") + key + "\" is not a string";
        return false;
    }
    out = it->second.text;
    return true;
}

bool NumberOf(const Fields& f, const char* key, double& out, std::string& why)
{
    auto it = f.find(key);
    if (it == f.end()) {
        why = std::string("no \"") + key + "\": not a record";
        return false;
    }
    if (it->second.kind != JsonField::Kind::Number) {
        why = std::string("\"") + key + "\" is not a number";
        return false;
    }
    out = it->second.number;
    return true;
}

// The records' time: "2026-12-10T14:03:07.123Z", nothing else.
bool IsRecordTime(const std::string& t)
{
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (t.size() != sizeof kShape - 1)
        return false;
    for (size_t i = 0; i < t.size(); ++i) {
        const bool digit = t[i] >= '0' && t[i] <= '9';
        if (kShape[i] == 'd' ? !digit : t[i] != kShape[i])
            return false;
    }
    return true;
}

bool TimeOf(const Fields& f, const char* key, std::string& out, std::string& why)
{
    if (!TextOf(f, key, true, out, why))
        return false;
    if (!IsRecordTime(out)) {
        why = std::string("\"") + key + "\" is no UTC time such as 2026-12-10T14:03:07.123Z";
        return false;
    }
    return true;
}

// What one record line says that the report needs.
struct Line {
    std::string result, port, station, op, order, image, file, start, end, id;
    double exitCode = 0, duration = 0, seq = -1;
};

bool ReadLine(const std::string& text, Line& l, std::string& why)
{
    Fields f;
    if (!ReadJsonObject(text, f, why)) {
        why = "not JSON: " + why;
        return false;
    }
    std::string host;
    if (!TextOf(f, "result", true, l.result, why) || !TextOf(f, "port", true, l.port, why) ||
        !NumberOf(f, "exit_code", l.exitCode, why) || !NumberOf(f, "duration", l.duration, why) ||
        !TimeOf(f, "start", l.start, why) || !TimeOf(f, "end", l.end, why) ||
        !TextOf(f, "id", false, l.id, why) || !TextOf(f, "host", false, host, why) ||
        !TextOf(f, "station", false, l.station, why) || !TextOf(f, "operator", false, l.op, why) ||
        !TextOf(f, "order", false, l.order, why) || !TextOf(f, "image_sha256", false, l.image, why) ||
        !TextOf(f, "file", false, l.file, why))
        return false;
    if (l.duration < 0) {
        why = "\"duration\" is below 0";
        return false;
    }
    if (l.exitCode != std::floor(l.exitCode) || l.exitCode < 0 || l.exitCode > 255) {
        why = "\"exit_code\" is no exit code";
        return false;
    }
    auto seq = f.find("seq");
    if (seq != f.end() && seq->second.kind == JsonField::Kind::Number)
        l.seq = seq->second.number;
    // Records from before the station had a name of its own say its host.
    if (l.station.empty())
        l.station = host;
    return true;
}

// Calls fn(line, whole) for every line of in; whole is false for a line cut
// at kMaxLine and for a last line without an end of line. false on a read
// error.
template <typename Fn>
bool ForEachLine(std::istream& in, Fn fn)
{
    std::string line;
    bool tooLong = false;
    std::unique_ptr<char[]> buf(new char[1 << 16]);
    while (in.read(buf.get(), 1 << 16) || in.gcount() > 0) {
        const size_t n = static_cast<size_t>(in.gcount());
        for (size_t i = 0; i < n;) {
            const void* nl = std::memchr(buf.get() + i, '\n', n - i);
            const size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - buf.get()) : n;
            if (!tooLong && line.size() + (end - i) > kMaxLine) {
                tooLong = true;
                line.clear();
            }
            if (!tooLong)
                line.append(buf.get() + i, end - i);
            if (!nl)
                break;
            fn(line, !tooLong);
            line.clear();
            tooLong = false;
            i = end + 1;
        }
    }
    if (!line.empty() || tooLong)
        fn(line, false);
    return !in.bad();
}

}  // namespace

void OutcomeCount::Add(BoxOutcome o)
{
    switch (o) {
    case BoxOutcome::Completed: ++completed; break;
    case BoxOutcome::Failed: ++failed; break;
    case BoxOutcome::Interrupted: ++interrupted; break;
    case BoxOutcome::Restarted: ++restarted; break;
    }
}

bool ReportPortLess::operator()(const ReportPort& a, const ReportPort& b) const
{
    if (a.first != b.first)
        return a.first < b.first;
    return PortNameLess(a.second, b.second);
}

bool AddRecordLine(ShiftReport& r, const std::string& text, std::string& why)
{
    Line l;
    if (!ReadLine(text, l, why))
        return false;
    if (!l.id.empty() && !r.ids.insert(l.id).second) {
        ++r.duplicates;
        return true;
    }
    ++r.records;
    if (r.first.empty() || l.start < r.first)
        r.first = l.start;
    if (l.end > r.last)
        r.last = l.end;
    if (l.result == "not_served" || l.result == "usage_error" || l.seq == 0) {
        ++r.notBoxes;
        return true;
    }
    // The station's own rule for its columns.
    BoxRecord box;
    box.result = l.result;
    box.exitCode = static_cast<int>(l.exitCode);
    const BoxOutcome outcome = OutcomeOf(box);
    const ReportPort port(l.station, l.port);
    r.total.Add(outcome);
    r.ports[port].Add(outcome);
    if (outcome == BoxOutcome::Restarted)
        return true;
    r.hours[l.end.substr(0, 13)].Add(outcome);
    r.operators[l.op].Add(outcome);
    r.orders[l.order].Add(outcome);
    r.images[{l.image, l.file}].Add(outcome);
    if (outcome == BoxOutcome::Completed)
        r.cycleSeconds.push_back(l.duration);
    if (outcome == BoxOutcome::Failed)
        ++r.failures[l.result][port];
    return true;
}

bool ReadRecordLogs(const std::vector<std::string>& paths, ShiftReport& r, std::string& error)
{
    // Every log is opened before any is read: a missing one gives no
    // figures at all rather than a report that leaves part of the shift out.
    std::vector<std::unique_ptr<std::ifstream>> files;
    for (const std::string& path : paths) {
        if (path == "-") {
            files.emplace_back();
            continue;
        }
        const std::filesystem::path p = std::filesystem::u8path(path);
        std::error_code ec;
        const std::filesystem::file_status st = std::filesystem::status(p, ec);
        if (!std::filesystem::exists(st)) {
            error = "log " + path + ": no such file";
            return false;
        }
        if (std::filesystem::is_directory(st)) {
            error = "log " + path + ": is a directory, not a log";
            return false;
        }
        // A device could be read for ever (/dev/zero); a pipe is fine
        // (--report <(zcat old.jsonl.gz)).
        if (std::filesystem::is_character_file(st) || std::filesystem::is_block_file(st) ||
            std::filesystem::is_socket(st)) {
            error = "log " + path + ": is a device, not a log";
            return false;
        }
        files.emplace_back(new std::ifstream(p, std::ios::binary));
        if (!files.back()->is_open()) {
            error = "log " + path + ": cannot be opened for reading";
            return false;
        }
    }
    r.logs = paths;
    for (size_t k = 0; k < paths.size(); ++k) {
        const std::string name = paths[k] == "-" ? "(standard input)" : paths[k];
        std::istream& in = files[k] ? *files[k] : std::cin;
        long long number = 0;
        const bool read = ForEachLine(in, [&](const std::string& line, bool whole) {
            ++number;
            std::string why;
            if (line.empty() && whole)
                why = "an empty line";
            else if (line.empty())
                why = "longer than " + std::to_string(kMaxLine >> 20) + " MiB: no record";
            else if (AddRecordLine(r, line, why))
                return;
            else if (!whole)
                why += " (the last line has no end of line: cut short?)";
            if (r.skipped.size() < ShiftReport::kNamedSkips)
                r.skipped.push_back({name, number, why});
            ++r.skippedLines;
        });
        if (!read) {
            error = "log " + name + ": a read error after line " + std::to_string(number);
            return false;
        }
    }
    return true;
}

bool CycleTimes(const ShiftReport& r, double& median, double& p90)
{
    std::vector<double> v = r.cycleSeconds;
    if (v.empty())
        return false;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    // Nearest rank: the smallest value with at least 90 % at or below it.
    p90 = v[(n * 9 + 9) / 10 - 1];
    return true;
}
