#include "ui/DownloadDlg.h"

#include "app/AboutDlg.h"
#include "framework/WideText.h"
#include "protocol/DownloadWorker.h"
#include "protocol/Messages.h"
#include "res/resource.h"
#include "ui/PanelGeometry.h"
#include "ui/Settings.h"

#include <ole2.h>
#include <shellapi.h>

#include <cstdlib>
#include <memory>

namespace {

// Messages the worker posts to the window's thread.
enum : UINT {
    WM_ZV_SHOWMESSAGE = WM_APP + 1,  // wParam: n; lParam: std::string* text (owned)
    WM_ZV_PROGRESS,                  // wParam: percent
    WM_ZV_FINISH,
    WM_ZV_EXIT,                      // the exit code is m_ExitCode
    WM_ZV_TAKEDROP,                  // posted by this thread after the worker's last
};

void RealExitProcess(int exitCode) { std::exit(exitCode); }

}  // namespace

void (*CDownloadDlg::s_pfnExitProcess)(int) = RealExitProcess;

CDownloadDlg::CDownloadDlg(const std::string& commandLine, HWND parent)
    : CDialog(IDD_ZURIVAVAVE_DIALOG, parent)
{
    m_hIcon = ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME));
    if (!commandLine.empty()) {
        m_SelectedPath = commandLine;
        m_CommandLineMode = 1;
    }
}

CDownloadDlg::~CDownloadDlg()
{
    // Nothing may outlive the object it uses: stop a transfer still running.
    m_RunFlag = 0;
    m_SerialPort.Close();
    JoinWorker();
}

bool CDownloadDlg::OnUiThread() const
{
    return m_UiThreadId == 0 || ::GetCurrentThreadId() == m_UiThreadId;
}

void CDownloadDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_PROGRESS, m_Progress);
    DDX_Control(pDX, IDC_PORT_SETUP, m_btnPortSetup);
    DDX_Control(pDX, IDC_STOP_EXIT, m_btnStopExit);
    DDX_Control(pDX, IDC_FIND, m_btnFind);
    DDX_Control(pDX, IDC_DOWNLOAD, m_btnDownload);
    // Values only ever go to the controls: text typed into the file name
    // box is not read back.
    if (!pDX->m_bSaveAndValidate) {
        DDX_Text(pDX, IDC_STATUS, m_StatusText);
        DDX_Text(pDX, IDC_FILENAME, m_FileNameText);
    }
}

bool CDownloadDlg::PreTranslateMessage(MSG* msg)
{
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE)
        return true;
    return CDialog::PreTranslateMessage(msg);
}

bool CDownloadDlg::OnCommandId(UINT id, UINT code, HWND)
{
    if (code != BN_CLICKED)
        return false;
    switch (id) {
    case IDC_FIND: OnFind(); return true;
    case IDC_DOWNLOAD: OnDownload(); return true;
    case IDC_STOP_EXIT: OnStopAndExit(); return true;
    case IDC_PORT_SETUP: OnPortSetup(); return true;
    default: return false;
    }
}

