// Dialogs from resource templates, modal and modeless.
//
// The dialog window is bound like any CWnd (its window procedure is replaced),
// so WindowProc sees every message and Default() runs the system's dialog
// processing. WindowProc dispatches to the named handlers below; a handler
// that wants the default processing calls the base class version (which calls
// Default()), before or after its own work as it needs. Messages without a
// named handler go to DialogProc, whose base calls Default().
//
// Both kinds of dialog are pumped by our own message loop (DoModal, or
// ZvRunMessageLoop / ZvPumpWaitingMessages for modeless ones): a queued
// message for a dialog or any of its controls first goes to that dialog's
// PreTranslateMessage, whose base runs IsDialogMessage (keyboard navigation,
// Enter -> IDOK, Escape -> IDCANCEL).
//
// Commands: WM_COMMAND goes to OnCommand, which tries the handlers registered
// with MapCommand, then OnCommandId, then IDOK -> OnOK and IDCANCEL -> OnCancel.
#pragma once

#include "framework/DataExchange.h"
#include "framework/Wnd.h"

#include <shellapi.h>

#include <functional>
#include <vector>

class CDialog : public CWnd {
public:
    CDialog(UINT templateId, HWND parent = nullptr);
    // Destroys a window that still exists, without calling back into the
    // (already partly destroyed) derived object.
    ~CDialog() override;

    // Runs the dialog modally: creates it from the template, disables the
    // owner, pumps messages until EndDialog, destroys it and returns the code
    // passed to EndDialog. -1 when the dialog cannot be created.
    INT_PTR DoModal();
    // Creates a modeless dialog owned by `parent`. Visible only if the
    // template says so. FALSE when the template cannot be loaded.
    BOOL Create(UINT templateId, HWND parent = nullptr);
    // Modal: ends the loop of DoModal with `result`. Modeless: hides the
    // window (it stays alive until it or its owner is destroyed).
    void EndDialog(int result);

    bool UpdateData(bool saveAndValidate = true);
    bool IsModal() const { return m_bModal; }
    UINT GetTemplateId() const { return m_nTemplateId; }

    // --- overridables -------------------------------------------------------
    // Base: UpdateData(false); returns TRUE (the system sets the focus).
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange*) {}
    // True when the message has been handled and must not be dispatched.
    // Base: IsDialogMessage on this dialog.
    virtual bool PreTranslateMessage(MSG* msg);
    // Base: UpdateData(true), and EndDialog(IDOK) if that succeeded.
    virtual void OnOK();
    // Base: EndDialog(IDCANCEL).
    virtual void OnCancel();
    // Base: MapCommand handlers, OnCommandId, IDOK/IDCANCEL. TRUE if handled;
    // an unhandled command gets the default processing.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // Per-control commands: true if handled. Base: false.
    virtual bool OnCommandId(UINT id, UINT code, HWND ctl);
    // The following bases all call Default().
    virtual void OnTimer(UINT_PTR id);
    virtual void OnDropFiles(HDROP drop);
    virtual void OnSysCommand(UINT id, LPARAM lParam);
    virtual void OnPaint();
    virtual HCURSOR OnQueryDragIcon();
    virtual void OnWindowPosChanging(WINDOWPOS* pos);
    virtual void OnWindowPosChanged(WINDOWPOS* pos);
    // Any other message; the return value is the window procedure's result.
    virtual INT_PTR DialogProc(UINT msg, WPARAM wParam, LPARAM lParam);

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void PostNcDestroy() override;

    // The dialog (of ours, modal or modeless) that contains hWnd, or nullptr.
    static CDialog* FromChild(HWND hWnd);

protected:
    // Registers a handler for WM_COMMAND with this id and notification code
    // (BN_CLICKED, CBN_SELCHANGE, ...). Later registrations come first.
    void MapCommand(UINT id, UINT code, std::function<void()> handler);

private:
    struct CommandEntry {
        UINT id;
        UINT code;
        std::function<void()> handler;
    };
    UINT m_nTemplateId;
    HWND m_hParent;
    bool m_bModal = false;
    bool m_bEndModal = false;
    INT_PTR m_nModalResult = -1;
    std::vector<CommandEntry> m_commands;

    HWND CreateFromTemplate(HWND owner);
    static INT_PTR CALLBACK StaticDlgProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

// Offers a queued message to the dialog it belongs to (PreTranslateMessage);
// true when it was handled there.
bool ZvPreTranslateMessage(MSG* msg);
// Dispatches every queued message through ZvPreTranslateMessage and returns
// when the queue is empty. For tests and for waits inside a handler.
void ZvPumpWaitingMessages();
// The thread's message loop for modeless windows; returns WM_QUIT's code.
int ZvRunMessageLoop();
