#include "RateWindow.h"

#include <cstdio>

#include <algorithm>

CRateWindow::CRateWindow(std::chrono::milliseconds window, std::chrono::milliseconds resolution)
    : m_Window(window), m_Resolution(resolution)
{
}

void CRateWindow::Reset()
{
    m_Samples.clear();
    m_Total = 0;
}

void CRateWindow::Add(Clock::time_point t, uint64_t bytes)
{
    m_Total += bytes;
    // Closer than the resolution to the last moment: counted in it (its
    // time stays, so moments stay at least a resolution apart). The first
    // moment is only the baseline, never merged into: its bytes went out
    // before any time was measured.
    if (m_Samples.size() >= 2 && t - m_Samples.back().t < m_Resolution)
        m_Samples.back().total = m_Total;
    else
        m_Samples.push_back(Sample{t, m_Total});
    Prune(t);
}

void CRateWindow::Prune(Clock::time_point now)
{
    // Keep one moment at or before the window's start as the baseline.
    const Clock::time_point cutoff = now - m_Window;
    while (m_Samples.size() >= 2 && m_Samples[1].t <= cutoff)
        m_Samples.pop_front();
}

double CRateWindow::Rate(Clock::time_point now) const
{
    if (m_Samples.empty())
        return 0.0;
    const Clock::time_point cutoff = now - m_Window;
    const Sample* base = &m_Samples.front();
    for (const Sample& s : m_Samples) {
        if (s.t > cutoff)
            break;
        base = &s;
    }
    uint64_t bytes = m_Samples.back().total - base->total;
    // Bytes after the baseline count as sent within the window, so the
    // span is the window itself once there is history enough; after a
    // pause the rate comes back over one window rather than being diluted
    // by the pause.
    double span = std::chrono::duration<double>(now - std::max(base->t, cutoff)).count();
    if (bytes == 0 || span <= 0.0)
        return 0.0;
    return static_cast<double>(bytes) / span;
}

double CRateWindow::EtaSeconds(Clock::time_point now, uint64_t remaining) const
{
    double rate = Rate(now);
    if (rate <= 0.0)
        return -1.0;
    return static_cast<double>(remaining) / rate;
}

std::string FormatRate(double bytesPerSecond)
{
    char text[32];
    if (bytesPerSecond >= 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.2f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
    return text;
}
