// Transfer rate over a sliding window of recent time: what the line does
// now, not the average since the start, so a box that slows down or stalls
// shows it at once and the time left follows.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

class CRateWindow {
public:
    using Clock = std::chrono::steady_clock;

    // window: how far back the rate looks; resolution: samples closer than
    // this are merged, which bounds the memory to window / resolution.
    explicit CRateWindow(std::chrono::milliseconds window = std::chrono::milliseconds(3000),
                         std::chrono::milliseconds resolution = std::chrono::milliseconds(50));

    // bytes more have gone out at time t (t never goes back).
    void Add(Clock::time_point t, uint64_t bytes);
    // Bytes per second over the window ending at now; 0 until two moments
    // are known, and 0 once nothing has gone out for a whole window.
    double Rate(Clock::time_point now) const;
    // Seconds to send remaining bytes at the current rate; -1 when the
    // rate is 0 (unknown or stalled).
    double EtaSeconds(Clock::time_point now, uint64_t remaining) const;

    uint64_t Total() const { return m_Total; }
    // Moments held (bounded by window / resolution + 2).
    size_t Samples() const { return m_Samples.size(); }
    void Reset();

private:
    struct Sample {
        Clock::time_point t;
        uint64_t total;  // bytes added up to and including this moment
    };
    void Prune(Clock::time_point now);

    Clock::duration m_Window;
    Clock::duration m_Resolution;
    std::deque<Sample> m_Samples;
    uint64_t m_Total = 0;
};

// "120.3 KiB/s", "1.20 MiB/s"
std::string FormatRate(double bytesPerSecond);
