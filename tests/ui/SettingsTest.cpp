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
        settings::SetFileReaderForTesting(nullptr);
    }
};

// C:\펌웨어\새 이미지.wzb, in UTF-8.
const char kKoreanPath[] =
    "C:\\\xED\x8E\x8C\xEC\x9B\xA8\xEC\x96\xB4\\\xEC\x83\x88 \xEC\x9D\xB4\xEB\xAF\xB8\xEC\xA7\x80.wzb";

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


TEST_F(SettingsTest, PathOutsideTheAnsiCodePageComesBackUnchanged)
{
    // Only meaningful where the code page cannot carry Korean.
    ASSERT_NE(::GetACP(), 949u);
    settings::WritePortIndex(2);
    settings::WritePath("D:\\fw\\box.wzb");
    // The file as the program wrote it so far: plain ANSI text.
    std::string before = uitest::FileText(m_ini);
    ASSERT_NE(before.find("[SERIALPORT]"), std::string::npos) << before;

    const std::string korean = kKoreanPath;
    settings::WritePath(korean);
    EXPECT_EQ(settings::ReadPath(), korean);
    EXPECT_EQ(settings::ReadPortIndex(), 2);
    settings::WriteSpeed(38400);
    EXPECT_EQ(settings::ReadSpeed(), 38400);
    EXPECT_EQ(settings::ReadPath(), korean);

    // Same section, keys and lines, now as UTF-16 with its byte-order mark.
    std::string bytes = uitest::FileText(m_ini);
    ASSERT_GE(bytes.size(), 2u);
    ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    EXPECT_NE(text.find(L"[SERIALPORT]\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"PORT=2\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"SPEED=38400\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"PATH=C:\\\uD38C\uC6E8\uC5B4\\\uC0C8 \uC774\uBBF8\uC9C0.wzb\r\n"), std::wstring::npos);
}

// As C:\Temp on a stock Windows: the folders are made by the first write,
// and what was written is there to be read back.
TEST_F(SettingsTest, MissingFolderIsMadeByTheFirstWrite)
{
    const std::string outer = m_ini + ".d", inner = outer + "\\Temp", ini = inner + "\\SerialPort.ini";
    ::DeleteFileA(ini.c_str());
    ::RemoveDirectoryA(inner.c_str());
    ::RemoveDirectoryA(outer.c_str());
    settings::SetIniPathForTesting(ini);
    EXPECT_EQ(settings::ReadPortIndex(), 0);
    settings::WritePortIndex(3);
    settings::WriteSpeed(19200);
    EXPECT_EQ(settings::ReadPortIndex(), 3);
    EXPECT_EQ(settings::ReadSpeed(), 19200);
    EXPECT_TRUE(uitest::FileExists(ini));
    ::DeleteFileA(ini.c_str());
    ::RemoveDirectoryA(inner.c_str());
    ::RemoveDirectoryA(outer.c_str());
}

// A file that exists but cannot be read (another program holds it, access
// denied) is left as it is by every write, the one that would turn it into
// UTF-16 included: read as empty, it would be rewritten without PORT and
// SPEED.
TEST_F(SettingsTest, FileThatCannotBeReadIsNotWritten)
{
    settings::WritePortIndex(2);
    settings::WriteSpeed(38400);
    const std::string before = uitest::FileText(m_ini);
    ASSERT_NE(before.find("SPEED=38400"), std::string::npos) << before;

    settings::SetFileReaderForTesting(
        [](const std::wstring&, std::vector<char>&) { return settings::ReadResult::Failed; });
    settings::WritePath(kKoreanPath);
    settings::WritePath("D:\\fw\\box.wzb");
    settings::WritePortIndex(1);
    settings::WriteSpeed(57600);
    EXPECT_EQ(uitest::FileText(m_ini), before);
}
