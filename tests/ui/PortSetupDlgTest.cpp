#include "UiTestSupport.h"

#include "res/resource.h"
#include "ui/PortSetupDlg.h"
#include "ui/Settings.h"

#include <gtest/gtest.h>

using uitest::FileExists;
using uitest::FileText;
using uitest::IsChecked;
using uitest::Pump;
using uitest::WindowRect;

namespace {

// The processor-affinity calls, faked so that the test process keeps its own.
BOOL g_getOk = TRUE;
DWORD_PTR g_processMask = 1;
int g_setCalls = 0;
DWORD_PTR g_setMask = 0;

BOOL WINAPI FakeGetAffinity(HANDLE, PDWORD_PTR processMask, PDWORD_PTR systemMask)
{
    if (!g_getOk)
        return FALSE;
    *processMask = g_processMask;
    *systemMask = 0xFF;
    return TRUE;
}

BOOL WINAPI FakeSetAffinity(HANDLE, DWORD_PTR mask)
{
    ++g_setCalls;
    g_setMask = mask;
    return TRUE;
}

const int kPortIds[] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};

class PortSetupTest : public ::testing::Test {
protected:
    std::string m_ini;
    HWND m_owner = nullptr;
    // Owner window rectangle: left 50, top 50, right 300, bottom 250.
    static constexpr int kOwnerTop = 50, kOwnerBottom = 250, kOwnerRight = 300;

