// The gradient bar's arithmetic: band count, band edges and colours, where
// the filled part ends, the percentage text and the empty-bar rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controls/GradientMath.h"

namespace {

const ZvColor kRed = 0x0000FF;
const ZvColor kBlue = 0xFF0000;
const ZvColor kDarkBlue = 0x5E0000;
const ZvColor kBack = 0x00C0C0C0;
const ZvColor kFace = 0x00D4D0C8;

// Every column 0..width-1 of the bar is painted by exactly one fill: the
// fills follow each other without a gap or overlap and end at width.
void ExpectCoversBar(const std::vector<BarFill>& fills, int width, const char* what) {
    ASSERT_FALSE(fills.empty()) << what;
    int edge = 0;
    for (const BarFill& f : fills) {
        ASSERT_EQ(f.rect.left, edge) << what;
        ASSERT_GE(f.rect.right, f.rect.left) << what;
        ASSERT_EQ(f.rect.top, 0) << what;
        edge = f.rect.right;
    }
    EXPECT_EQ(edge, width) << what;
}

}  // namespace

TEST(GradientMath, BandCountAndColours) {
    EXPECT_EQ(GradientBandCount(kBlue, kDarkBlue), 161);
    EXPECT_EQ(GradientBandCount(kRed, kBlue), 255);
    EXPECT_EQ(GradientBandCount(0x102030, 0x102030), 0);
    EXPECT_EQ(GradientBandCount(0x00FF00, 0x000000), 255);  // green alone
    EXPECT_EQ(GradientBandCount(0x0A0B0C, 0x000000), 12);   // largest: red 12

    // Main dialog colours: blue 255 down to 95, one step per band, every
    // band drawn when the bar is (nearly) full.
    std::vector<BarFill> b = GradientBands(kBlue, kDarkBlue, kBack, 322, 17, 322);
    ASSERT_EQ(b.size(), 161u);  // two columns per band, nothing left over
    for (int i = 0; i < 161; ++i) {
        EXPECT_EQ(b[i].colour, static_cast<ZvColor>(255 - i) << 16) << i;
        EXPECT_EQ(b[i].rect.bottom, 18) << "bands reach one row below the client";
    }
    EXPECT_EQ(b[160].colour, 0x5F0000u);  // one step short of 0x5E
    EXPECT_EQ(b[80].rect.left, 160);
    ExpectCoversBar(b, 322, "main dialog colours, full");

    // Defaults red -> blue: 255 bands, red falls while blue rises.
    b = GradientBands(kRed, kBlue, kBack, 510, 10, 510);
    ASSERT_EQ(b.size(), 255u);
    EXPECT_EQ(b[0].colour, kRed);
    EXPECT_EQ(b[1].colour, 0x0100FEu);
    EXPECT_EQ(b[254].colour, 0xFE0001u);
    EXPECT_EQ(b[100].rect.left, 200);
    EXPECT_EQ(b[100].rect.right, 202);

    // Fractional steps are truncated per channel: red 0 -> 200 sets
    // N = 200, green 100 -> 0 steps by -0.5, blue 0 -> 50 by 0.25.
    b = GradientBands(ZvRgb(0, 100, 0), ZvRgb(200, 0, 50), kBack, 1000, 5, 1000);
    ASSERT_EQ(b.size(), 200u);
    EXPECT_EQ(b[1].colour, ZvRgb(1, 99, 0));    // 99.5 -> 99, 0.25 -> 0
    EXPECT_EQ(b[3].colour, ZvRgb(3, 98, 0));    // 98.5 -> 98, 0.75 -> 0
    EXPECT_EQ(b[7].colour, ZvRgb(7, 96, 1));    // 96.5 -> 96, 1.75 -> 1
    EXPECT_EQ(b[199].colour, ZvRgb(199, 0, 49));
}

TEST(GradientMath, FilledPartEndsAtFirstBandEdgeBeyondF) {
    // Position 50 of 0..100 at width 200: F = 100. Red -> blue gives bands
    // of 200/255 px; band 127 ends at 100 (not beyond), band 128 at 101.
    EXPECT_EQ(GradientFilledWidth(50, 100, 200), 100);
    std::vector<BarFill> b = GradientBands(kRed, kBlue, kBack, 200, 20, 100);
    ASSERT_EQ(b.size(), 130u);
    EXPECT_EQ(b[127].rect.right, 100);
    EXPECT_EQ(b[128].rect.left, 100);
    EXPECT_EQ(b[128].rect.right, 101);
    const BarFill& rest = b.back();
    EXPECT_EQ(rest.colour, kBack);
    EXPECT_EQ(rest.rect.left, 101);
    EXPECT_EQ(rest.rect.right, 200);
    EXPECT_EQ(rest.rect.bottom, 20) << "the background stops at the client bottom";
    ExpectCoversBar(b, 200, "50 of 100");

    // Position 1 of 0..100 at width 99: F = 0, yet the band that first
    // passes 0 is drawn, so one column of gradient shows.
    EXPECT_EQ(GradientFilledWidth(1, 100, 99), 0);
    b = GradientBands(kBlue, kDarkBlue, kBack, 99, 12, 0);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0].rect.right, 0);  // 99/161 px wide: empty
    EXPECT_EQ(b[1].rect.left, 0);
    EXPECT_EQ(b[1].rect.right, 1);
    EXPECT_EQ(b[1].colour, 0xFE0000u);
    EXPECT_EQ(b[2].rect.left, 1);
    EXPECT_EQ(b[2].colour, kBack);

    // The filled width uses the position over the upper end only.
    EXPECT_EQ(GradientFilledWidth(37, 100, 300), 111);
    EXPECT_EQ(GradientFilledWidth(60, 120, 300), 150);
    EXPECT_EQ(GradientFilledWidth(150, 200, 99), 74);  // 74.25
    // Ranges the bar never gets from the program still give a defined,
    // clamped value instead of an undefined conversion.
    EXPECT_EQ(GradientFilledWidth(-5, 0, 100), -1);
    EXPECT_EQ(GradientFilledWidth(5, 0, 100), 100);
    EXPECT_EQ(GradientFilledWidth(-50, -10, 100), 100);
    EXPECT_EQ(GradientFilledWidth(-10, 50, 100), -1);
}

