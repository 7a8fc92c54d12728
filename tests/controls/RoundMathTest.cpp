// The round button's arithmetic: attach geometry, light blend, circle
// stepping and the radii of its rings.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "controls/RoundMath.h"

namespace {

typedef std::pair<int, int> Pt;

std::vector<Pt> Circle(int cx, int cy, int r, bool dotted) {
    std::vector<Pt> v;
    ForEachCirclePixel(cx, cy, r, dotted, [&](int x, int y) { v.push_back(Pt(x, y)); });
    return v;
}

std::set<Pt> Relative(const std::vector<Pt>& v, int cx, int cy) {
    std::set<Pt> s;
    for (const Pt& p : v)
        s.insert(Pt(p.first - cx, p.second - cy));
    return s;
}

struct HalfPx {
    int x, y;
    double angle;
};

template <class F>
std::vector<HalfPx> Half(F each, int cx, int cy, int r) {
    std::vector<HalfPx> v;
    each(cx, cy, r, [&](int x, int y, double a) { v.push_back({x, y, a}); });
    return v;
}

std::vector<HalfPx> RightHalf(int cx, int cy, int r) {
    return Half([](int a, int b, int c, auto fn) { ForEachRightHalfPixel(a, b, c, fn); }, cx,
                cy, r);
}
std::vector<HalfPx> LeftHalf(int cx, int cy, int r) {
    return Half([](int a, int b, int c, auto fn) { ForEachLeftHalfPixel(a, b, c, fn); }, cx, cy,
                r);
}

}  // namespace

TEST(RoundMath, AttachGeometry) {
    RoundGeometry g = ComputeRoundGeometry(30, 20);
    EXPECT_TRUE(g.capsule);
    EXPECT_TRUE((g.work == ZvRect{0, 0, 30, 20}));
    EXPECT_EQ(g.cx, 15);
    EXPECT_EQ(g.cy, 10);
    EXPECT_EQ(g.radius, 9);
    EXPECT_EQ(g.leftX, 9);
    EXPECT_EQ(g.leftY, 10);
    EXPECT_EQ(g.rightX, 20);
    EXPECT_EQ(g.rightY, 10);
    EXPECT_EQ(g.cy - g.radius, 1) << "capsule tops meet the lines at y = 1";

    g = ComputeRoundGeometry(24, 24);  // as wide as tall: round
    EXPECT_FALSE(g.capsule);
    EXPECT_TRUE((g.work == ZvRect{0, 0, 24, 24}));
    EXPECT_EQ(g.cx, 12);
    EXPECT_EQ(g.cy, 12);
    EXPECT_EQ(g.radius, 11);
    EXPECT_EQ(g.leftX, 11);
    EXPECT_EQ(g.leftY, 12);
    EXPECT_EQ(g.rightX, 12);
    EXPECT_EQ(g.rightY, 12);

    g = ComputeRoundGeometry(20, 30);  // taller than wide: cut to a square
    EXPECT_FALSE(g.capsule);
    EXPECT_TRUE((g.work == ZvRect{0, 0, 20, 20}));
    EXPECT_EQ(g.cx, 10);
    EXPECT_EQ(g.cy, 10);
    EXPECT_EQ(g.radius, 9);
    EXPECT_EQ(g.leftX, 9);
    EXPECT_EQ(g.rightX, 10);

    g = ComputeRoundGeometry(25, 25);  // odd side: right centre one right
    EXPECT_EQ(g.cx, 12);
    EXPECT_EQ(g.radius, 11);
    EXPECT_EQ(g.leftX, 11);
    EXPECT_EQ(g.rightX, 13);

    g = ComputeRoundGeometry(75, 23);  // a dialog push button
    EXPECT_TRUE(g.capsule);
    EXPECT_EQ(g.cx, 37);
    EXPECT_EQ(g.cy, 11);
    EXPECT_EQ(g.radius, 10);
    EXPECT_EQ(g.leftX, 10);
    EXPECT_EQ(g.rightX, 64);
    EXPECT_EQ(g.cy - g.radius, 1);
}

