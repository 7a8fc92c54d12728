#include "UiTestSupport.h"

#include "ui/Settings.h"

#include <gtest/gtest.h>

namespace {

class SettingsTest : public ::testing::Test {
protected:
    std::string m_ini;
    void SetUp() override
    {
        m_ini = uitest::TempFile("zv_settings_test_");
        ::DeleteFileA(m_ini.c_str());
        settings::SetIniPathForTesting(m_ini);
    }
    void TearDown() override
    {
        ::DeleteFileA(m_ini.c_str());
        settings::SetIniPathForTesting("");
    }
};

}  // namespace

TEST_F(SettingsTest, DefaultsRoundTripsAndThePathLimit)
{
    EXPECT_EQ(settings::IniPath(), m_ini);
    EXPECT_EQ(settings::ReadPortIndex(), 0);
    EXPECT_EQ(settings::ReadSpeed(), 115200);
    EXPECT_EQ(settings::ReadPath(), "C:\\*.WZB");
    EXPECT_FALSE(uitest::FileExists(m_ini));

    settings::WritePortIndex(-3);
    settings::WriteSpeed(57600);
    std::string text = uitest::FileText(m_ini);
    EXPECT_NE(text.find("PORT=-3"), std::string::npos) << text;
    EXPECT_NE(text.find("SPEED=57600"), std::string::npos) << text;
    EXPECT_EQ(settings::ReadPortIndex(), -3);
    EXPECT_EQ(settings::ReadSpeed(), 57600);

    std::string longPath = "C:\\";
    while (longPath.size() < 150)
        longPath += "abcdefghij\\";
    longPath += "fw.wzb";
    settings::WritePath(longPath);
    EXPECT_NE(uitest::FileText(m_ini).find(longPath), std::string::npos);
    EXPECT_EQ(settings::ReadPath(), longPath.substr(0, 99));

    settings::WritePath("D:\\fw\\box.wzb");
    EXPECT_EQ(settings::ReadPath(), "D:\\fw\\box.wzb");

    // The real file name, once the test path is cleared.
    settings::SetIniPathForTesting("");
    EXPECT_EQ(settings::IniPath(), "C:\\Temp\\SerialPort.ini");
}

