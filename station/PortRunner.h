// One port through a run, on the port's own thread: opens it and serves its
// box, or in a shift (--loop) box after box on the same open line until the
// run is stopped or --count boxes have ended. In a shift an adapter that
// went away, or that is not there yet, is waited for and opened when it
// comes, so the operator restarts nothing; a port lost while no box was on
// it is no box and no record. A port whose boxes keep failing is set aside
// until the operator returns it to service (replugging its adapter, or a
// request from outside: SIGUSR1, a key on the board).
#pragma once

#include "BoxRecord.h"
#include "PortEvents.h"
#include "PortHost.h"

#include <atomic>
#include <functional>
#include <string>

struct ShiftPlan {
    ServePlan serve;
    long long count = 0;    // with serve.loop: boxes on this port, 0 = no limit
    int maxFailures = 0;    // with serve.loop: failed boxes in a row that set the port aside, 0 = never
    bool joined = false;    // the port joined while the run went on: waited for, never failed
};

class CPortRunner {
public:
    // What the runner needs of the station: where the records of a port
    // that never opened go (the boxes' own records reach the host's record
    // sink), the port's failures in a row, and a port set aside or back.
    struct Station {
        std::function<void(BoxRecord& record)> failure;
        std::function<int()> failuresInARow;
        std::function<void(bool aside)> setAside;
        // Bumped by every request to return set-aside ports to service.
        const std::atomic<int>* returnRequests = nullptr;
    };

    CPortRunner(CPortHost& host, CPortEvents& events, const std::string& port, Station station);

    // stop: the run is ending (a signal, or the log could not be written);
    // read at every box's end and while the port waits.
    void Run(const ShiftPlan& plan, const std::function<bool()>& stop);

private:
    // A shift whose adapter went away or is not there yet: try every second.
    bool Reopen(uint32_t speed, const std::function<bool()>& stop, const char* text);
    // Takes no box until the port is returned to service; false when the
    // run ended meanwhile.
    bool StandAside(const ShiftPlan& plan, const std::function<bool()>& stop);

    CPortHost& m_Host;
    CPortEvents& m_Events;
    std::string m_Port;
    Station m_Station;
};
