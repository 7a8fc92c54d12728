// Arithmetic of the round button, kept free of any platform header so that
// it is tested on every platform: the attach geometry, the light-direction
// colour blend, the midpoint circle stepping and the radii of the rings.
#pragma once

#include <cmath>

#include "controls/ControlTypes.h"

// Geometry fixed when the button is attached to its window.
struct RoundGeometry {
    bool capsule;     // wider than tall (strictly)
    ZvRect work;      // client rectangle, cut to a square at the top-left
                      // corner unless a capsule
    int cx, cy;       // centre of the working rectangle
    int radius;       // outer rim radius
    int leftX, leftY;    // centre of the left half circles
    int rightX, rightY;  // centre of the right half circles
};

// From the client size; every division truncates toward zero.
RoundGeometry ComputeRoundGeometry(int clientWidth, int clientHeight);

// Blend of a and b for a screen angle (x right, y down, as atan2(dy, dx)
// gives it): a is reached at -1.88 rad (the light comes from up and a bit
// left), b at the opposite side, weighted by (1 + cos) / 2, each channel
// truncated. The wrap constants 3.1415 and 6.293 are part of the look.
ZvColor AngleColor(double angle, ZvColor a, ZvColor b);

// Midpoint circle. Calls pixel(x, y) for the eight octant points of every
// step, in the order the rims are painted; a dotted circle paints every
// other step, beginning with the first. The first step always runs.
template <class PixelFn>
void ForEachCirclePixel(int cx, int cy, int r, bool dotted, PixelFn pixel) {
    int x = r;
    int y = 0;
    int e = -r;
    bool draw = true;
    do {
        if (draw) {
            pixel(cx + x, cy + y);
            pixel(cx + x, cy - y);
            pixel(cx + y, cy + x);
            pixel(cx + y, cy - x);
            pixel(cx - y, cy + x);
            pixel(cx - y, cy - x);
            pixel(cx - x, cy + y);
            pixel(cx - x, cy - y);
        }
        e += 2 * y + 1;
        ++y;
        if (e >= 0) {
            --x;
            e -= 2 * x;
        }
        if (dotted)
            draw = !draw;
    } while (y <= x);
}

// The decimal constants the half circles use for their pixel angles.
const double kRoundHalfPi = 1.570796327;
const double kRoundPi = 3.141592654;

// The right half circle: four pixels per midpoint step, each with its own
// screen angle about (cx, cy); calls pixel(x, y, angle).
template <class PixelFn>
void ForEachRightHalfPixel(int cx, int cy, int r, PixelFn pixel) {
    int x = r;
    int y = 0;
    int e = -r;
    do {
        const double t = std::atan2(static_cast<double>(y), static_cast<double>(x));
        pixel(cx + x, cy + y, t);
        pixel(cx + y, cy + x, kRoundHalfPi - t);
        pixel(cx + y, cy - x, t - kRoundHalfPi);
        pixel(cx + x, cy - y, -t);
        e += 2 * y + 1;
        ++y;
        if (e >= 0) {
            --x;
            e -= 2 * x;
        }
    } while (y <= x);
}

template <class PixelFn>
void ForEachLeftHalfPixel(int cx, int cy, int r, PixelFn pixel) {
    int x = r;
    int y = 0;
    int e = -r;
    do {
        const double t = std::atan2(static_cast<double>(y), static_cast<double>(x));
        pixel(cx - y, cy + x, t + kRoundHalfPi);
        pixel(cx - x, cy + y, kRoundPi - t);
        pixel(cx - x, cy - y, t - kRoundPi);
        pixel(cx - y, cy - x, -kRoundHalfPi - t);
        e += 2 * y + 1;
        ++y;
        if (e >= 0) {
            --x;
            e -= 2 * x;
        }
    } while (y <= x);
}

// Radii of one painting. Every ring is drawn about the centre except the
// shaded rims, which are half circles about the left and right centres.
// kNone marks a ring that is not drawn.
struct RoundRadii {
    enum { kNone = -1000000 };
    int focusMark;    // solid black circle
    int rimOuter;     // outer rim (shaded or flat)
    int rimInner;     // inner rim, one pixel further in
    int captionClip;  // half size of the caption's clip area
    int dottedRing;   // dotted black focus ring
};

// focused: the item has the focus and the focus ring flag is set. A
// capsule never shows focus marks. The focus mark pushes everything one
// pixel in; flat rims take their two pixels out of the caption area.
RoundRadii ComputeRoundRadii(int radius, bool capsule, bool flat, bool focused);