    void SetUp() override
    {
        m_ini = uitest::TempFile("zv_panel_test_");
        ::DeleteFileA(m_ini.c_str());
        settings::SetIniPathForTesting(m_ini);
        g_getOk = TRUE;
        g_processMask = 1;
        g_setCalls = 0;
        g_setMask = 0;
        CPortSetupDlg::SetAffinityApiForTesting(&FakeGetAffinity, &FakeSetAffinity);
        m_owner = ::CreateWindowExA(0, "STATIC", "owner", WS_POPUP, 50, 50, 250, 200, nullptr,
                                    nullptr, ::GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(m_owner, nullptr);
    }
    void TearDown() override
    {
        ::DestroyWindow(m_owner);
        ::DeleteFileA(m_ini.c_str());
        settings::SetIniPathForTesting("");
        CPortSetupDlg::SetAffinityApiForTesting(nullptr, nullptr);
    }
    void Put(const char* key, const char* value)
    {
        ::WritePrivateProfileStringA("SERIALPORT", key, value, m_ini.c_str());
    }
    int CheckedPort(HWND panel)
    {
        int found = -1;
        for (int k = 0; k < 4; ++k) {
            if (IsChecked(panel, kPortIds[k])) {
                if (found != -1)
                    return -2;   // more than one
                found = k;
            }
        }
        return found;
    }
    void Move(CPortSetupDlg& panel, int x, int y)
    {
        panel.SetWindowPos(nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
};

}  // namespace

TEST_F(PortSetupTest, StartsFromDefaultsWithoutWritingAnything)
{
    CPortSetupDlg panel;
    ASSERT_TRUE(panel.Create(m_owner));
    HWND h = panel.m_hWnd;
    EXPECT_FALSE(::IsWindowVisible(h));
    EXPECT_EQ(panel.GetOwner(), m_owner);
    EXPECT_EQ(panel.m_nPortIndex, 0);
    EXPECT_EQ(CheckedPort(h), 0);
    EXPECT_EQ(panel.GetSpeedSelection(), 3);
    ASSERT_EQ(panel.m_SpeedList.GetCount(), 4);
    EXPECT_EQ(panel.m_SpeedList.GetLBText(0), "  19.2 K");
    EXPECT_EQ(panel.m_SpeedList.GetLBText(1), "  38.4 K");
    EXPECT_EQ(panel.m_SpeedList.GetLBText(2), "  57.6 K");
    EXPECT_EQ(panel.m_SpeedList.GetLBText(3), "115.2 K");
    EXPECT_EQ(panel.m_Docked, 0);
    RECT rc = WindowRect(h);
    EXPECT_EQ(panel.m_StartRect.bottom - panel.m_StartRect.top, rc.bottom - rc.top);
    EXPECT_GT(rc.bottom - rc.top, 40);
    Pump();
    EXPECT_FALSE(FileExists(m_ini));

    // The template: no caption, the texts and the Korean font name.
    EXPECT_FALSE(panel.GetStyle() & WS_CAPTION);
    char text[32] = {};
    ::GetDlgItemTextA(h, IDC_COM3, text, sizeof text);
    EXPECT_STREQ(text, "COM 3");
    LOGFONTW font{};
    HFONT hFont = reinterpret_cast<HFONT>(panel.SendMessage(WM_GETFONT));
    ASSERT_NE(hFont, nullptr);
    ::GetObjectW(hFont, sizeof font, &font);
    EXPECT_EQ(std::wstring(font.lfFaceName), std::wstring(L"\uAD74\uB9BC"));
}

TEST_F(PortSetupTest, OddValuesInTheFile)
{
    Put("PORT", "5");
    Put("SPEED", "9600");
    {
        CPortSetupDlg panel;
        ASSERT_TRUE(panel.Create(m_owner));
        EXPECT_EQ(panel.m_nPortIndex, 5);
        EXPECT_EQ(CheckedPort(panel.m_hWnd), -1);
        EXPECT_EQ(panel.GetSpeedSelection(), 3);
    }
    // The panel leaves the odd values in the file.
    EXPECT_EQ(::GetPrivateProfileIntA("SERIALPORT", "PORT", -9, m_ini.c_str()), 5u);
    EXPECT_EQ(::GetPrivateProfileIntA("SERIALPORT", "SPEED", -9, m_ini.c_str()), 9600u);

    Put("PORT", "3");
    Put("SPEED", "38400");
    CPortSetupDlg panel;
    ASSERT_TRUE(panel.Create(m_owner));
    EXPECT_EQ(CheckedPort(panel.m_hWnd), 3);
    EXPECT_EQ(panel.GetSpeedSelection(), 1);
}

TEST_F(PortSetupTest, EveryChoiceIsWrittenAtOnce)
{
    CPortSetupDlg panel;
    ASSERT_TRUE(panel.Create(m_owner));
    HWND com3 = panel.GetDlgItem(IDC_COM3);

    ::SendMessageW(com3, BM_CLICK, 0, 0);
    EXPECT_EQ(panel.m_nPortIndex, 2);
    EXPECT_EQ(CheckedPort(panel.m_hWnd), 2);
    std::string text = FileText(m_ini);
    EXPECT_NE(text.find("[SERIALPORT]"), std::string::npos) << text;
    EXPECT_NE(text.find("PORT=2"), std::string::npos) << text;
    EXPECT_EQ(text.find("SPEED="), std::string::npos) << text;

    // A click on the already checked button writes again.
    Put("PORT", nullptr);
    ASSERT_EQ(FileText(m_ini).find("PORT="), std::string::npos);
    ::SendMessageW(com3, BM_CLICK, 0, 0);
    EXPECT_NE(FileText(m_ini).find("PORT=2"), std::string::npos) << FileText(m_ini);

    // The notification alone is enough (as a keyboard selection sends it).
    panel.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_COM1, BN_CLICKED),
                      reinterpret_cast<LPARAM>(panel.GetDlgItem(IDC_COM1)));
    EXPECT_EQ(panel.m_nPortIndex, 0);
    EXPECT_NE(FileText(m_ini).find("PORT=0"), std::string::npos) << FileText(m_ini);

    // Speed: select "  38.4 K" as the list does, with its notification.
    HWND list = panel.GetDlgItem(IDC_SPEED);
    ::SendMessageW(list, CB_SETCURSEL, 1, 0);
    panel.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_SPEED, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    EXPECT_EQ(panel.GetSpeedSelection(), 1);
    text = FileText(m_ini);
    EXPECT_NE(text.find("SPEED=38400"), std::string::npos) << text;
    EXPECT_EQ(settings::ReadSpeed(), 38400);
    EXPECT_EQ(settings::ReadPortIndex(), 0);

    ::SendMessageW(list, CB_SETCURSEL, 3, 0);
    panel.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_SPEED, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    EXPECT_EQ(settings::ReadSpeed(), 115200);
}

namespace {

// Counts what reaches the panel's OK and Cancel handling.
class CProbePanel : public CPortSetupDlg {
public:
    int m_oks = 0;
    int m_cancels = 0;
    void OnOK() override
    {
        ++m_oks;
        CPortSetupDlg::OnOK();
    }
    void OnCancel() override
    {
        ++m_cancels;
        CPortSetupDlg::OnCancel();
    }
};

}  // namespace