TEST(GradientMath, EveryColumnIsPainted) {
    // The off-screen bitmap starts out undefined, so every column must be
    // painted whatever the width, position and colours. In single
    // precision N * (W / N) often falls short of W (e.g. W = 50, N = 161),
    // which would leave the last column unpainted near a full bar.
    std::vector<BarFill> b = GradientBands(kBlue, kDarkBlue, kBack, 50, 10, 49);
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b.back().colour, kBack);
    EXPECT_EQ(b.back().rect.left, 49);
    EXPECT_EQ(b.back().rect.right, 50);

    const ZvColor pairs[][2] = {{kRed, kBlue}, {kBlue, kDarkBlue}, {0x000000, 0x030201},
                                {0x808080, 0x808080}};
    for (const auto& p : pairs) {
        for (int w = 0; w <= 420; w += 1) {
            for (int pos : {1, 33, 50, 98, 99}) {
                const int f = GradientFilledWidth(pos, 100, w);
                std::string what = "w=" + std::to_string(w) + " pos=" + std::to_string(pos) +
                                   " start=" + std::to_string(p[0]);
                ExpectCoversBar(GradientBands(p[0], p[1], kBack, w, 8, f), w, what.c_str());
                if (HasFatalFailure())
                    return;
            }
        }
    }
}

TEST(GradientMath, EqualColoursPaintFilledPartAndBackground) {
    std::vector<BarFill> b = GradientBands(0x336699, 0x336699, kBack, 200, 10, 70);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].colour, 0x336699u);
    EXPECT_EQ(b[0].rect.right, 70);
    EXPECT_EQ(b[1].colour, kBack);
    EXPECT_EQ(b[1].rect.left, 70);
    EXPECT_EQ(b[1].rect.right, 200);
    b = GradientBands(0x336699, 0x336699, kBack, 200, 10, 0);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].colour, kBack);
    EXPECT_EQ(b[0].rect.left, 0);
    EXPECT_EQ(b[0].rect.right, 200);
}

TEST(GradientMath, PercentTextRoundsToNearest) {
    EXPECT_EQ(GradientPercentText(37, 100), "37%");
    EXPECT_EQ(GradientPercentText(1, 3), "33%");
    EXPECT_EQ(GradientPercentText(2, 3), "67%");
    EXPECT_EQ(GradientPercentText(50, 100), "50%");
    EXPECT_EQ(GradientPercentText(199, 200), "100%");  // 99.5: a tie, 100 either way
    EXPECT_EQ(GradientPercentText(1, 300), "0%");
    EXPECT_EQ(GradientPercentText(299, 300), "100%");
    EXPECT_EQ(GradientPercentText(5, 10), "50%");
}

TEST(GradientMath, PaintPlanAndEmptyBarRule) {
    GradientBarState bar;
    bar.start = kBlue;
    bar.end = kDarkBlue;
    bar.background = kBack;
    bar.showText = true;

    // At either end of 0..100 the bar is the plain button face, no text.
    for (int pos : {0, 100, -3, 101}) {
        bar.position = pos;
        GradientPaintPlan plan = PlanGradientPaint(bar, 250, 16, kFace);
        EXPECT_FALSE(plan.offScreen) << pos;
        EXPECT_FALSE(plan.drawText) << pos;
        ASSERT_EQ(plan.fills.size(), 1u) << pos;
        EXPECT_EQ(plan.fills[0].colour, kFace) << pos;
        EXPECT_TRUE((plan.fills[0].rect == ZvRect{0, 0, 250, 16})) << pos;
    }

    bar.position = 50;
    GradientPaintPlan plan = PlanGradientPaint(bar, 200, 16, kFace);
    EXPECT_TRUE(plan.offScreen);
    EXPECT_TRUE(plan.drawText);
    EXPECT_EQ(plan.text, "50%");
    EXPECT_EQ(plan.fills.front().colour, kBlue);
    EXPECT_EQ(plan.fills.back().colour, kBack);
    EXPECT_EQ(plan.fills.back().rect.right, 200);

    bar.showText = false;
    plan = PlanGradientPaint(bar, 200, 16, kFace);
    EXPECT_FALSE(plan.drawText);

    // The lower end is compared but not subtracted.
    bar.lower = 40;
    bar.upper = 80;
    bar.position = 40;
    EXPECT_FALSE(PlanGradientPaint(bar, 200, 16, kFace).offScreen);
    bar.position = 41;
    plan = PlanGradientPaint(bar, 200, 16, kFace);
    EXPECT_TRUE(plan.offScreen);
    // F = 41/80 * 200 = 102: the rest starts beyond 102, not near 5.
    EXPECT_GT(plan.fills.back().rect.left, 102);
    EXPECT_LT(plan.fills.back().rect.left, 105);

    bar.lower = -10;
    bar.upper = 10;
    bar.position = 0;
    EXPECT_TRUE(PlanGradientPaint(bar, 200, 16, kFace).offScreen);
    bar.upper = 0;
    bar.position = -5;  // upper end 0: no division fault, bar still painted
    plan = PlanGradientPaint(bar, 200, 16, kFace);
    EXPECT_TRUE(plan.offScreen);
    ExpectCoversBar(plan.fills, 200, "upper 0");
}