BOOL CDownloadDlg::OnInitDialog()
{
    m_UiThreadId = ::GetCurrentThreadId();
    CDialog::OnInitDialog();
    m_btnDownload.m_TextColor = 0x0000009B;

    // The About item of the system menu.
    if (HMENU sysMenu = ::GetSystemMenu(m_hWnd, FALSE)) {
        // Wide: the text is Korean, which no other ANSI code page carries.
        wchar_t text[256] = {};
        if (::LoadStringW(::GetModuleHandleW(nullptr), IDS_ABOUTBOX, text, 256) > 0 && text[0]) {
            ::AppendMenuW(sysMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(sysMenu, MF_STRING, IDM_ABOUTBOX, text);
        }
    }

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    ::OleInitialize(nullptr);
    ::DragAcceptFiles(m_hWnd, TRUE);

    if (m_CommandLineMode) {
        std::string full;
        if (ProbeFile(m_SelectedPath, &full)) {
            m_SelectedPath = full;
            settings::WritePath(m_SelectedPath);
            m_FileSize = FileSizeFromStatus(m_SelectedPath);
            m_bFileSelected = 1;
            m_FileNameText = m_SelectedPath;
            UpdateData(false);
        } else {
            m_bFileSelected = 0;
        }
    } else {
        m_bFileSelected = 0;
    }

    m_Progress.SetRange(0, 100);
    m_Progress.m_bShowText = TRUE;
    m_Progress.m_clrStart = 0xFF0000;
    m_Progress.m_clrEnd = 0x5E0000;
    m_Progress.m_clrText = 0xFAE6E6;

    GetWindowRect(&m_MainRect);
    m_Panel.Create(m_hWnd);
    m_Panel.GetClientRect(&m_PanelRect);
    // No seeding of the settings file on a first run: every reader has its
    // default, and the file appears once the user makes a choice.
    RECT now;
    GetWindowRect(&now);
    m_LastX = now.left;
    m_LastY = now.top;

    m_bControlsEnabled = 1;
    SetPendingMessage(msg::kWelcome);
    ShowMessage(-1);

    m_bActive = 0;
    m_RunFlag = 0;
    m_WatchdogCounter = 0;

    if (m_CommandLineMode)
        OnDownload();
    return TRUE;
}

// --- the worker's host ------------------------------------------------------

void CDownloadDlg::ShowMessage(int n)
{
    if (!OnUiThread()) {
        auto text = std::make_unique<std::string>(PendingMessage());
        if (PostMessage(WM_ZV_SHOWMESSAGE, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(text.get())))
            text.release();
        return;
    }
    ShowMessageText(n, PendingMessage());
}

void CDownloadDlg::ShowMessageText(int n, const std::string& text)
{
    KillTimer(kTimerMessage);
    m_StatusText = text;
    UpdateData(false);
    if (n != -1) {
        m_MessageCountdown = n * 20;
        SetTimer(kTimerMessage, 1);
    }
}

void CDownloadDlg::SetProgress(int percent)
{
    if (!OnUiThread()) {
        PostMessage(WM_ZV_PROGRESS, static_cast<WPARAM>(percent));
        return;
    }
    m_Progress.SetPos(percent);
}

void CDownloadDlg::FinishTransfer()
{
    if (!OnUiThread()) {
        // The worker must leave its loop now and show the right text at its
        // end; the window's part follows in order on the window's thread.
        SetPendingMessage(msg::kCompleted);
        m_RunFlag = 0;
        PostMessage(WM_ZV_FINISH);
        return;
    }
    FinishTransferNow();
}

void CDownloadDlg::FinishTransferNow()
{
    // The worker claimed the end, so no other end has run; a transfer that
    // is no longer active has had its end here already.
    if (!m_bActive)
        return;
    m_Progress.SetPos(0);
    SetPendingMessage(msg::kCompleted);
    UpdateData(false);
    KillTimer(kTimerWatchdog);
    m_WatchdogCounter = -1;
    m_bFileSelected = 0;
    m_SelectedPath.clear();
    UpdateData(false);
    m_RunFlag = 0;
    m_bActive = 0;
    m_SerialPort.Close();
    // The queue's consumer is the worker: let it go before emptying.
    JoinWorker();
    m_SerialPort.m_QueueRead.Reset();
    ToggleControls();
    TakeDeferredDropLater();
}

void CDownloadDlg::ExitCommandLine(int exitCode)
{
    // Kept at once: the window may close before the posted message is seen,
    // and the process must still end with the code of how the download
    // ended. When this side ended the transfer, its code stands.
    {
        std::lock_guard<std::mutex> lock(m_ExitLock);
        if (!m_bHostEnded)
            m_ExitCode = exitCode;
    }
    if (!OnUiThread()) {
        PostMessage(WM_ZV_EXIT);
        return;
    }
    EndProcess(m_ExitCode);
}

int CDownloadDlg::ExitCode()
{
    JoinWorker();
    return m_CommandLineMode ? m_ExitCode.load() : kExitOk;
}

std::FILE* CDownloadDlg::OpenServedFile(const std::string& path)
{
    return ::_wfopen(Widen(path).c_str(), L"rb");
}

void CDownloadDlg::EndProcess(int exitCode)
{
    m_RunFlag = 0;
    m_SerialPort.Close();
    JoinWorker();
    s_pfnExitProcess(exitCode);
}

INT_PTR CDownloadDlg::DialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_ZV_SHOWMESSAGE: {
        std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
        ShowMessageText(static_cast<int>(wParam), *text);
        return TRUE;
    }
    case WM_ZV_PROGRESS:
        m_Progress.SetPos(static_cast<int>(wParam));
        return TRUE;
    case WM_ZV_FINISH:
        FinishTransferNow();
        return TRUE;
    case WM_ZV_EXIT:
        EndProcess(m_ExitCode);
        return TRUE;
    case WM_ZV_TAKEDROP:
        if (!m_bActive && !m_bEnding)
            TakeDeferredDrop();
        return TRUE;
    default:
        return CDialog::DialogProc(message, wParam, lParam);
    }
}

void CDownloadDlg::ToggleControls()
{
    m_bControlsEnabled = !m_bControlsEnabled;
    bool enable = m_bControlsEnabled != 0;
    for (int id : {IDC_FIND, IDC_FILENAME, IDC_DOWNLOAD, IDC_PORT_SETUP})
        ::EnableWindow(GetDlgItem(id), enable);
}

bool CDownloadDlg::ClaimHostEnd(int exitCode)
{
    std::lock_guard<std::mutex> lock(m_ExitLock);
    if (!ClaimEnd())
        return false;
    if (m_bActive) {
        m_bHostEnded = true;
        if (m_CommandLineMode)
            m_ExitCode = exitCode;
    }
    return true;
}

void CDownloadDlg::AbortTransfer()
{
    if (!ClaimHostEnd(kExitStoppedByUser)) {
        // The worker's end is on its way: let it finish, so that its exit
        // code is in, and touch nothing else.
        JoinWorker();
        return;
    }
    AbortClaimedTransfer();
}

