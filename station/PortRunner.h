// One port through a run, on the port's own thread: opens it and serves its
// box, or in a shift (--loop) box after box on the same open line until the
// run is stopped or --count boxes have ended. An adapter that went away in
// a shift is waited for and opened again, so the operator restarts nothing;
// a port lost while no box was on it is no box and no record.
#pragma once

#include "BoxRecord.h"
#include "PortEvents.h"
#include "PortHost.h"

#include <functional>
#include <string>

struct ShiftPlan {
    ServePlan serve;
    long long count = 0;  // with serve.loop: boxes on this port, 0 = no limit
};

class CPortRunner {
public:
    // Records of ports that never opened go to sink (box false); the boxes'
    // own records reach the host's record sink.
    using FailureSink = std::function<void(BoxRecord& record)>;

    CPortRunner(CPortHost& host, CPortEvents& events, FailureSink sink);

    // stop: the run is ending (a signal, or the log could not be written);
    // read at every box's end and while waiting for a lost port.
    void Run(const ShiftPlan& plan, const std::function<bool()>& stop);

private:
    // A shift whose adapter went away: try again every second.
    bool Reopen(uint32_t speed, const std::function<bool()>& stop);

    CPortHost& m_Host;
    CPortEvents& m_Events;
    FailureSink m_Sink;
};
