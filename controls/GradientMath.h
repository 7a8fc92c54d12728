// Arithmetic of the gradient progress bar, kept free of any platform header
// so that it is tested on every platform. The Win32 control turns the plan
// into GDI calls one to one.
//
// The filled part of the bar is a row of narrow vertical bands running from
// a start colour towards an end colour, one band per step of the channel
// that changes most; the rest of the bar is a flat background.
#pragma once

#include <string>
#include <vector>

#include "controls/ControlTypes.h"

struct BarFill {
    ZvRect rect;
    ZvColor colour;
};

// What one paint of the bar does, in order.
struct GradientPaintPlan {
    // true: the fills go into the off-screen bitmap, which is then copied to
    // the paint context in one go; false: the single fill (the empty bar)
    // goes straight onto the paint context.
    bool offScreen = false;
    std::vector<BarFill> fills;
    // Drawn centred over the client rectangle on the paint context, after
    // the off-screen copy, in the bar's text colour.
    bool drawText = false;
    std::string text;
};

struct GradientBarState {
    int lower = 0;
    int upper = 100;
    int position = 0;
    ZvColor start = 0x0000FF;
    ZvColor end = 0xFF0000;
    ZvColor background = 0;
    bool showText = false;
};

// A bar is drawn only strictly inside the range; at either end (or outside
// it) the client area shows the plain button face and no text.
bool GradientHasBar(int lower, int upper, int position);

// F = trunc(position / upper * width) in double precision; the lower end of
// the range is not subtracted. The result is held to -1..width: every value
// below 0 (or above width) stops the bands at the same place as -1 (or
// width) would, and the clamp keeps the conversion to int defined for an
// upper end of 0 or a range below zero.
int GradientFilledWidth(int position, int upper, int width);

// "%.0f%%" of position * 100 / upper: the nearest whole percent.
std::string GradientPercentText(int position, int upper);

// Number of bands: the largest absolute channel difference, 0..255.
int GradientBandCount(ZvColor start, ZvColor end);

// The fills of the off-screen bitmap for a client area width x height with
// filled width F. Band i spans trunc(i*bw)..trunc((i+1)*bw) with bw =
// width / N in single precision, rows 0..height+1, and has the colour
// trunc(S + i*t) per channel with t = delta / N in single precision. The
// bands stop after the first one whose right edge passes F; the rest of the
// bar (rows 0..height) gets the background colour.
std::vector<BarFill> GradientBands(ZvColor start, ZvColor end, ZvColor background,
                                        int width, int height, int filled);

// The whole paint for a client area width x height. buttonFace is the
// system button-face colour read at this paint, used for the empty bar.
GradientPaintPlan PlanGradientPaint(const GradientBarState& bar, int width, int height,
                                    ZvColor buttonFace);
