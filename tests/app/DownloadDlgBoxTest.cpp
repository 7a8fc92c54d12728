// The main window with a box simulator on COM1 (run through the wine
// end-to-end harness, one case per run: see CMakeLists.txt).
#include "DialogTestSupport.h"

#include "protocol/Messages.h"

#include "UiTestSupport.h"

#include <thread>

namespace {

class DownloadDlgBox : public DialogTest {
protected:
    // The simulator asks for this many bytes (--size in the test's command).
    static constexpr size_t kImage = 20000;
};

}  // namespace

TEST_F(DownloadDlgBox, ServesTheBoxToTheEnd)
{
    // Served from a path outside the ANSI code page.
    std::string fw = MakeFile(kKoreanFile, kImage);
    CDownloadDlg& dlg = Open();
    Drop(fw);
    dlg.m_Panel.m_nPortIndex = 0;
    dlg.OnDownload();
    EXPECT_EQ(Text(IDC_STATUS), msg::kWaiting);
    EXPECT_TRUE(ControlsEnabled(false));
    EXPECT_EQ(dlg.m_bActive, 1);

    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_STATUS) == msg::kCompleted; }, 60)) << Text(IDC_STATUS);
    EXPECT_TRUE(ControlsEnabled(true));
    EXPECT_EQ(dlg.m_bActive, 0);
    EXPECT_EQ(dlg.m_RunFlag.load(), 0);
    EXPECT_EQ(dlg.m_SerialPort.IsConnected(), 0);
    EXPECT_EQ(dlg.m_Progress.GetPosition(), 0);
    // The file name box still shows the file, but nothing is selected.
    EXPECT_EQ(Text(IDC_FILENAME), fw);
    EXPECT_TRUE(dlg.m_SelectedPath.empty());
    EXPECT_EQ(dlg.m_bFileSelected, 0);
}

TEST_F(DownloadDlgBox, SilentBoxIsGivenUpByTheWatchdog)
{
    std::string fw = MakeFile("silent.wzb", kImage);
    CDownloadDlg& dlg = Open();
    Drop(fw);
    dlg.m_Panel.m_nPortIndex = 0;
    dlg.OnDownload();
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_STATUS) == msg::kDownloading; }, 30)) << Text(IDC_STATUS);
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_Progress.GetPosition() > 0; }, 30));
    EXPECT_TRUE(ControlsEnabled(false));

    // A drop while the transfer runs is kept for later, not served.
    std::string other = MakeFile("other.wzb", 55);
    Drop(other);
    EXPECT_EQ(dlg.m_SelectedPath, fw);

    // Four ticks without a request.
    for (int i = 0; i < 4; ++i)
        dlg.OnTimer(CDownloadDlg::kTimerWatchdog);
    EXPECT_EQ(Text(IDC_STATUS), msg::kExternalError);
    EXPECT_TRUE(ControlsEnabled(true));
    EXPECT_EQ(dlg.m_bActive, 0);
    EXPECT_EQ(dlg.m_SerialPort.IsConnected(), 0);
    EXPECT_EQ(dlg.m_WatchdogCounter.load(), -1);
    // The deferred drop is taken once the worker's last messages are in.
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_SelectedPath == other; }, 10)) << dlg.m_SelectedPath;
    EXPECT_EQ(dlg.m_bFileSelected, 1);
    EXPECT_EQ(IniValue(settings::kKeyPath), other);
    EXPECT_TRUE(ControlsEnabled(true));
}

// A box that spends long before it reports done: the worker claims the end
// while the watchdog is about to give up. The watchdog must leave that end
// alone (the controls toggled once, the text and selection of a completed
// transfer), and a drop kept meanwhile shows its own text afterwards.
TEST_F(DownloadDlgBox, WatchdogLeavesTheWorkersEndAlone)
{
    std::string fw = MakeFile("late-done.wzb", kImage);
    CDownloadDlg& dlg = Open();
    Drop(fw);
    dlg.m_Panel.m_nPortIndex = 0;
    dlg.OnDownload();
    ASSERT_EQ(dlg.m_bActive, 1);
    // The window's thread holds still (nothing is pumped) while the worker
    // serves the box and meets FT_DONE.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!dlg.EndClaimed() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(dlg.EndClaimed());
    Drop(MakeFile("notes.txt", 10));
    for (int i = 0; i < 4; ++i)
        dlg.OnTimer(CDownloadDlg::kTimerWatchdog);

    ASSERT_TRUE(PumpUntil([&] { return dlg.m_bActive == 0 && dlg.m_DeferredDrop.empty(); }, 10));
    uitest::Pump();
    EXPECT_TRUE(ControlsEnabled(true));
    EXPECT_EQ(dlg.m_SerialPort.IsConnected(), 0);
    EXPECT_TRUE(dlg.m_SelectedPath.empty());
    EXPECT_EQ(dlg.m_bFileSelected, 0);
    EXPECT_EQ(Text(IDC_STATUS), msg::kNotSupported);
    EXPECT_EQ(IniValue(settings::kKeyPath), fw);
}

// Command-line mode, the user stops a running transfer: the run ends with
// 130, and a file dropped meanwhile is not taken on the way out (no
// "Error111" box for a file another program holds, PATH unchanged).
TEST_F(DownloadDlgBox, StopAndExitEndsTheRunWith130AndTakesNoDrop)
{
    std::string fw = MakeFile("stopped.wzb", kImage);
    CDownloadDlg& dlg = Open(fw);
    ASSERT_EQ(dlg.m_bActive, 1);
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_STATUS) == msg::kDownloading; }, 30)) << Text(IDC_STATUS);
    std::string held = MakeFile("held-drop.wzb", 77);
    HANDLE h = ::CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Drop(held);
    dlg.OnStopAndExit();
    uitest::Pump();
    ::CloseHandle(h);
    EXPECT_EQ(g_rec.exitCode, CDownloadDlg::kExitStoppedByUser);
    EXPECT_TRUE(g_rec.boxes.empty());
    EXPECT_EQ(IniValue(settings::kKeyPath), dlg.m_SelectedPath);
    EXPECT_NE(dlg.m_SelectedPath, held);
    EXPECT_EQ(dlg.m_SerialPort.IsConnected(), 0);
}

// The line is opened by a box that reports done before it has greeted (a
// second DONE of the last box, a box given up before): no end. The window
// keeps waiting, and the hello that follows is served.
TEST_F(DownloadDlgBox, DoneBeforeHelloIsNoEnd)
{
    std::string fw = MakeFile("done-first.wzb", kImage);
    CDownloadDlg& dlg = Open();
    Drop(fw);
    dlg.m_Panel.m_nPortIndex = 0;
    dlg.OnDownload();
    ASSERT_EQ(dlg.m_bActive, 1);
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_STATUS) != msg::kWaiting; }, 60)) << Text(IDC_STATUS);
    EXPECT_EQ(Text(IDC_STATUS), msg::kDownloading);
    EXPECT_EQ(dlg.m_bActive, 1);
    EXPECT_TRUE(ControlsEnabled(false));
}
