#include "ui/PanelGeometry.h"

namespace panel {

const char* const kSpeedTexts[kSpeedCount] = {"  19.2 K", "  38.4 K", "  57.6 K", "115.2 K"};

namespace {
const int kBauds[kSpeedCount - 1] = {19200, 38400, 57600};
}

int BaudForSpeedIndex(int speedIndex)
{
    if (speedIndex >= 0 && speedIndex < kSpeedCount - 1)
        return kBauds[speedIndex];
    return kDefaultBaud;
}

int SpeedIndexForBaud(int baud)
{
    for (int i = 0; i < kSpeedCount - 1; ++i) {
        if (kBauds[i] == baud)
            return i;
    }
    return kSpeedCount - 1;
}

std::string PortNameForIndex(int portIndex)
{
    if (portIndex < 0 || portIndex >= kPortCount)
        return std::string();
    return "COM" + std::to_string(portIndex + 1);
}

SnapResult SnapToOwner(const SnapInput& in)
{
    SnapResult out{in.docked, in.x};
    // A pure show, hide or z-order change carries no position: keep the flag.
    if (in.x != 0 || in.y != 0 || in.cx != 0 || in.cy != 0)
        out.docked = 0;
    // 64-bit sums: extreme coordinates must not wrap around.
    const int64_t y = in.y;
    const int64_t bottom = y + in.startHeight;
    if (!(y <= in.ownerBottom && bottom >= in.ownerTop))
        return out;
    const int64_t x = in.x;
    const int64_t right = in.ownerRight;
    if (x >= right - kSnapDistance && x <= right + kSnapDistance) {
        out.docked = 1;
        out.x = in.ownerRight;
    }
    return out;
}

SlideResult SlideStep(int32_t panelWidth, int32_t slideOffsetBefore, bool shown, int32_t mainRight,
                      int32_t mainTop)
{
    const int64_t w = panelWidth;
    const int64_t rem = w > 0 ? w % kSlideStep : 0;
    const int64_t s = static_cast<int64_t>(slideOffsetBefore) + kSlideStep;
    // ">=" rather than "==": a panel narrower than one step (or an offset
    // already past the end) must still end the slide, or the timer would
    // run for ever. For any width of a step or more the two agree.
    const bool last = s + rem >= w;
    const int64_t d = last ? rem : 0;
    int64_t x;
    if (last)
        x = shown ? int64_t{mainRight} : int64_t{mainRight} - w;   // the end position exactly
    else
        x = shown ? int64_t{mainRight} - w + s + d : int64_t{mainRight} - s - d;
    SlideResult out;
    out.newOffset = static_cast<int32_t>(s);
    out.x = static_cast<int32_t>(x);
    out.y = static_cast<int32_t>(int64_t{mainTop} + kSlideTopGap);
    out.last = last;
    return out;
}

AffinityDecision DecideAffinity(bool queryOk, uint64_t processMask)
{
    if (queryOk && processMask > 1)
        return AffinityDecision{true, 1};
    return AffinityDecision{false, 0};
}

}  // namespace panel
