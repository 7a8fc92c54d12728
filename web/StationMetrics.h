// The station's figures for a monitoring engine (Prometheus' text
// exposition, format 0.0.4): boxes by port and result, box durations,
// bytes served, re-requests and bad frames, each port's state, and an info
// series with the tool's version and the image's SHA-256. Counters come
// from the records as their boxes end (so a line's total equals the sum of
// its logs); the port states from the station's snapshot.
//
// Apply: any port's thread (short, no I/O). Render: any thread.
#pragma once

#include "Events.h"
#include "StationState.h"

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CStationMetrics {
public:
    explicit CStationMetrics(const CStationState& state);

    void Apply(const StationEvent& e);
    // The whole exposition, ready to serve.
    std::string Render() const;

    // Upper bounds (seconds) of the duration histogram's buckets.
    static const std::array<double, 12>& Buckets();

private:
    struct PortFigures {
        std::map<std::string, uint64_t> results;  // result -> boxes
        std::array<uint64_t, 12> buckets{};       // not cumulative
        double durationSum = 0;
        uint64_t durationCount = 0;
        uint64_t served = 0, rerequests = 0, badFrames = 0;
    };

    const CStationState& m_State;
    mutable std::mutex m_Lock;
    std::vector<PortFigures> m_Ports;
};
