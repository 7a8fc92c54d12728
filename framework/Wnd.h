// The thin window layer of the Windows program: raw Win32, no class library.
//
//   CWnd           a C++ object bound to one HWND. Binding replaces the window
//                  procedure (subclassing); every message then reaches the
//                  virtual WindowProc, and Default() hands the current message
//                  to the procedure that was there before.
//   CDialog        (Dialog.h) modal and modeless dialogs from templates, with
//                  named handlers, command routing and data exchange.
//   CDataExchange  (DataExchange.h) moves values between members and controls.
//   CButton, CComboBox, CProgressCtrl (Ctrl.h) typed wrappers of standard
//                  controls, bases for the custom controls.
//   CWinApp        (App.h) process start and the message pump.
//
// Binding rules:
//   - The object is found from the HWND through a window property, so
//     FromHandle works for any window we bound and yields nullptr otherwise.
//   - Messages that arrive before a dialog object is bound get the default
//     dialog processing; WM_NCDESTROY unbinds the object (after the message
//     has been handled), then PostNcDestroy() runs.
//   - Owner-drawn children: a bound parent that receives WM_DRAWITEM for a
//     bound child calls that child's DrawItem() ("reflection").
//   - Strings are std::string in the process's ANSI code page, the same code
//     page the C runtime file functions and the private-profile functions use.
//   - Some helpers share their names with windows.h's A/W macros
//     (SendMessage, PostMessage, SetWindowText, GetWindowText,
//     DefWindowProc); the macros rename them alike in every file as long as
//     all files agree on UNICODE (the project defines neither).
//
// Everything runs on the thread that owns the windows; nothing here locks.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

class CWnd {
public:
    HWND m_hWnd = nullptr;

    CWnd() = default;
    // Unbinds a still-bound window (the window itself stays alive).
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }

    // Binds this object to an existing window: stores the object in a window
    // property, replaces the window procedure (the old one is kept for
    // Default()), then calls PreSubclassWindow(). Fails when this object is
    // already bound or the window already has an object.
    bool SubclassWindow(HWND hWnd);
    // SubclassWindow on the child control `id` of `parent`.
    bool SubclassDlgItem(UINT id, CWnd* parent);
    // Restores the old window procedure and forgets the window. Returns it.
    HWND UnsubclassWindow();
    // The object bound to hWnd, or nullptr.
    static CWnd* FromHandle(HWND hWnd);

    // Every message of a bound window comes here. The base reflects
    // WM_DRAWITEM to bound children and passes everything else to Default().
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // Attach hook: runs once, right after binding, before the next paint.
    virtual void PreSubclassWindow() {}
    // Owner-draw notification, reflected from the parent's WM_DRAWITEM.
    virtual void DrawItem(LPDRAWITEMSTRUCT) {}
    // Runs after WM_NCDESTROY has unbound the window (m_hWnd is null then).
    virtual void PostNcDestroy() {}

    // Passes the message being handled to the original window procedure.
    LRESULT Default();
    // Passes an explicit message to the original window procedure.
    LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

    // Thin helpers over the Win32 calls of the same name.
    BOOL GetWindowRect(RECT* rect) const;
    BOOL GetClientRect(RECT* rect) const;
    BOOL MoveWindow(int x, int y, int width, int height, bool repaint = true);
    BOOL SetWindowPos(HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
    BOOL ShowWindow(int cmdShow);
    BOOL EnableWindow(bool enable);
    bool IsWindowEnabled() const;
    bool IsWindowVisible() const;
    bool IsIconic() const;
    void SetWindowText(const std::string& text);
    std::string GetWindowText() const;
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    void Invalidate(bool erase = true);
    void UpdateWindow();
    HWND GetDlgItem(int id) const;
    int GetDlgCtrlID() const;
    HWND GetParent() const;
    HWND GetOwner() const;
    DWORD GetStyle() const;
    DWORD GetExStyle() const;
    // Clears `remove` and sets `add` in the window style; true if it changed.
    bool ModifyStyle(DWORD remove, DWORD add);
    UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs);
    BOOL KillTimer(UINT_PTR id);
    BOOL SetFocus();

protected:
    // The window procedure installed by SubclassWindow.
    static LRESULT CALLBACK StdWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // Binds without calling PreSubclassWindow (dialogs bind themselves this way).
    bool Attach(HWND hWnd);

private:
    struct CurrentMsg {
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
    };
    WNDPROC m_pfnSuper = nullptr;
    CurrentMsg m_current{0, 0, 0};
    void Detach();
};
