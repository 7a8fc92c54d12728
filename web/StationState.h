// The station as the web side shows it: what the run is (host, version,
// images, ports with their stable names) and the last state of each port,
// built from the engine's events alone, never read from the hosts. It
// feeds the first paint of the board (/api/state), the SSE stream and the
// metrics' port states.
//
// Apply: any port's thread (short, no I/O). Everything else: any thread;
// one lock guards the table, and readers copy it out before they render.
#pragma once

#include "BoxRecord.h"
#include "Events.h"
#include "Tally.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// What a run is, fixed at its start.
struct StationInfo {
    RecordContext context;
    int64_t startMs = 0;  // wall clock
    struct Port {
        std::string port;
        std::string byId;
        std::string image;   // the image's path
        std::string sha256;  // of its reachable part
        long long imageSize = 0;
    };
    std::vector<Port> ports;
};

// One port's last state.
struct PortView {
    // The port (as the records name it), its stable name and its image.
    std::string port, byId, image, imageSha256;
    long long imageSize = 0;
    // waiting, downloading, completed, failed, lost, aside, done, stopped
    std::string state = "waiting";
    std::string status;        // the last status text
    std::string tone = "plain";  // plain, good, bad, warn
    std::string error;         // the last error said about this port
    int64_t sinceMs = 0;       // when the state began (wall clock)
    bool hasProgress = false;  // a box is being served
    PortProgress progress;
    uint64_t progressVersion = 0;  // one more per progress event
    ShiftTally tally;
    uint64_t lastSeq = 0;      // the seq of its last record
};

class CStationState {
public:
    explicit CStationState(StationInfo info);

    const StationInfo& Info() const { return m_Info; }

    // Takes an event in; true when the port's state or tallies changed
    // (not its progress alone), so the change is worth a message.
    bool Apply(const StationEvent& e);
    // The run has ended: no port takes another box.
    void SetEnded();
    // What went wrong for the station as a whole (the image changed on
    // disk, the log failed): the last such text.
    void SetStationError(const std::string& text);

    std::vector<PortView> Ports() const;
    bool Ended() const;

    // JSON: one port (as in the snapshot's "ports"), the whole snapshot,
    // and the progress of the ports that moved since progressSeen (updated;
    // one entry per port) or "" when none did.
    std::string PortJson(int slot) const;
    std::string SnapshotJson() const;
    std::string ProgressJson(std::vector<uint64_t>& progressSeen) const;

private:
    PortView& Slot(int slot);  // grows the table for a port not known yet
    std::string PortJsonOf(int slot, const PortView& v) const;

    const StationInfo m_Info;
    mutable std::mutex m_Lock;
    std::vector<PortView> m_Ports;
    bool m_Ended = false;
    std::string m_StationError;
};

// Shared by the snapshot and the metrics: a ratio as JSON, "null" when
// there is nothing to divide.
std::string YieldJson(const ShiftTally& t);
int64_t WallNowMs();