TEST(RoundMath, AngleColorBlendsTowardsTheLight) {
    const ZvColor white = 0xFFFFFF;
    EXPECT_EQ(AngleColor(0.0, white, 0), 0x585858u);
    EXPECT_EQ(AngleColor(-1.570796327, white, 0), 0xF8F8F8u);
    EXPECT_EQ(AngleColor(1.570796327, white, 0), 0x050505u);
    EXPECT_EQ(AngleColor(3.141592654, white, 0), 0xA5A5A5u);
    EXPECT_EQ(AngleColor(-3.141592654, white, 0), 0xA6A6A6u);
    EXPECT_EQ(AngleColor(-1.88, white, 0), white);  // light direction: A itself
    // Channels blend separately and keep their places in 0x00BBGGRR.
    EXPECT_EQ(AngleColor(0.0, 0x0000FF, 0xFF0000), 0xA60058u);
    EXPECT_EQ(AngleColor(0.0, 0xC08040, 0x204080), 0x575669u);
    EXPECT_EQ(AngleColor(-1.88, 0x123456, 0xABCDEF), 0x123456u);
    // Just past the wrap point the far side is B (all but truncation).
    EXPECT_EQ(AngleColor(-1.88 + 3.1416, 0x123456, 0xABCDEF), 0xAACCEEu);
}

TEST(RoundMath, MidpointCirclePixels) {
    // Radius 3: exactly these sixteen pixels, first step at y = 0.
    std::vector<Pt> v = Circle(10, 20, 3, false);
    const std::set<Pt> r3 = {{3, 0},  {-3, 0},  {0, 3},  {0, -3},  {3, 1},   {3, -1},
                             {-3, 1}, {-3, -1}, {1, 3},  {1, -3},  {-1, 3},  {-1, -3},
                             {2, 2},  {2, -2},  {-2, 2}, {-2, -2}};
    EXPECT_EQ(Relative(v, 10, 20), r3);
    ASSERT_EQ(v.size(), 24u);  // three steps of eight
    const std::vector<Pt> first = {{13, 20}, {13, 20}, {10, 23}, {10, 17},
                                   {10, 23}, {10, 17}, {7, 20},  {7, 20}};
    EXPECT_EQ(std::vector<Pt>(v.begin(), v.begin() + 8), first);

    // Dotted: steps one and three only.
    const std::set<Pt> d3 = {{3, 0}, {-3, 0}, {0, 3}, {0, -3}, {2, 2}, {2, -2}, {-2, 2}, {-2, -2}};
    EXPECT_EQ(Relative(Circle(0, 0, 3, true), 0, 0), d3);

    // The first step runs whatever the radius.
    EXPECT_EQ(Circle(5, 5, 0, false).size(), 8u);
    EXPECT_EQ(Relative(Circle(5, 5, 0, false), 5, 5), std::set<Pt>({{0, 0}}));
    EXPECT_EQ(Circle(5, 5, -2, true).size(), 8u);

    // Larger radii stay on the circle, symmetric, and dotted rings skip
    // every other step.
    for (int r = 1; r <= 40; ++r) {
        std::vector<Pt> full = Circle(0, 0, r, false);
        std::set<Pt> s(full.begin(), full.end());
        for (const Pt& p : s) {
            const int d = p.first * p.first + p.second * p.second - r * r;
            EXPECT_LE(std::abs(d), r) << r;
            EXPECT_TRUE(s.count(Pt(-p.first, p.second)) && s.count(Pt(p.second, p.first))) << r;
        }
        std::vector<Pt> dotted = Circle(0, 0, r, true);
        const size_t steps = full.size() / 8;
        EXPECT_EQ(dotted.size(), 8 * ((steps + 1) / 2)) << r;
        for (size_t i = 0; i < dotted.size(); ++i)
            EXPECT_EQ(dotted[i], full[(i / 8) * 16 + i % 8]) << r;
    }
}

