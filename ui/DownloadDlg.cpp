#include "ui/DownloadDlg.h"

#include "app/AboutDlg.h"
#include "protocol/DownloadWorker.h"
#include "protocol/Messages.h"
#include "res/resource.h"
#include "ui/FileRules.h"
#include "ui/PanelGeometry.h"
#include "ui/Settings.h"

#include <commdlg.h>
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
    WM_ZV_EXIT,                      // wParam: exit code
};

bool RealOpenFileDialog(std::string& path)
{
    char file[MAX_PATH] = {};
    path.copy(file, sizeof file - 1);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = nullptr;
    ofn.lpstrFilter = "WZB File   (*.WZB)\0*.wzb\0All Files   (*.*)\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrDefExt = nullptr;
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
    if (!::GetOpenFileNameA(&ofn))
        return false;
    path = file;
    return true;
}

int RealMessageBox(HWND owner, const char* text, const char* caption, UINT type)
{
    return ::MessageBoxA(owner, text, caption, type);
}

void RealExitProcess(int exitCode) { std::exit(exitCode); }

// The default caption of the program's message boxes: the program file's
// name without its extension.
std::string ProgramTitle()
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name = path;
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

}  // namespace

bool (*CDownloadDlg::s_pfnOpenFileDialog)(std::string&) = RealOpenFileDialog;
int (*CDownloadDlg::s_pfnMessageBox)(HWND, const char*, const char*, UINT) = RealMessageBox;
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
        char text[256] = {};
        if (::LoadStringA(::GetModuleHandleW(nullptr), IDS_ABOUTBOX, text, sizeof text) > 0 && text[0]) {
            ::AppendMenuA(sysMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuA(sysMenu, MF_STRING, IDM_ABOUTBOX, text);
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
    TakeDeferredDrop();
}

void CDownloadDlg::ExitCommandLine(int exitCode)
{
    if (!OnUiThread()) {
        PostMessage(WM_ZV_EXIT, static_cast<WPARAM>(exitCode));
        return;
    }
    EndProcess(exitCode);
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
        EndProcess(static_cast<int>(wParam));
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

void CDownloadDlg::AbortTransfer()
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
    TakeDeferredDrop();
}

void CDownloadDlg::JoinWorker()
{
    // The worker's waits are short polls that look at the run flag, so it
    // ends promptly once the flag is clear.
    if (m_Worker.joinable() && m_Worker.get_id() != std::this_thread::get_id())
        m_Worker.join();
}

// --- files --------------------------------------------------------------------

bool CDownloadDlg::ProbeFile(const std::string& path, std::string* fullPath)
{
    if (path.empty())
        return false;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(h);
    if (fullPath) {
        char full[MAX_PATH] = {};
        DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
        *fullPath = (n > 0 && n < MAX_PATH) ? std::string(full) : path;
    }
    return true;
}

int32_t CDownloadDlg::FileSizeFromStatus(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    long long size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return ClampFileSize(size);
}

void CDownloadDlg::OnFind()
{
    std::string path = settings::ReadPath();
    if (s_pfnOpenFileDialog(path)) {
        m_SelectedPath = path;
        settings::WritePath(m_SelectedPath);
        ProbeFile(m_SelectedPath, nullptr);
        m_FileSize = FileSizeFromStatus(m_SelectedPath);
        m_bFileSelected = 1;
    }
    m_FileNameText = m_SelectedPath;
    UpdateData(false);
}

void CDownloadDlg::OnDropFiles(HDROP drop)
{
    char path[MAX_PATH] = {};
    ::DragQueryFileA(drop, 0, path, MAX_PATH);
    ::DragFinish(drop);
    // The file being served must not change under a running transfer: the
    // drop is kept and taken when the transfer ends.
    if (m_bActive) {
        m_DeferredDrop = path;
        return;
    }
    AcceptDroppedPath(path);
}

void CDownloadDlg::TakeDeferredDrop()
{
    if (m_DeferredDrop.empty())
        return;
    std::string path;
    path.swap(m_DeferredDrop);
    AcceptDroppedPath(path);
}

void CDownloadDlg::AcceptDroppedPath(const std::string& path)
{
    if (!IsSupportedDropName(path)) {
        SetPendingMessage(msg::kNotSupported);
        ShowMessage(3);
        return;
    }
    settings::WritePath(path);
    m_SelectedPath = path;
    if (!ProbeFile(m_SelectedPath, nullptr))
        s_pfnMessageBox(m_hWnd, "Error111", ProgramTitle().c_str(), MB_OK);
    m_FileSize = FileSizeFromStatus(m_SelectedPath);
    m_bFileSelected = 1;
    m_FileNameText = m_SelectedPath;
    UpdateData(false);
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
            m_RunFlag = 1;
            m_Worker = std::thread([this] { DownloadWorker(this); });
        }
        m_bActive = 1;
        ToggleControls();
        SetProgress(0);
    } else {
        SetPendingMessage(msg::kInitFailed);
        ShowMessage(3);
    }
}

void CDownloadDlg::OnStopAndExit()
{
    SetProgress(0);
    AbortTransfer();
    EndProcess(0);
}

void CDownloadDlg::OnCancel()
{
    // Closing the window ends a running transfer first, so neither the
    // worker nor the watcher outlives the dialog they use.
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
            if (m_bActive == 1) {
                m_SerialPort.Close();
                SetPendingMessage(msg::kExternalError);
                ShowMessage(3);
                AbortTransfer();
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

// --- panel slide-out and docking ------------------------------------------------

void CDownloadDlg::OnPortSetup()
{
    m_bPanelShown = !m_bPanelShown;
    m_SlideOffset = 0;
    SetTimer(kTimerSlide, 1);
}

bool CDownloadDlg::SlidePanelStep()
{
    RECT main;
    GetWindowRect(&main);
    int w = m_PanelRect.right;
    int h = m_PanelRect.bottom;
    panel::SlideResult step = panel::SlideStep(w, m_SlideOffset, m_bPanelShown, main.right, main.top);
    m_SlideOffset = step.newOffset;
    m_Panel.SetWindowPos(m_hWnd, step.x, step.y, w, h, SWP_NOOWNERZORDER | SWP_SHOWWINDOW | SWP_NOACTIVATE);
    if (!m_bPanelShown && step.last)
        m_Panel.ShowWindow(SW_HIDE);
    return step.last;
}

void CDownloadDlg::OnWindowPosChanged(WINDOWPOS* pos)
{
    CDialog::OnWindowPosChanged(pos);
    int x = pos->x, y = pos->y;
    if (pos->flags & SWP_NOMOVE) {
        // A size or z-order change carries no position: use the real one.
        RECT r;
        GetWindowRect(&r);
        x = r.left;
        y = r.top;
    }
    FollowMainWindow(x, y);
}

void CDownloadDlg::FollowMainWindow(int x, int y)
{
    int dy = y - m_LastY;
    if (m_Panel.m_hWnd && m_Panel.m_Docked) {
        RECT p;
        m_Panel.GetWindowRect(&p);
        m_Panel.MoveWindow(x + (m_MainRect.right - m_MainRect.left), p.top + dy, p.right - p.left, p.bottom - p.top,
                           true);
    }
    m_LastX = x;
    m_LastY = y;
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
