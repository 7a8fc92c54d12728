// Arithmetic of the port setup panel and its slide, kept free of any platform
// header so that it is tested natively: port and speed index mapping, the
// snap to the main window's right edge, one step of the slide, and the
// processor-affinity decision taken at panel start.
#pragma once

#include <cstdint>
#include <string>

namespace panel {

constexpr int kPortCount = 4;
constexpr int kSpeedCount = 4;
constexpr int kDefaultBaud = 115200;

// Speed list texts in index order; the index is the entry's position.
extern const char* const kSpeedTexts[kSpeedCount];

// 0..2 -> 19200, 38400, 57600; anything else -> 115200.
int BaudForSpeedIndex(int speedIndex);
// 19200, 38400, 57600 -> 0..2; any other value -> 3 (115200).
int SpeedIndexForBaud(int baud);
// 0..3 -> "COM1".."COM4"; any other index -> "" (no port).
std::string PortNameForIndex(int portIndex);

// Snap of the panel to its owner's right edge, decided on each proposed
// window position. All coordinates are signed screen coordinates.
struct SnapInput {
    int32_t x, y, cx, cy;          // proposed position and size
    int32_t ownerTop, ownerBottom; // owner's window rectangle, top and bottom
    int32_t ownerRight;            // owner's window rectangle, right
    int32_t startHeight;           // the panel's height taken at start
    int32_t docked;                // current docked flag, 0 or 1
};
struct SnapResult {
    int32_t docked;
    int32_t x;   // the proposed x, replaced by ownerRight when it snaps
};
SnapResult SnapToOwner(const SnapInput& in);

// How close (pixels, inclusive) the panel's left edge must come to snap.
constexpr int kSnapDistance = 10;

// One step of the panel slide. The panel of width `panelWidth` moves by
// kSlideStep pixels a tick; the remainder panelWidth mod kSlideStep is added
// on the last step. `shown` is the direction: true slides out to the right
// of the main window's right edge mainRight, false slides back behind it.
struct SlideResult {
    int32_t newOffset;   // slide offset after this step
    int32_t x, y;        // panel position for this step
    bool last;           // the slide ends with this step
};
constexpr int kSlideStep = 20;
constexpr int kSlideTopGap = 20;   // panel sits this far below the main window's top
SlideResult SlideStep(int32_t panelWidth, int32_t slideOffsetBefore, bool shown, int32_t mainRight,
                      int32_t mainTop);

// Processor affinity at panel start: confine the process to the first
// processor when it may run on more than one. Returns true and the mask to
// set when a change is due.
struct AffinityDecision {
    bool set;
    uint64_t mask;
};
AffinityDecision DecideAffinity(bool queryOk, uint64_t processMask);

}  // namespace panel
