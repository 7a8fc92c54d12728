// The record of one box: what it was served, how it ended and what the
// line did. The one JSON schema of the tool: --log appends it as a line
// per box, --json prints it on stdout; both go through RecordJson, and the
// keys are described once, in RecordSchemaHelp, for --help and the README.
#pragma once

#include <cstdint>
#include <string>

struct BoxRecord {
    // Which record: seq grows by one per record of a log and never goes
    // back (it goes on from the log's highest when a run starts); id is
    // unique whatever the log (the run's id and the seq).
    uint64_t seq = 0;
    std::string id;
    // Which box, where.
    int box = 0;                // 1, 2, ... the boxes ended on this port so far, this one included
    std::string port;
    std::string portById;       // stable /dev/serial/by-id name, if known
    std::string usbSerial;      // the adapter's USB serial number, if known
    uint32_t speed = 0;
    // What it was served.
    std::string file;
    long long fileSize = 0;
    long long addressable = 0;  // bytes the box can reach: the file, at most 16 MiB + 254
    std::string sha256;         // of what the box received: see RecordSchemaHelp
    uint64_t sha256Bytes = 0;   // how many bytes that hash covers
    std::string imageSha256;    // of the image's reachable part, as the run read it
    bool imageChanged = false;  // the file on disk changed since the run read it
    // How it ended.
    int exitCode = 1;
    // completed, incomplete, file_error, size_over, read_error, port_lost,
    // timeout, no_box, restarted, interrupted, port_error, usage_error,
    // not_served
    std::string result = "port_error";
    std::string status;         // the last status text shown
    std::string detail;         // why, when the status does not say it all
    // The box's own words: its first greeting's payload, as hex, and as
    // text when every byte is printable ASCII.
    std::string hello;
    std::string helloText;
    // What the line did.
    uint64_t served = 0;        // bytes sent in data replies
    uint64_t requested = 0;     // distinct bytes of the file the box asked for
    uint64_t blocks = 0;        // data replies
    uint64_t requests = 0;      // frames from the box with a right checksum
    uint64_t rerequests = 0;    // data requests for a block already served
    uint64_t badFrames = 0;     // frames from the box with a wrong checksum
    uint64_t regreetings = 0;   // hellos after its first that did not start it over
    // When (wall clock, milliseconds since 1970 UTC) and how long.
    int64_t startMs = 0;        // the box's first frame, or when the port began waiting
    int64_t endMs = 0;
    double duration = 0.0;         // seconds from start to end, by the monotonic clock
    double elapsed = 0.0;          // seconds from the start of waiting to the end
    double transferSeconds = 0.0;  // seconds from the box's first frame to the end
};

// What every record of a run shares.
struct RecordContext {
    std::string tool = "zurivavave-cli";
    std::string version;
    std::string host;
    std::string runId;  // unique per run
    std::string station;   // the station's name (default: the host name)
    std::string operatorName;
    std::string order;     // the work order
};

enum { kRecordSchema = 2 };

// One JSON object, one line, no newline.
std::string RecordJson(const BoxRecord& r, const RecordContext& context);
// The keys, for --help and the README.
const char* RecordSchemaHelp();
// "2026-12-10T14:03:07.123Z"
std::string IsoUtc(int64_t unixMs);
// Percent of the addressable bytes the box asked for, one decimal place.
double RequestedPercent(const BoxRecord& r);
// Whether a result counts as a completed box.
inline bool IsCompleted(const BoxRecord& r) { return r.exitCode == 0; }
