#include "protocol/TimeCode.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
LocalTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    LocalTime t;
    t.year = y;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    return t;
}
std::vector<unsigned char> Encode(const LocalTime& t, bool* ok)
{
    std::vector<unsigned char> p(5, 0xEE);
    *ok = EncodeTimePayload(t, p.data());
    return p;
}
}  // namespace

TEST(TimeCode, EncodesMjdAndBcdAtTheRangeEnds)
{
    bool ok = false;
    EXPECT_EQ(Encode(At(2010, 4, 23, 13, 5, 9), &ok), (std::vector<unsigned char>{0xD8, 0x0D, 0x13, 0x05, 0x09}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(ComputeMjd(2010, 4, 23), 55309);

    // Across a year start the January formula joins the December one.
    EXPECT_EQ(ComputeMjd(2000, 1, 1), ComputeMjd(1999, 12, 31) + 1);
    EXPECT_EQ(ComputeMjd(2000, 3, 1), ComputeMjd(2000, 2, 29) + 1);

    auto last = Encode(At(2038, 4, 22, 23, 59, 59), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(last, (std::vector<unsigned char>{0xFF, 0xFF, 0x23, 0x59, 0x59}));

    auto first = Encode(At(1900, 3, 1), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ComputeMjd(1900, 3, 1), 15079);
    EXPECT_EQ(first[0] * 256 + first[1], 15079);
}

TEST(TimeCode, RefusesDatesTheBoxCannotTake)
{
    bool ok = true;
    for (const LocalTime& t : {At(2038, 4, 23), At(2100, 12, 31), At(1900, 1, 15), At(1900, 2, 28),
                               At(1899, 12, 31), At(2101, 1, 1), At(2020, 0, 1), At(2020, 13, 1),
                               At(2020, 5, 0), At(2020, 5, 32)}) {
        auto p = Encode(t, &ok);
        EXPECT_FALSE(ok) << t.year << "-" << t.month << "-" << t.day;
        EXPECT_EQ(p, std::vector<unsigned char>(5, 0xEE)) << "payload must stay untouched";
    }
    // The unsigned century term puts January and February 1900 far out of range.
    EXPECT_GT(ComputeMjd(1900, 1, 1), 65535);
}
