// The main window driven the way a user drives it, through its messages and
// handlers, under wine; the cases that need no port. With a box simulator
// on COM1: DownloadDlgBoxTest.cpp.
#include "DialogTestSupport.h"

#include "app/AboutDlg.h"
#include "protocol/Messages.h"

#include "UiTestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace {

// Saves the screen area of rect as a 24-bit BMP, for a person to look at.
void SaveScreen(const RECT& rect, const std::string& name)
{
    const char* dir = std::getenv("ZV_ARTIFACTS");
    if (!dir || !*dir)
        return;
    ::CreateDirectoryA(dir, nullptr);
    int w = rect.right - rect.left, h = rect.bottom - rect.top;
    HDC screen = ::GetDC(nullptr);
    HDC mem = ::CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    ::BitBlt(mem, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY);
    ::GdiFlush();
    int stride = ((w * 3 + 3) / 4) * 4;
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + stride * h;
    std::ofstream f(std::string(dir) + "\\" + name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(&fh), sizeof fh);
    f.write(reinterpret_cast<const char*>(&bi.bmiHeader), sizeof bi.bmiHeader);
    f.write(static_cast<const char*>(bits), stride * h);
    ::SelectObject(mem, old);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    ::ReleaseDC(nullptr, screen);
}

}  // namespace

