#include "ui/PanelGeometry.h"

#include <gtest/gtest.h>

#include <vector>

using namespace panel;

namespace {

// Owner window: top 100, bottom 400, right 500; panel start height 150.
SnapInput Proposed(int32_t x, int32_t y, int32_t docked, int32_t cx = 175, int32_t cy = 150)
{
    return SnapInput{x, y, cx, cy, 100, 400, 500, 150, docked};
}

}  // namespace

TEST(PanelSnap, SnapsWithinTenPixelsOfTheOwnersRightEdge)
{
    for (int32_t x : {490, 495, 500, 505, 510}) {
        SnapResult r = SnapToOwner(Proposed(x, 120, 0));
        EXPECT_EQ(r.docked, 1) << "x=" << x;
        EXPECT_EQ(r.x, 500) << "x=" << x;
    }
    for (int32_t x : {489, 511, 0, -500, 1000}) {
        SnapResult r = SnapToOwner(Proposed(x, 120, 1));
        EXPECT_EQ(r.docked, 0) << "x=" << x;
        EXPECT_EQ(r.x, x) << "x=" << x;
    }
}

TEST(PanelSnap, VerticalSpansMustOverlapOrTouch)
{
    // Wholly above (bottom at 99) and wholly below (top at 401): never snaps.
    for (int32_t y : {-51, 401, 5000}) {
        SnapResult r = SnapToOwner(Proposed(500, y, 1));
        EXPECT_EQ(r.docked, 0) << "y=" << y;
        EXPECT_EQ(r.x, 500) << "y=" << y;
    }
    // Touching from above (y + 150 == top) and from below (y == bottom).
    EXPECT_EQ(SnapToOwner(Proposed(495, -50, 0)).docked, 1);
    EXPECT_EQ(SnapToOwner(Proposed(495, 400, 0)).docked, 1);
    EXPECT_EQ(SnapToOwner(Proposed(495, 400, 0)).x, 500);
}

TEST(PanelSnap, ChangeWithoutPositionOrSizeKeepsTheFlag)
{
    // A pure show/hide/z-order change carries all four as zero.
    EXPECT_EQ(SnapToOwner(Proposed(0, 0, 1, 0, 0)).docked, 1);
    EXPECT_EQ(SnapToOwner(Proposed(0, 0, 0, 0, 0)).docked, 0);
    // Any single non-zero value is a move or resize.
    EXPECT_EQ(SnapToOwner(Proposed(0, 0, 1, 0, 1)).docked, 0);
    EXPECT_EQ(SnapToOwner(Proposed(0, 1, 1, 0, 0)).docked, 0);
}

TEST(PanelSnap, ExtremeCoordinatesDoNotWrapAround)
{
    SnapInput in{INT32_MAX - 5, INT32_MAX - 10, 1, 1, INT32_MIN, INT32_MAX, INT32_MAX, 100, 0};
    EXPECT_EQ(SnapToOwner(in).docked, 1);
    EXPECT_EQ(SnapToOwner(in).x, INT32_MAX);
}

namespace {

std::vector<SlideResult> RunSlide(int32_t width, bool shown, int32_t mainRight, int32_t mainTop)
{
    std::vector<SlideResult> steps;
    int32_t offset = 0;
    for (int tick = 0; tick < 1000; ++tick) {
        SlideResult r = SlideStep(width, offset, shown, mainRight, mainTop);
        steps.push_back(r);
        offset = r.newOffset;
        if (r.last)
            break;
    }
    return steps;
}

}  // namespace