TEST(RoundMath, HalfCirclePixelsAndAngles) {
    const int cx = 40, cy = 30;
    for (int r : {3, 9, 11}) {
        std::vector<HalfPx> right = RightHalf(cx, cy, r);
        std::vector<HalfPx> left = LeftHalf(cx, cy, r);
        std::set<Pt> both;
        for (const HalfPx& p : right) {
            EXPECT_GE(p.x, cx) << r;
            both.insert(Pt(p.x - cx, p.y - cy));
        }
        for (const HalfPx& p : left) {
            EXPECT_LE(p.x, cx) << r;
            both.insert(Pt(p.x - cx, p.y - cy));
        }
        // Together the halves set the pixels of the full circle.
        EXPECT_EQ(both, Relative(Circle(cx, cy, r, false), cx, cy)) << r;
        // Each pixel's angle is its screen angle about the centre (up to
        // the decimal constants and the +-pi seam).
        for (const std::vector<HalfPx>* half : {&right, &left}) {
            for (const HalfPx& p : *half) {
                const double a = std::atan2(double(p.y - cy), double(p.x - cx));
                double diff = std::fabs(p.angle - a);
                if (diff > 3.0)
                    diff = std::fabs(diff - 2 * 3.141592653589793);
                EXPECT_LT(diff, 1e-8) << r << " at " << p.x << "," << p.y;
            }
        }
    }

    // Radius 3, first step: the angles are formed with the decimal
    // constants, in the order of painting.
    std::vector<HalfPx> right = RightHalf(0, 0, 3);
    ASSERT_EQ(right.size(), 12u);
    EXPECT_EQ(right[0].x, 3);
    EXPECT_EQ(right[0].angle, 0.0);
    EXPECT_EQ(right[1].y, 3);
    EXPECT_EQ(right[1].angle, 1.570796327);
    EXPECT_EQ(right[2].y, -3);
    EXPECT_EQ(right[2].angle, -1.570796327);
    EXPECT_EQ(right[3].x, 3);
    EXPECT_EQ(right[3].angle, 0.0);
    std::vector<HalfPx> left = LeftHalf(0, 0, 3);
    ASSERT_EQ(left.size(), 12u);
    EXPECT_EQ(left[0].y, 3);
    EXPECT_EQ(left[0].angle, 1.570796327);
    EXPECT_EQ(left[1].x, -3);
    EXPECT_EQ(left[1].angle, 3.141592654);
    EXPECT_EQ(left[2].x, -3);
    EXPECT_EQ(left[2].angle, -3.141592654);
    EXPECT_EQ(left[3].y, -3);
    EXPECT_EQ(left[3].angle, -1.570796327);

    // Painting the left half pixel by pixel: the leftmost pixel is set
    // twice, last at -pi, so it keeps the -pi shade.
    std::map<Pt, ZvColor> screen;
    for (const HalfPx& p : LeftHalf(0, 0, 9))
        screen[Pt(p.x, p.y)] = AngleColor(p.angle, 0xFFFFFF, 0);
    EXPECT_EQ(screen[Pt(-9, 0)], 0xA6A6A6u);
    EXPECT_EQ(screen[Pt(0, -9)], 0xF8F8F8u);
    EXPECT_EQ(screen[Pt(0, 9)], 0x050505u);
}

TEST(RoundMath, RadiiOfTheRings) {
    const int r = 11;
    const int none = RoundRadii::kNone;
    struct Row {
        bool capsule, flat, focused;
        int mark, outer, inner, clip, dotted;
    } rows[] = {
        {false, false, true, r, r - 1, r - 2, r - 1, r - 3},  // round shaded focused
        {false, false, false, none, r, r - 1, r, none},       // round shaded
        {false, true, true, r, r - 1, r - 2, r - 3, r - 5},   // round flat focused
        {false, true, false, none, r, r - 1, r - 2, none},    // round flat
        {true, false, false, none, r, r - 1, r, none},        // capsule shaded
        {true, false, true, none, r, r - 1, r, none},         // ... focused: no marks
        {true, true, false, none, r, r - 1, r - 1, none},     // capsule flat
        {true, true, true, none, r, r - 1, r - 1, none},
    };
    for (const Row& row : rows) {
        RoundRadii rr = ComputeRoundRadii(r, row.capsule, row.flat, row.focused);
        SCOPED_TRACE(::testing::Message() << "capsule " << row.capsule << " flat " << row.flat
                                          << " focused " << row.focused);
        EXPECT_EQ(rr.focusMark, row.mark);
        EXPECT_EQ(rr.rimOuter, row.outer);
        EXPECT_EQ(rr.rimInner, row.inner);
        EXPECT_EQ(rr.captionClip, row.clip);
        EXPECT_EQ(rr.dottedRing, row.dotted);
    }
}
