// The program's main window: choose a file, start a download, watch its
// progress and status, stop the program. It owns every piece of transfer
// state (file, serial port, run flag, watchdog, status line) and is the host
// of the download worker.
//
// The worker runs on its own thread and reports through ShowMessage,
// SetProgress, FinishTransfer and ExitCommandLine. Called from the worker,
// these hand their work to the window's thread with posted messages, in
// order; only the parts that must take effect at once (clearing the run
// flag, the pending text, the exit code) are done on the caller's thread.
//
// One end per transfer: the worker's FinishTransfer and this window's own
// ends (the watchdog, Stop and Exit, closing the window) each claim the end
// first (CDownloadHost::ClaimEnd); the one that loses changes nothing. This
// window's claim and its exit code are one step under m_ExitLock, which the
// worker's ExitCommandLine takes too, so a worker that lost the end cannot
// put its code in between.
//
// Text and paths are UTF-8 (framework/WideText.h) and reach Windows through
// the wide functions.
#pragma once

#include "controls/GradientProgress.h"
#include "controls/RoundButton.h"
#include "framework/Dialog.h"
#include "protocol/DownloadHost.h"
#include "serial/SerialComm.h"
#include "ui/PortSetupDlg.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class CDownloadDlg : public CDialog, public CDownloadHost {
public:
    // commandLine: the first command-line argument, empty when none.
    explicit CDownloadDlg(const std::string& commandLine, HWND parent = nullptr);
    ~CDownloadDlg() override;

    // --- the worker's host ---------------------------------------------------
    void ShowMessage(int n) override;
    void SetProgress(int percent) override;
    void FinishTransfer() override;
    void ExitCommandLine(int exitCode) override;
    std::FILE* OpenServedFile(const std::string& path) override;

    void ToggleControls();
    // The user ends the transfer (Stop and Exit, closing the window): does
    // nothing when the worker's end came first.
    void AbortTransfer();

    // Exit code of a command-line run that the user ended (beside the
    // worker's codes in protocol/Messages.h).
    enum { kExitStoppedByUser = 130 };
    // The process's exit code once the dialog has closed: in command-line
    // mode how the download ended, otherwise 0. Waits for a worker that is
    // still on its way out.
    int ExitCode();

    // --- commands and messages -----------------------------------------------
    BOOL OnInitDialog() override;
    void OnFind();
    void OnDownload();
    void OnStopAndExit();
    void OnPortSetup();
    void OnTimer(UINT_PTR id) override;
    void OnDropFiles(HDROP drop) override;
    void OnSysCommand(UINT id, LPARAM lParam) override;
    void OnPaint() override;
    HCURSOR OnQueryDragIcon() override;
    void OnWindowPosChanged(WINDOWPOS* pos) override;
    void OnCancel() override;

    // One tick of the panel slide; true when the slide has reached its end.
    bool SlidePanelStep();
    void FollowMainWindow(int x, int y);

    // Timers of the window.
    enum { kTimerWatchdog = 1, kTimerSlide = 2, kTimerMessage = 3 };
    enum { kWatchdogPeriodMs = 3200 };

    // --- state (public so that tests can look at it) ---------------------------
    int m_bActive = 0;
    bool m_bPanelShown = false;
    RECT m_PanelRect{0, 0, 0, 0};
    int m_SlideOffset = 0;
    RECT m_MainRect{0, 0, 0, 0};
    int m_LastX = 0, m_LastY = 0;
    CPortSetupDlg m_Panel;
    CGradientProgress m_Progress;
    CRoundButton m_btnPortSetup, m_btnStopExit, m_btnFind, m_btnDownload;
    std::string m_StatusText;
    std::string m_FileNameText;
    int m_bFileSelected = 0;
    CSerialComm m_SerialPort;
    int m_bControlsEnabled = 1;
    int m_SpeedSelection = 0;
    int m_MessageCountdown = 0;
    HICON m_hIcon = nullptr;
    // A file dropped while a transfer runs; taken once a transfer has ended
    // by itself, after the worker's last message.
    std::string m_DeferredDrop;
    // The process is ending (Stop and Exit, the window closing): no
    // deferred drop is taken any more.
    bool m_bEnding = false;
    // Command-line mode: the exit code if the process ended now. Written
    // by the worker (ExitCommandLine) and by this thread.
    std::atomic<int> m_ExitCode{0};
    // This side claimed the end of the current transfer, so its exit code
    // stands over the worker's. Set with the claim, under m_ExitLock.
    std::atomic<bool> m_bHostEnded{false};

    // Replaceable for tests: the open-file dialog, modal to owner (true and
    // the path on OK), the message box, and how the process ends.
    static bool (*s_pfnOpenFileDialog)(HWND owner, std::string& path);
    static int (*s_pfnMessageBox)(HWND owner, const char* text, const char* caption, UINT type);  // UTF-8
    static void (*s_pfnExitProcess)(int exitCode);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    bool PreTranslateMessage(MSG* msg) override;
    bool OnCommandId(UINT id, UINT code, HWND ctl) override;
    INT_PTR DialogProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    bool OnUiThread() const;
    void ShowMessageText(int n, const std::string& text);
    void FinishTransferNow();
    // This side's claim on the end of the running transfer; exitCode is the
    // command-line run's code when it wins.
    bool ClaimHostEnd(int exitCode);
    void AbortClaimedTransfer();
    void AcceptDroppedPath(const std::string& path);
    // Opens path for reading, sharing reading and writing with others;
    // false when it cannot be opened. fullPath gets the file's full path.
    static bool ProbeFile(const std::string& path, std::string* fullPath);
    static int32_t FileSizeFromStatus(const std::string& path);
    void JoinWorker();
    void EndProcess(int exitCode);
    void TakeDeferredDrop();
    // The deferred drop is taken once the messages the worker posted
    // before it ended have been shown.
    void TakeDeferredDropLater();

    std::thread m_Worker;
    DWORD m_UiThreadId = 0;
    // Held by this window's claim on the end with the code it sets, and by
    // the worker's ExitCommandLine (see the header's top).
    std::mutex m_ExitLock;
};
