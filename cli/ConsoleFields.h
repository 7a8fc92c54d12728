// What the terminal's lines are made of: fields that give way in order on
// a narrow terminal, the progress figures, clock times. Shared by the line
// and board drawings of CConsole (Console.cpp, ConsoleBoard.cpp).
#pragma once

#include "Events.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace console {

// How often a drawing may be redone unless forced.
const auto kRedrawInterval = std::chrono::milliseconds(100);
// Status texts of a running transfer fit in this; the progress lines up.
const size_t kStatusColumn = 26;

struct Field {
    std::string text;
    Tone tone = Tone::Plain;
};

// The fields with text, two blanks between.
std::string Join(const std::vector<Field>& fields);
// "/dev/ttyUSB0" -> "ttyUSB0"
std::string BaseName(const std::string& name);
// "14:03:07", the local time of a wall-clock moment.
std::string LocalClock(int64_t unixMs);
// "ETA 1:01"
std::string Eta(double seconds);

// The progress figures of a port; over: its box has ended, so there is no
// rate, time left or stall to show.
struct ProgressFields {
    Field pct, bytes, rate, eta;
};
ProgressFields FieldsOf(const PortProgress& p, bool over);

}  // namespace console
