// What happens at a station, as plain values: a port's status and
// progress, a box that starts or ends (with its record and the port's
// tally), a port lost or back, notes and errors. The engine hands each
// event to every observer (the terminal board, the JSON lines on stdout,
// the web board, the metrics); an observer never calls back into a port.
#pragma once

#include "BoxRecord.h"
#include "Tally.h"

#include <cstdint>
#include <memory>
#include <string>

// How a text sounds: a board colours it, and says it in words where it
// cannot.
enum class Tone { Plain, Good, Bad, Warn };

// One port's progress through its box.
struct PortProgress {
    int percent = 0;          // distinct bytes asked for, of those the box can reach
    uint64_t requested = 0;   // distinct bytes asked for
    int64_t addressable = 0;  // bytes the box can reach
    uint64_t served = 0;      // bytes sent in data replies
    double rate = 0.0;        // bytes per second over the last seconds; 0 = unknown
    double eta = -1.0;        // seconds left; < 0 = unknown
};

struct StationEvent {
    enum class Kind {
        Status,      // text, tone; boardOnly: no line of its own
        Progress,    // progress; force: draw now
        BoxWaiting,  // the port waits for its next box: no progress of its own yet
        BoxEnded,    // record, tally: on the disk already when there is a log
        PortLost,    // the adapter went away; sinceMs: when
        PortBack,    // it is open again
        Note,        // a line of its own (start, statistics); no room on a board
        Error,       // for stderr; slot -1 for the station as a whole
        Done,        // the port takes no more boxes; text says why
        PortAdded,   // a port joins the station: port, byId (every port, at the start too)
        SetAside,    // the port failed too often in a row and takes no box; text says so
        Returned,    // a set-aside port is back in service
    };
    Kind kind = Kind::Note;
    int slot = -1;  // the port's index, -1 for the station
    std::string text;
    Tone tone = Tone::Plain;
    bool boardOnly = false;
    bool force = false;
    PortProgress progress;
    std::shared_ptr<const BoxRecord> record;
    ShiftTally tally;
    int64_t sinceMs = 0;  // wall clock, ms since 1970
    // PortAdded: the port as served, its stable name and the image it serves.
    std::string port, byId, imagePath, imageSha256;
    long long imageSize = 0;
};

// Called on the thread of the port the event is about (or the engine's);
// must not block: an observer that does I/O queues the event for a thread
// of its own (CQueuedObserver).
class IStationObserver {
public:
    virtual ~IStationObserver() = default;
    virtual void OnEvent(const StationEvent& event) = 0;
};
