#include "framework/Dialog.h"

#include "framework/App.h"

#include <algorithm>

namespace {

// Every dialog of ours whose window exists, modal or modeless. Only the
// user-interface thread touches it.
std::vector<CDialog*>& LiveDialogs()
{
    static std::vector<CDialog*> dialogs;
    return dialogs;
}

void Register(CDialog* dlg)
{
    auto& dialogs = LiveDialogs();
    if (std::find(dialogs.begin(), dialogs.end(), dlg) == dialogs.end())
        dialogs.push_back(dlg);
}

void Unregister(CDialog* dlg)
{
    auto& dialogs = LiveDialogs();
    dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), dlg), dialogs.end());
}

// The dialog whose window is being created on this thread; it binds itself
// to the first message its dialog procedure sees.
thread_local CDialog* t_creating = nullptr;

bool IsInputMessage(UINT msg)
{
    return (msg >= WM_KEYFIRST && msg <= WM_KEYLAST) || (msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST);
}

}  // namespace

CDialog::CDialog(UINT templateId, HWND parent) : m_nTemplateId(templateId), m_hParent(parent) {}

CDialog::~CDialog()
{
    Unregister(this);
    if (m_hWnd) {
        // Unbind first: messages sent while the window goes away must not
        // reach a derived object that no longer exists.
        HWND hWnd = UnsubclassWindow();
        ::DestroyWindow(hWnd);
    }
}

HWND CDialog::CreateFromTemplate(HWND owner)
{
    if (m_hWnd)
        return nullptr;
    CDialog* outer = t_creating;
    t_creating = this;
    HWND hWnd = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_nTemplateId), owner,
                                     &CDialog::StaticDlgProc, reinterpret_cast<LPARAM>(this));
    if (t_creating == this)
        t_creating = outer;
    return hWnd;
}

INT_PTR CALLBACK CDialog::StaticDlgProc(HWND hWnd, UINT msg, WPARAM, LPARAM lParam)
{
    auto* dlg = static_cast<CDialog*>(CWnd::FromHandle(hWnd));
    if (!dlg) {
        CDialog* creating = t_creating;
        if (!creating || creating->m_hWnd)
            return FALSE;
        if (msg == WM_INITDIALOG && lParam != reinterpret_cast<LPARAM>(creating))
            return FALSE;
        t_creating = nullptr;
        if (!creating->Attach(hWnd))
            return FALSE;
        Register(creating);
        dlg = creating;
    }
    // Everything else reaches the object through its window procedure
    // (StdWndProc -> WindowProc); here the system only asks whether the
    // dialog handled the message, so that it can apply its defaults.
    if (msg == WM_INITDIALOG)
        return dlg->OnInitDialog();
    return FALSE;
}