TEST(PanelSlide, OutwardEndsOnTheMainWindowsRightEdge)
{
    // 175 = 8 * 20 + 15: the remainder comes with the last of 8 steps.
    std::vector<SlideResult> steps = RunSlide(175, true, 600, 50);
    ASSERT_EQ(steps.size(), 8u);
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
        EXPECT_FALSE(steps[i].last);
        EXPECT_EQ(steps[i].newOffset, static_cast<int32_t>(20 * (i + 1)));
        EXPECT_EQ(steps[i].x, static_cast<int32_t>(600 - 175 + 20 * (i + 1))) << "tick " << i;
        EXPECT_EQ(steps[i].y, 70);
    }
    EXPECT_EQ(steps.back().x, 600);
    EXPECT_EQ(steps.back().x - steps[6].x, 35);

    // 180 = 9 * 20: the last step adds nothing extra.
    std::vector<SlideResult> even = RunSlide(180, true, 600, -30);
    ASSERT_EQ(even.size(), 9u);
    EXPECT_EQ(even.back().x, 600);
    EXPECT_EQ(even.back().x - even[7].x, 20);
    EXPECT_EQ(even.back().y, -10);
}

TEST(PanelSlide, InwardEndsBehindTheMainWindow)
{
    std::vector<SlideResult> steps = RunSlide(175, false, 600, 50);
    ASSERT_EQ(steps.size(), 8u);
    EXPECT_EQ(steps.front().x, 580);
    EXPECT_EQ(steps[6].x, 600 - 140);
    EXPECT_EQ(steps.back().x, 600 - 175);
    EXPECT_TRUE(steps.back().last);

    std::vector<SlideResult> even = RunSlide(180, false, 600, 50);
    ASSERT_EQ(even.size(), 9u);
    EXPECT_EQ(even.back().x, 420);
}

TEST(PanelSlide, PanelNarrowerThanOneStepStillEnds)
{
    for (int32_t width : {19, 1, 0, -5}) {
        std::vector<SlideResult> out = RunSlide(width, true, 600, 0);
        ASSERT_EQ(out.size(), 1u) << "width " << width;
        EXPECT_EQ(out.back().x, 600);
        std::vector<SlideResult> in = RunSlide(width, false, 600, 0);
        ASSERT_EQ(in.size(), 1u) << "width " << width;
        EXPECT_EQ(in.back().x, 600 - width);
    }
    // An offset already past the end (a reversed slide) ends at once too.
    SlideResult r = SlideStep(175, 400, true, 600, 0);
    EXPECT_TRUE(r.last);
    EXPECT_EQ(r.x, 600);
}

TEST(PanelAffinity, ConfinesToTheFirstProcessorOnlyWhenItCouldRunElsewhere)
{
    EXPECT_TRUE(DecideAffinity(true, 3).set);
    EXPECT_EQ(DecideAffinity(true, 3).mask, 1u);
    EXPECT_TRUE(DecideAffinity(true, 2).set);
    EXPECT_EQ(DecideAffinity(true, 2).mask, 1u);
    EXPECT_TRUE(DecideAffinity(true, 0x8000000000000000ull).set);   // unsigned comparison
    EXPECT_FALSE(DecideAffinity(true, 1).set);
    EXPECT_FALSE(DecideAffinity(true, 0).set);
    EXPECT_FALSE(DecideAffinity(false, 3).set);
}

TEST(PanelMapping, SpeedAndPortIndices)
{
    EXPECT_EQ(SpeedIndexForBaud(19200), 0);
    EXPECT_EQ(SpeedIndexForBaud(38400), 1);
    EXPECT_EQ(SpeedIndexForBaud(57600), 2);
    EXPECT_EQ(SpeedIndexForBaud(115200), 3);
    EXPECT_EQ(SpeedIndexForBaud(9600), 3);

    EXPECT_EQ(BaudForSpeedIndex(0), 19200);
    EXPECT_EQ(BaudForSpeedIndex(2), 57600);
    EXPECT_EQ(BaudForSpeedIndex(3), 115200);
    EXPECT_EQ(BaudForSpeedIndex(-1), 115200);
    EXPECT_EQ(BaudForSpeedIndex(7), 115200);

    EXPECT_EQ(PortNameForIndex(0), "COM1");
    EXPECT_EQ(PortNameForIndex(3), "COM4");
    EXPECT_EQ(PortNameForIndex(4), "");
    EXPECT_EQ(PortNameForIndex(-1), "");

    EXPECT_STREQ(kSpeedTexts[0], "  19.2 K");
    EXPECT_STREQ(kSpeedTexts[3], "115.2 K");
}
