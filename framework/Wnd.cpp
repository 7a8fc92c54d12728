#include "framework/Wnd.h"

#include <vector>

namespace {

// Window properties that tie a window to its object and to the procedure
// that was installed before ours.
const wchar_t kPropObject[] = L"ZvCWnd";
const wchar_t kPropSuper[] = L"ZvCWndSuper";

WNDPROC SuperOf(HWND hWnd)
{
    return reinterpret_cast<WNDPROC>(::GetPropW(hWnd, kPropSuper));
}

}  // namespace

CWnd::~CWnd()
{
    if (m_hWnd)
        Detach();
}

CWnd* CWnd::FromHandle(HWND hWnd)
{
    if (!hWnd)
        return nullptr;
    return static_cast<CWnd*>(::GetPropW(hWnd, kPropObject));
}

bool CWnd::Attach(HWND hWnd)
{
    if (m_hWnd || !hWnd || !::IsWindow(hWnd) || FromHandle(hWnd))
        return false;
    if (!::SetPropW(hWnd, kPropObject, static_cast<HANDLE>(this)))
        return false;
    m_hWnd = hWnd;
    if (WNDPROC super = SuperOf(hWnd)) {
        // An earlier object could not take its procedure out of the chain
        // (someone subclassed after it); ours is still there, reuse it.
        m_pfnSuper = super;
        return true;
    }
    m_pfnSuper = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC));
    ::SetPropW(hWnd, kPropSuper, reinterpret_cast<HANDLE>(m_pfnSuper));
    ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::StdWndProc));
    return true;
}

void CWnd::Detach()
{
    HWND hWnd = m_hWnd;
    if (!hWnd)
        return;
    if (::GetPropW(hWnd, kPropObject) == static_cast<HANDLE>(this)) {
        ::RemovePropW(hWnd, kPropObject);
        WNDPROC current = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC));
        if (current == &CWnd::StdWndProc) {
            ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
            ::RemovePropW(hWnd, kPropSuper);
        }
        // Otherwise a later subclass still calls StdWndProc, which keeps
        // forwarding to the procedure recorded in kPropSuper.
    }
    m_hWnd = nullptr;
    m_pfnSuper = nullptr;
}

bool CWnd::SubclassWindow(HWND hWnd)
{
    if (!Attach(hWnd))
        return false;
    PreSubclassWindow();
    return true;
}

bool CWnd::SubclassDlgItem(UINT id, CWnd* parent)
{
    if (!parent || !parent->m_hWnd)
        return false;
    HWND child = ::GetDlgItem(parent->m_hWnd, static_cast<int>(id));
    return child && SubclassWindow(child);
}

HWND CWnd::UnsubclassWindow()
{
    HWND hWnd = m_hWnd;
    Detach();
    return hWnd;
}

LRESULT CALLBACK CWnd::StdWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CWnd* wnd = FromHandle(hWnd);
    if (!wnd || wnd->m_hWnd != hWnd) {
        // No object (any more): keep the window working on its own procedure.
        WNDPROC super = SuperOf(hWnd);
        LRESULT result = super ? ::CallWindowProcW(super, hWnd, msg, wParam, lParam)
                               : ::DefWindowProcW(hWnd, msg, wParam, lParam);
        if (msg == WM_NCDESTROY)
            ::RemovePropW(hWnd, kPropSuper);
        return result;
    }

    CurrentMsg saved = wnd->m_current;
    wnd->m_current = CurrentMsg{msg, wParam, lParam};
    LRESULT result = wnd->WindowProc(msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        // The window is gone after this message: unbind, then let the object
        // know. The object may have unbound itself while handling it.
        if (wnd->m_hWnd == hWnd) {
            wnd->Detach();
            wnd->m_current = saved;
            wnd->PostNcDestroy();
        }
        return result;
    }
    if (wnd->m_hWnd == hWnd)
        wnd->m_current = saved;
    return result;
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM, LPARAM lParam)
{
    if (msg == WM_DRAWITEM) {
        auto* dis = reinterpret_cast<LPDRAWITEMSTRUCT>(lParam);
        if (dis && dis->CtlType != ODT_MENU) {
            if (CWnd* child = FromHandle(dis->hwndItem)) {
                child->DrawItem(dis);
                return TRUE;
            }
        }
    }
    return Default();
}

LRESULT CWnd::Default()
{
    return DefWindowProc(m_current.msg, m_current.wParam, m_current.lParam);
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (!m_hWnd)
        return 0;
    if (m_pfnSuper)
        return ::CallWindowProcW(m_pfnSuper, m_hWnd, msg, wParam, lParam);
    return ::DefWindowProcW(m_hWnd, msg, wParam, lParam);
}

BOOL CWnd::GetWindowRect(RECT* rect) const { return ::GetWindowRect(m_hWnd, rect); }
BOOL CWnd::GetClientRect(RECT* rect) const { return ::GetClientRect(m_hWnd, rect); }

BOOL CWnd::MoveWindow(int x, int y, int width, int height, bool repaint)
{
    return ::MoveWindow(m_hWnd, x, y, width, height, repaint ? TRUE : FALSE);
}

BOOL CWnd::SetWindowPos(HWND insertAfter, int x, int y, int cx, int cy, UINT flags)
{
    return ::SetWindowPos(m_hWnd, insertAfter, x, y, cx, cy, flags);
}

BOOL CWnd::ShowWindow(int cmdShow) { return ::ShowWindow(m_hWnd, cmdShow); }
BOOL CWnd::EnableWindow(bool enable) { return ::EnableWindow(m_hWnd, enable ? TRUE : FALSE); }
bool CWnd::IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd) != FALSE; }
bool CWnd::IsWindowVisible() const { return ::IsWindowVisible(m_hWnd) != FALSE; }
bool CWnd::IsIconic() const { return ::IsIconic(m_hWnd) != FALSE; }

void CWnd::SetWindowText(const std::string& text) { ::SetWindowTextA(m_hWnd, text.c_str()); }

std::string CWnd::GetWindowText() const
{
    int length = ::GetWindowTextLengthA(m_hWnd);
    if (length <= 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    int got = ::GetWindowTextA(m_hWnd, buffer.data(), length + 1);
    return std::string(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

LRESULT CWnd::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return ::SendMessageW(m_hWnd, msg, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return ::PostMessageW(m_hWnd, msg, wParam, lParam);
}

void CWnd::Invalidate(bool erase) { ::InvalidateRect(m_hWnd, nullptr, erase ? TRUE : FALSE); }
void CWnd::UpdateWindow() { ::UpdateWindow(m_hWnd); }
HWND CWnd::GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
int CWnd::GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
HWND CWnd::GetParent() const { return ::GetParent(m_hWnd); }
HWND CWnd::GetOwner() const { return ::GetWindow(m_hWnd, GW_OWNER); }
DWORD CWnd::GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
DWORD CWnd::GetExStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }

bool CWnd::ModifyStyle(DWORD remove, DWORD add)
{
    DWORD style = GetStyle();
    DWORD changed = (style & ~remove) | add;
    if (changed == style)
        return false;
    ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(changed));
    return true;
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapseMs) { return ::SetTimer(m_hWnd, id, elapseMs, nullptr); }
BOOL CWnd::KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
BOOL CWnd::SetFocus() { return ::SetFocus(m_hWnd) != nullptr; }