void CDownloadDlg::AbortClaimedTransfer()
{
    KillTimer(kTimerWatchdog);
    m_WatchdogCounter = -1;
    m_bFileSelected = 0;
    m_bControlsEnabled = 0;
    ToggleControls();
    UpdateData(false);
    m_bActive = 0;
    m_RunFlag = 0;
    m_SerialPort.Close();
    JoinWorker();
    m_SerialPort.m_QueueRead.Reset();
}

void CDownloadDlg::TakeDeferredDropLater()
{
    // Posted after the worker has ended, so it comes behind every message
    // the worker posted: the drop's own text is not covered at once by the
    // transfer's last one.
    if (!m_DeferredDrop.empty())
        PostMessage(WM_ZV_TAKEDROP);
}

void CDownloadDlg::JoinWorker()
{
    // The worker's waits are short polls that look at the run flag, so it
    // ends promptly once the flag is clear.
    if (m_Worker.joinable() && m_Worker.get_id() != std::this_thread::get_id())
        m_Worker.join();
}

// --- download -------------------------------------------------------------------

void CDownloadDlg::OnDownload()
{
    m_SpeedSelection = m_Panel.GetSpeedSelection();
    m_WatchdogCounter = -1;

    if (m_bPanelShown) {
        m_bPanelShown = false;
        m_SlideOffset = 0;
        SetTimer(kTimerSlide, 1);
    }

    if (!m_bFileSelected) {
        if (ProbeFile(m_FileNameText, nullptr)) {
            m_SelectedPath = m_FileNameText;
            m_FileSize = FileSizeFromStatus(m_SelectedPath);
            m_bFileSelected = 1;
        } else {
            SetPendingMessage(msg::kSelectFile);
            m_FileNameText.clear();
            ShowMessage(3);
            UpdateData(false);
            m_ExitCode = kExitFile;
        }
    }
    if (!m_bFileSelected)
        return;

    std::string portName = panel::PortNameForIndex(m_Panel.m_nPortIndex);
    int baud = panel::BaudForSpeedIndex(m_SpeedSelection);
    // A worker of the previous transfer may still be on its way out.
    JoinWorker();
    if (!portName.empty() &&
        m_SerialPort.Open(portName.c_str(), static_cast<uint32_t>(baud), static_cast<uint16_t>(m_Panel.m_nPortIndex + 1))) {
        SetPendingMessage(msg::kWaiting);
        ShowMessage(-1);
        m_pSerialPort = &m_SerialPort;
        SetTimer(kTimerWatchdog, kWatchdogPeriodMs);
        if (m_RunFlag == 0) {
            BeginTransfer();
            m_bHostEnded = false;
            m_RunFlag = 1;
            m_Worker = std::thread([this] { DownloadWorker(this); });
        }
        m_bActive = 1;
        ToggleControls();
        SetProgress(0);
    } else {
        SetPendingMessage(msg::kInitFailed);
        ShowMessage(3);
        m_ExitCode = kExitPort;
    }
}

void CDownloadDlg::OnStopAndExit()
{
    m_bEnding = true;
    SetProgress(0);
    AbortTransfer();
    EndProcess(ExitCode());
}

void CDownloadDlg::OnCancel()
{
    // Closing the window ends a running transfer first, so neither the
    // worker nor the watcher outlives the dialog they use.
    m_bEnding = true;
    if (m_bActive || m_Worker.joinable())
        AbortTransfer();
    CDialog::OnCancel();
}

void CDownloadDlg::OnTimer(UINT_PTR id)
{
    switch (id) {
    case kTimerWatchdog: {
        // fetch_add, not load and store: the worker may write 0 meanwhile.
        int count = m_WatchdogCounter.load();
        if (count >= 0)
            count = m_WatchdogCounter.fetch_add(1) + 1;
        if (count > 3) {
            KillTimer(kTimerWatchdog);
            m_WatchdogCounter = -1;
            SetProgress(0);
            UpdateData(false);
            // A worker that has just claimed the end (FT_DONE after a long
            // silence) keeps it: its FinishTransfer is on its way.
            if (m_bActive == 1 && ClaimHostEnd(kExitTimeout)) {
                m_SerialPort.Close();
                SetPendingMessage(msg::kExternalError);
                ShowMessage(3);
                AbortClaimedTransfer();
                TakeDeferredDropLater();
            }
        }
        break;
    }
    case kTimerSlide:
        if (SlidePanelStep())
            KillTimer(kTimerSlide);
        break;
    case kTimerMessage:
        if (--m_MessageCountdown < 0) {
            KillTimer(kTimerMessage);
            m_StatusText.clear();
            UpdateData(false);
        }
        break;
    default:
        break;
    }
    CDialog::OnTimer(id);
}

// --- system menu, icon ---------------------------------------------------------------

void CDownloadDlg::OnSysCommand(UINT id, LPARAM lParam)
{
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
        return;
    }
    CDialog::OnSysCommand(id, lParam);
}

void CDownloadDlg::OnPaint()
{
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int cxIcon = ::GetSystemMetrics(SM_CXICON);
    int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
}

HCURSOR CDownloadDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}