TEST_F(PortSetupTest, EscapeAndEnterDoNotCloseThePanel)
{
    CProbePanel panel;
    ASSERT_TRUE(panel.Create(m_owner));
    panel.ShowWindow(SW_SHOWNA);
    HWND list = panel.GetDlgItem(IDC_SPEED);

    // Escape is swallowed before the dialog processing sees it.
    ::PostMessageW(list, WM_KEYDOWN, VK_ESCAPE, 0);
    ::PostMessageW(panel.m_hWnd, WM_KEYDOWN, VK_ESCAPE, 0);
    Pump();
    EXPECT_EQ(panel.m_cancels, 0);
    EXPECT_TRUE(panel.IsWindowVisible());

    // Enter reaches the dialog processing as OK, which leaves the panel out.
    ::PostMessageW(list, WM_KEYDOWN, VK_RETURN, 0);
    Pump();
    EXPECT_GE(panel.m_oks, 1);
    EXPECT_TRUE(panel.IsWindowVisible());

    // A dialog without the filter is closed by the same Escape.
    CDialog plain(IDD_PORTSETUP);
    ASSERT_TRUE(plain.Create(IDD_PORTSETUP, m_owner));
    plain.ShowWindow(SW_SHOWNA);
    ::PostMessageW(plain.GetDlgItem(IDC_SPEED), WM_KEYDOWN, VK_ESCAPE, 0);
    Pump();
    EXPECT_FALSE(plain.IsWindowVisible());
}

TEST_F(PortSetupTest, SnapsToTheOwnersRightEdge)
{
    CPortSetupDlg panel;
    ASSERT_TRUE(panel.Create(m_owner));
    const int h = panel.m_StartRect.bottom - panel.m_StartRect.top;
    ASSERT_EQ(WindowRect(m_owner).right, kOwnerRight);

    struct Case {
        int x, y;
        int expectLeft, expectDocked;
    };
    const Case cases[] = {
        {kOwnerRight + 10, 100, kOwnerRight, 1},
        {kOwnerRight + 11, 100, kOwnerRight + 11, 0},
        {kOwnerRight - 10, 100, kOwnerRight, 1},
        {kOwnerRight - 11, 100, kOwnerRight - 11, 0},
        {kOwnerRight + 5, kOwnerBottom + 1, kOwnerRight + 5, 0},       // wholly below
        {kOwnerRight + 5, kOwnerTop - h - 1, kOwnerRight + 5, 0},      // wholly above
        {kOwnerRight + 5, kOwnerBottom, kOwnerRight, 1},               // touching below
        {kOwnerRight + 5, kOwnerTop - h, kOwnerRight, 1},              // touching above
    };
    for (const Case& c : cases) {
        panel.m_Docked = 1 - c.expectDocked;
        Move(panel, c.x, c.y);
        RECT rc = WindowRect(panel.m_hWnd);
        EXPECT_EQ(rc.left, c.expectLeft) << "x=" << c.x << " y=" << c.y;
        EXPECT_EQ(rc.top, c.y) << "x=" << c.x << " y=" << c.y;
        EXPECT_EQ(panel.m_Docked, c.expectDocked) << "x=" << c.x << " y=" << c.y;
    }

    // Docked, then shown and hidden in place: still docked.
    Move(panel, kOwnerRight + 3, 100);
    ASSERT_EQ(panel.m_Docked, 1);
    panel.ShowWindow(SW_SHOWNA);
    panel.ShowWindow(SW_HIDE);
    EXPECT_EQ(panel.m_Docked, 1);
}

TEST_F(PortSetupTest, ConfinesTheProcessToTheFirstProcessorAtStart)
{
    struct Case {
        BOOL getOk;
        DWORD_PTR mask;
        int expectCalls;
    };
    const Case cases[] = {{TRUE, 3, 1}, {TRUE, 2, 1}, {TRUE, 1, 0}, {FALSE, 3, 0}};
    for (const Case& c : cases) {
        g_getOk = c.getOk;
        g_processMask = c.mask;
        g_setCalls = 0;
        g_setMask = 0;
        CPortSetupDlg panel;
        ASSERT_TRUE(panel.Create(m_owner));
        EXPECT_EQ(g_setCalls, c.expectCalls) << "mask " << c.mask << " ok " << c.getOk;
        if (c.expectCalls) {
            EXPECT_EQ(g_setMask, DWORD_PTR{1});
        }
    }
}