TEST_F(DialogTest, StartsIdleAndAsksForAFileWithoutOpeningAPort)
{
    CDownloadDlg& dlg = Open();
    EXPECT_EQ(Text(IDC_STATUS), msg::kWelcome);
    EXPECT_TRUE(ControlsEnabled(true));
    EXPECT_EQ(dlg.m_CommandLineMode, 0);
    EXPECT_EQ(dlg.m_Progress.GetLower(), 0);
    EXPECT_EQ(dlg.m_Progress.GetUpper(), 100);
    EXPECT_EQ(dlg.m_btnDownload.m_TextColor, 0x0000009Bu);

    // Text typed into the file name box is never read back.
    ::SetDlgItemTextA(dlg.m_hWnd, IDC_FILENAME, "C:\\nothing\\typed.wzb");
    dlg.OnDownload();
    EXPECT_EQ(Text(IDC_STATUS), msg::kSelectFile);
    EXPECT_EQ(Text(IDC_FILENAME), "");
    EXPECT_EQ(dlg.m_SerialPort.IsConnected(), 0);
    EXPECT_EQ(dlg.m_RunFlag.load(), 0);
    EXPECT_TRUE(ControlsEnabled(true));

    // ShowMessage(3): the text goes on the 61st tick of the countdown.
    for (int i = 0; i < 60; ++i)
        dlg.OnTimer(CDownloadDlg::kTimerMessage);
    EXPECT_EQ(Text(IDC_STATUS), msg::kSelectFile);
    dlg.OnTimer(CDownloadDlg::kTimerMessage);
    EXPECT_EQ(Text(IDC_STATUS), "");

    // The system menu carries the About item after a separator.
    HMENU menu = ::GetSystemMenu(dlg.m_hWnd, FALSE);
    ASSERT_NE(menu, nullptr);
    int count = ::GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_EQ(::GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
    // In full, also where the ANSI code page has no Korean.
    EXPECT_NE(::GetACP(), 949u);
    wchar_t item[128] = {};
    ::GetMenuStringW(menu, count - 1, item, 128, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(item), L"WZB Zurivavave \uC815\uBCF4(&A)...") << Narrow(item);

    // Stop and Exit with no transfer ends the process with 0.
    dlg.OnStopAndExit();
    EXPECT_EQ(g_rec.exitCode, 0);
}

TEST_F(DialogTest, DropsAreJudgedByTheirNameAndProbed)
{
    CDownloadDlg& dlg = Open();
    std::string notes = MakeFile("notes.txt", 10);
    Drop(notes);
    EXPECT_EQ(Text(IDC_STATUS), msg::kNotSupported);
    EXPECT_EQ(dlg.m_bFileSelected, 0);
    EXPECT_EQ(IniValue(settings::kKeyPath), "<none>");

    Drop(MakeFile("fw.r2.wzb", 10));
    EXPECT_EQ(Text(IDC_STATUS), msg::kNotSupported);
    EXPECT_EQ(dlg.m_bFileSelected, 0);

    std::string wzbx = MakeFile("a.wzbx", 1234);
    Drop(wzbx);
    EXPECT_EQ(dlg.m_bFileSelected, 1);
    EXPECT_EQ(dlg.m_SelectedPath, wzbx);
    EXPECT_EQ(dlg.m_FileSize.load(), 1234);
    EXPECT_EQ(Text(IDC_FILENAME), wzbx);
    EXPECT_EQ(IniValue(settings::kKeyPath), wzbx);
    EXPECT_TRUE(g_rec.boxes.empty());

    std::string korean = MakeFile(kKoreanFile, 4321);
    Drop(korean);
    EXPECT_TRUE(g_rec.boxes.empty());
    EXPECT_EQ(dlg.m_SelectedPath, korean);
    EXPECT_EQ(dlg.m_FileSize.load(), 4321);
    EXPECT_EQ(Text(IDC_FILENAME), korean);
    EXPECT_EQ(IniValue(settings::kKeyPath), korean);

    // Held open by another program without sharing: "Error111", then the
    // file is selected all the same, with the size from its status.
    std::string held = MakeFile("held.WZB", 777);
    HANDLE h = ::CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Drop(held);
    ::CloseHandle(h);
    ASSERT_EQ(g_rec.boxes.size(), 1u);
    EXPECT_EQ(g_rec.boxes[0], "Error111");
    EXPECT_FALSE(g_rec.boxCaption.empty());
    EXPECT_EQ(g_rec.boxCaption.find('.'), std::string::npos) << "caption is the program name without extension";
    EXPECT_EQ(dlg.m_bFileSelected, 1);
    EXPECT_EQ(dlg.m_SelectedPath, held);
    EXPECT_EQ(dlg.m_FileSize.load(), 777);
}

TEST_F(DialogTest, FindUsesTheStoredPathAndCancelKeepsTheSelection)
{
    CDownloadDlg& dlg = Open();
    g_rec.findResult = false;
    dlg.OnFind();
    EXPECT_EQ(g_rec.findInitial, "C:\\*.WZB");
    EXPECT_EQ(Text(IDC_FILENAME), "");

    std::string fw = MakeFile(kKoreanFile, 300);
    g_rec.findResult = true;
    g_rec.findPath = fw;
    dlg.OnFind();
    EXPECT_EQ(dlg.m_bFileSelected, 1);
    EXPECT_EQ(dlg.m_FileSize.load(), 300);
    EXPECT_EQ(Text(IDC_FILENAME), fw);
    EXPECT_EQ(IniValue(settings::kKeyPath), fw);

    // Back from the settings file unchanged.
    g_rec.findResult = false;
    dlg.OnFind();
    EXPECT_EQ(g_rec.findInitial, fw);
    EXPECT_EQ(Text(IDC_FILENAME), fw);
}

TEST_F(DialogTest, PortThatCannotOpenLeavesTheDialogReady)
{
    std::string fw = MakeFile(kKoreanFile, 4096);
    ::WritePrivateProfileStringA(settings::kSection, settings::kKeyPort, "5", m_Ini.c_str());
    // Command-line mode with a port index outside COM1..COM4: the download
    // starts at once and fails to initialise; nothing ends the process.
    CDownloadDlg& dlg = Open(fw);
    EXPECT_EQ(dlg.m_CommandLineMode, 1);
    EXPECT_EQ(dlg.m_bFileSelected, 1);
    EXPECT_EQ(Text(IDC_FILENAME), dlg.m_SelectedPath);
    EXPECT_EQ(IniValue(settings::kKeyPath), dlg.m_SelectedPath);
    EXPECT_EQ(Text(IDC_STATUS), msg::kInitFailed);
    EXPECT_TRUE(ControlsEnabled(true));
    EXPECT_EQ(dlg.m_RunFlag.load(), 0);
    EXPECT_EQ(g_rec.exitCode, -1);
    // The user leaves: the run ends with the code of the port failure.
    EXPECT_EQ(dlg.ExitCode(), kExitPort);
    dlg.OnStopAndExit();
    EXPECT_EQ(g_rec.exitCode, kExitPort);
}

TEST_F(DialogTest, CommandLineFileThatCannotOpenAsksForAFile)
{
    CDownloadDlg& dlg = Open(TempDir() + "does-not-exist.wzb");
    EXPECT_EQ(dlg.m_bFileSelected, 0);
    EXPECT_EQ(Text(IDC_STATUS), msg::kSelectFile);
    EXPECT_EQ(g_rec.exitCode, -1);
    // Closing the window leaves with the code of the file failure.
    ::SendMessageW(dlg.m_hWnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(dlg.ExitCode(), kExitFile);
}

// Another program reads the file (the command-line tool serving it, an
// editor that lets others read but not write): it is still the one served.
TEST_F(DialogTest, FileAnotherProgramReadsIsTaken)
{
    std::string fw = MakeFile("read-elsewhere.wzb", 4096);
    HANDLE reader = ::CreateFileW(Widen(fw).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    // No port behind the index: the download stops right after the file.
    ::WritePrivateProfileStringA(settings::kSection, settings::kKeyPort, "5", m_Ini.c_str());
    CDownloadDlg& dlg = Open(fw);
    ::CloseHandle(reader);
    EXPECT_EQ(dlg.m_bFileSelected, 1);
    EXPECT_EQ(dlg.m_FileSize.load(), 4096);
    EXPECT_EQ(Text(IDC_STATUS), msg::kInitFailed);
}

namespace {
// The real Find dialog as a timer sees it while it runs: who owns it and
// whether the main window takes input meanwhile; then it is cancelled.
struct FindSeen {
    HWND main = nullptr;
    HWND dialog = nullptr;
    HWND owner = nullptr;
    bool mainEnabled = true;
} g_find;

BOOL CALLBACK FindOtherDialog(HWND wnd, LPARAM)
{
    char cls[64] = {};
    ::GetClassNameA(wnd, cls, sizeof cls);
    if (wnd != g_find.main && ::IsWindowVisible(wnd) && std::string(cls) == "#32770" && !CDialog::FromChild(wnd)) {
        g_find.dialog = wnd;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK WatchFind(HWND, UINT, UINT_PTR id, DWORD)
{
    ::EnumThreadWindows(::GetCurrentThreadId(), FindOtherDialog, 0);
    if (!g_find.dialog)
        return;
    ::KillTimer(nullptr, id);
    g_find.owner = ::GetWindow(g_find.dialog, GW_OWNER);
    g_find.mainEnabled = ::IsWindowEnabled(g_find.main) != FALSE;
    ::PostMessageA(g_find.dialog, WM_COMMAND, IDCANCEL, 0);
}
}  // namespace

// Find is modal to the main window: while it is open, Download cannot be
// pressed, so no transfer starts whose file Find would then replace.
TEST_F(DialogTest, FindIsModalToTheMainWindow)
{
    CDownloadDlg& dlg = Open();
    CDownloadDlg::s_pfnOpenFileDialog = kRealFind;
    g_find = FindSeen();
    g_find.main = dlg.m_hWnd;
    ::SetTimer(nullptr, 0, 100, WatchFind);
    dlg.OnFind();  // returns when the dialog has been cancelled
    ASSERT_NE(g_find.dialog, nullptr) << "the open-file dialog never showed";
    EXPECT_EQ(g_find.owner, dlg.m_hWnd);
    EXPECT_FALSE(g_find.mainEnabled);
    EXPECT_TRUE(::IsWindowEnabled(dlg.m_hWnd));
    EXPECT_EQ(dlg.m_bFileSelected, 0);
}

TEST_F(DialogTest, EscapeClosesNeitherWindow)
{
    CDownloadDlg& dlg = Open();
    HWND edit = ::GetDlgItem(dlg.m_hWnd, IDC_FILENAME);
    ::PostMessageA(edit, WM_KEYDOWN, VK_ESCAPE, 0);
    ::PostMessageA(dlg.m_Panel.GetDlgItem(IDC_SPEED), WM_KEYDOWN, VK_ESCAPE, 0);
    ZvPumpWaitingMessages();
    EXPECT_TRUE(::IsWindow(dlg.m_hWnd));
    EXPECT_TRUE(::IsWindowVisible(dlg.m_hWnd));
    EXPECT_TRUE(::IsWindow(dlg.m_Panel.m_hWnd));
}

TEST_F(DialogTest, PanelSlidesOutDocksFollowsAndSlidesBack)
{
    CDownloadDlg& dlg = Open();
    ::SetWindowPos(dlg.m_hWnd, nullptr, 100, 80, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ZvPumpWaitingMessages();
    int w = dlg.m_PanelRect.right;
    ASSERT_GE(w, 20);
    EXPECT_FALSE(::IsWindowVisible(dlg.m_Panel.m_hWnd));

    dlg.OnPortSetup();
    EXPECT_TRUE(dlg.m_bPanelShown);
    RECT main;
    dlg.GetWindowRect(&main);
    int ticks = 0;
    bool last = false;
    while (!last && ticks < 100) {
        last = dlg.SlidePanelStep();
        ++ticks;
        RECT p;
        dlg.m_Panel.GetWindowRect(&p);
        EXPECT_EQ(p.top, main.top + 20);
        if (ticks == 1) {
            EXPECT_EQ(p.left, main.right - w + 20);
        }
    }
    EXPECT_EQ(ticks, w / 20);
    RECT p;
    dlg.m_Panel.GetWindowRect(&p);
    EXPECT_EQ(p.left, main.right);
    EXPECT_EQ(dlg.m_Panel.m_Docked, 1);
    EXPECT_TRUE(::IsWindowVisible(dlg.m_Panel.m_hWnd));

    // A person can look at the window with its panel out.
    RECT both = main;
    both.right = p.right;
    both.bottom = std::max(main.bottom, p.bottom);
    ::RedrawWindow(dlg.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ::RedrawWindow(dlg.m_Panel.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ZvPumpWaitingMessages();
    SaveScreen(both, "main-with-panel.bmp");

    // The docked panel follows the main window at the same vertical offset.
    ::SetWindowPos(dlg.m_hWnd, nullptr, 130, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ZvPumpWaitingMessages();
    dlg.GetWindowRect(&main);
    dlg.m_Panel.GetWindowRect(&p);
    EXPECT_EQ(p.left, main.right);
    EXPECT_EQ(p.top, main.top + 20);

    // Download slides it back in and hides it; a second press would reverse.
    dlg.OnDownload();
    EXPECT_FALSE(dlg.m_bPanelShown);
    ticks = 0;
    last = false;
    while (!last && ticks < 100) {
        last = dlg.SlidePanelStep();
        ++ticks;
    }
    EXPECT_EQ(ticks, w / 20);
    dlg.m_Panel.GetWindowRect(&p);
    EXPECT_EQ(p.left, main.right - w);
    EXPECT_EQ(dlg.m_Panel.m_Docked, 0);
    EXPECT_FALSE(::IsWindowVisible(dlg.m_Panel.m_hWnd));

    // While hidden it does not follow (the window manager may move owned
    // windows by itself, so the follow step is called directly).
    dlg.FollowMainWindow(main.left + 300, main.top + 200);
    RECT after;
    dlg.m_Panel.GetWindowRect(&after);
    EXPECT_EQ(after.left, p.left);
    EXPECT_EQ(after.top, p.top);
    EXPECT_EQ(dlg.m_LastY, main.top + 200);
}

namespace {
RECT g_aboutRect;
bool g_aboutSeen = false;
void CALLBACK CloseAbout(HWND, UINT, UINT_PTR id, DWORD)
{
    ::KillTimer(nullptr, id);
    HWND about = ::GetActiveWindow();
    char cls[64] = {};
    ::GetClassNameA(about, cls, sizeof cls);
    if (about && std::string(cls) == "#32770" && ::GetDlgItem(about, IDOK)) {
        g_aboutSeen = true;
        ::GetWindowRect(about, &g_aboutRect);
        ::RedrawWindow(about, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        SaveScreen(g_aboutRect, "about.bmp");
        ::PostMessageA(about, WM_COMMAND, IDOK, 0);
    }
}
}  // namespace

TEST_F(DialogTest, SystemMenuOpensTheAboutBoxForIds16To31)
{
    CDownloadDlg& dlg = Open();
    for (UINT id : {16u, 31u}) {
        g_aboutSeen = false;
        ::SetTimer(nullptr, 0, 300, CloseAbout);
        dlg.OnSysCommand(id, 0);  // returns when the box is closed
        EXPECT_TRUE(g_aboutSeen) << id;
    }
    EXPECT_GT(g_aboutRect.right - g_aboutRect.left, 200);
}