INT_PTR CDialog::DoModal()
{
    HWND owner = m_hParent;
    if (!owner) {
        CWinApp* app = CWinApp::Get();
        if (app && app->m_pMainWnd && app->m_pMainWnd != this && app->m_pMainWnd->m_hWnd)
            owner = app->m_pMainWnd->m_hWnd;
    }
    if (owner)
        owner = ::GetAncestor(owner, GA_ROOT);

    m_bModal = true;
    m_bEndModal = false;
    m_nModalResult = -1;
    HWND hWnd = CreateFromTemplate(owner);
    if (!hWnd) {
        m_bModal = false;
        return -1;
    }

    bool ownerDisabled = false;
    if (owner && ::IsWindowEnabled(owner)) {
        ::EnableWindow(owner, FALSE);
        ownerDisabled = true;
    }
    if (!m_bEndModal)
        ::ShowWindow(hWnd, SW_SHOW);

    MSG msg;
    while (!m_bEndModal && ::IsWindow(hWnd)) {
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            // Leave the quit request for the loop outside this one.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got == -1)
            break;
        if (!ZvPreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }

    // Enable the owner before the dialog goes, so that activation returns to it.
    if (ownerDisabled)
        ::EnableWindow(owner, TRUE);
    if (::IsWindow(hWnd) && m_hWnd == hWnd) {
        ::SetWindowPos(hWnd, nullptr, 0, 0, 0, 0,
                       SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
        ::DestroyWindow(hWnd);
    }
    m_bModal = false;
    return m_nModalResult;
}

BOOL CDialog::Create(UINT templateId, HWND parent)
{
    if (m_hWnd)
        return FALSE;
    m_nTemplateId = templateId;
    m_hParent = parent;
    m_bModal = false;
    return CreateFromTemplate(parent) != nullptr;
}

void CDialog::EndDialog(int result)
{
    m_nModalResult = result;
    if (m_bModal) {
        m_bEndModal = true;
        // Wake the modal loop in case this did not come from one of its messages.
        if (m_hWnd)
            ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
    } else if (m_hWnd) {
        ::ShowWindow(m_hWnd, SW_HIDE);
    }
}

bool CDialog::UpdateData(bool saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return !dx.m_bFail;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(false);
    return TRUE;
}

bool CDialog::PreTranslateMessage(MSG* msg)
{
    if (!m_hWnd || !IsInputMessage(msg->message))
        return false;
    return ::IsDialogMessageW(m_hWnd, msg) != FALSE;
}

void CDialog::OnOK()
{
    if (!UpdateData(true))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void CDialog::MapCommand(UINT id, UINT code, std::function<void()> handler)
{
    m_commands.push_back(CommandEntry{id, code, std::move(handler)});
}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam)
{
    UINT id = LOWORD(wParam);
    UINT code = HIWORD(wParam);
    HWND ctl = reinterpret_cast<HWND>(lParam);
    for (auto it = m_commands.rbegin(); it != m_commands.rend(); ++it) {
        if (it->id == id && it->code == code) {
            it->handler();
            return TRUE;
        }
    }
    if (OnCommandId(id, code, ctl))
        return TRUE;
    // Buttons, menus and IsDialogMessage all send code 0 (BN_CLICKED).
    if (code == BN_CLICKED && id == IDOK) {
        OnOK();
        return TRUE;
    }
    if (code == BN_CLICKED && id == IDCANCEL) {
        OnCancel();
        return TRUE;
    }
    return FALSE;
}

bool CDialog::OnCommandId(UINT, UINT, HWND)
{
    return false;
}

void CDialog::OnTimer(UINT_PTR) { Default(); }
void CDialog::OnDropFiles(HDROP) { Default(); }
void CDialog::OnSysCommand(UINT, LPARAM) { Default(); }
void CDialog::OnPaint() { Default(); }
HCURSOR CDialog::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }
void CDialog::OnWindowPosChanging(WINDOWPOS*) { Default(); }
void CDialog::OnWindowPosChanged(WINDOWPOS*) { Default(); }

INT_PTR CDialog::DialogProc(UINT, WPARAM, LPARAM)
{
    return Default();
}

LRESULT CDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_COMMAND:
        if (OnCommand(wParam, lParam))
            return 0;
        return Default();
    case WM_TIMER:
        OnTimer(static_cast<UINT_PTR>(wParam));
        return 0;
    case WM_DROPFILES:
        OnDropFiles(reinterpret_cast<HDROP>(wParam));
        return 0;
    case WM_SYSCOMMAND:
        OnSysCommand(static_cast<UINT>(wParam), lParam);
        return 0;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<LRESULT>(OnQueryDragIcon());
    case WM_WINDOWPOSCHANGING:
        OnWindowPosChanging(reinterpret_cast<WINDOWPOS*>(lParam));
        return 0;
    case WM_WINDOWPOSCHANGED:
        OnWindowPosChanged(reinterpret_cast<WINDOWPOS*>(lParam));
        return 0;
    case WM_DRAWITEM:
        return CWnd::WindowProc(msg, wParam, lParam);
    default:
        return static_cast<LRESULT>(DialogProc(msg, wParam, lParam));
    }
}

void CDialog::PostNcDestroy()
{
    Unregister(this);
    if (m_bModal)
        m_bEndModal = true;
}

CDialog* CDialog::FromChild(HWND hWnd)
{
    const auto& dialogs = LiveDialogs();
    // Walk up through child windows only: a top-level window's parent is its
    // owner, which is another window's business.
    for (HWND wnd = hWnd; wnd; ) {
        for (CDialog* dlg : dialogs) {
            if (dlg->m_hWnd == wnd)
                return dlg;
        }
        if (!(::GetWindowLongPtrW(wnd, GWL_STYLE) & WS_CHILD))
            break;
        wnd = ::GetParent(wnd);
    }
    return nullptr;
}

bool ZvPreTranslateMessage(MSG* msg)
{
    if (!msg->hwnd)
        return false;
    CDialog* dlg = CDialog::FromChild(msg->hwnd);
    return dlg && dlg->PreTranslateMessage(msg);
}

void ZvPumpWaitingMessages()
{
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (!ZvPreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

int ZvRunMessageLoop()
{
    MSG msg;
    for (;;) {
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(msg.wParam);
        if (got == -1)
            return -1;
        if (!ZvPreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}
