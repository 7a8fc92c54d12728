#include "app/CommandLine.h"
#include "ui/FileRules.h"

#include <gtest/gtest.h>

TEST(CommandLine, TakesTheFirstArgumentAsTheRuntimeSplitsIt)
{
    EXPECT_EQ(FirstCommandLineArgument("zurivavave.exe"), "");
    EXPECT_EQ(FirstCommandLineArgument("zurivavave.exe   "), "");
    EXPECT_EQ(FirstCommandLineArgument(""), "");
    EXPECT_EQ(FirstCommandLineArgument(nullptr), "");
    EXPECT_EQ(FirstCommandLineArgument("zurivavave.exe fw.wzb"), "fw.wzb");
    // A quoted path with spaces, then a further argument that is ignored.
    EXPECT_EQ(FirstCommandLineArgument("\"C:\\Program Files\\zv\\zurivavave.exe\" \"C:\\My Files\\fw 2.wzb\" extra"),
              "C:\\My Files\\fw 2.wzb");
    // Quotes may stand inside an argument; the program name may be quoted
    // with spaces in it.
    EXPECT_EQ(FirstCommandLineArgument("\"a b\\zv.exe\" \"C:\\My Files\"\\fw.wzb next"), "C:\\My Files\\fw.wzb");
    // A backslash before a quote makes the quote literal.
    EXPECT_EQ(FirstCommandLineArgument("zv.exe C:\\\"x y"), "C:\"x");
    // Backslashes are literal unless they precede a quote.
    EXPECT_EQ(FirstCommandLineArgument("zv.exe C:\\dir\\\\fw.wzb"), "C:\\dir\\\\fw.wzb");
    EXPECT_EQ(FirstCommandLineArgument("zv.exe \"C:\\dir\\\\\" x"), "C:\\dir\\");
    EXPECT_EQ(FirstCommandLineArgument("zv.exe a\\\"b"), "a\"b");
    EXPECT_EQ(FirstCommandLineArgument("zv.exe\tfw.wzb"), "fw.wzb");
}

TEST(FileRules, DroppedNamesAreJudgedByThreeCharactersAfterTheFirstDot)
{
    for (const char* ok : {"C:\\fw\\x.kxr", "Y.WzB", "C:\\a.wzbx", "C:\\r1.2\\fw.wzb", "D:\\v.WZB.bak", "fw.KXR"})
        EXPECT_TRUE(IsSupportedDropName(ok)) << ok;
    for (const char* bad : {"C:\\notes.txt", "C:\\dir\\fw.r2.wzb", "C:\\dir.wzb\\firmware", "C:\\x.wz", "C:\\wzb",
                            "C:\\x.", ""})
        EXPECT_FALSE(IsSupportedDropName(bad)) << bad;
}
