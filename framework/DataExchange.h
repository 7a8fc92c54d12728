// Data exchange between a dialog's members and its controls. A dialog's
// DoDataExchange calls the DDX_ helpers; UpdateData(false) pushes members to
// the controls, UpdateData(true) pulls the controls back into the members.
#pragma once

#include "framework/Wnd.h"

#include <string>

class CDataExchange {
public:
    CDataExchange(CWnd* dlg, bool saveAndValidate)
        : m_pDlgWnd(dlg), m_bSaveAndValidate(saveAndValidate) {}

    CWnd* m_pDlgWnd;
    bool m_bSaveAndValidate;   // true: controls -> members
    bool m_bFail = false;      // set when a named control does not exist

    // The control `id` of the dialog; marks the exchange failed when absent.
    HWND PrepareCtrl(int id);
};

// Window text of control `id` <-> value, which holds UTF-8 (WideText.h).
void DDX_Text(CDataExchange* pDX, int id, std::string& value);

// Radio group that starts at control `firstId` (which must be a radio button)
// and runs through the following controls up to the next one with WS_GROUP.
// Only radio buttons count: the k-th radio button of the group stands for k.
// Push: checks the button whose index equals value and unchecks the others;
// none is checked when value is out of range. Pull: the index of the checked
// button, or -1 when none is checked.
void DDX_Radio(CDataExchange* pDX, int firstId, int& value);

// Binds `control` to control `id` the first time (which runs its
// PreSubclassWindow); later exchanges leave it alone.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
