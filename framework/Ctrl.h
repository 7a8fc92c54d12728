// Typed wrappers of the standard controls the dialogs use. Each is a CWnd
// bound to an existing control (DDX_Control / SubclassDlgItem); the methods
// are the control messages spelled as calls.
#pragma once

#include "framework/Wnd.h"

#include <commctrl.h>

#include <string>

class CButton : public CWnd {
public:
    int GetCheck() const;          // BST_CHECKED, BST_UNCHECKED, BST_INDETERMINATE
    void SetCheck(int state);
    UINT GetButtonStyle() const;   // the BS_ type bits of the window style
};

class CComboBox : public CWnd {
public:
    int AddString(const std::string& text);   // index of the new entry, or CB_ERR
    int GetCount() const;
    int GetCurSel() const;                    // CB_ERR when nothing is selected
    int SetCurSel(int index);                 // CB_ERR when index is out of range
    std::string GetLBText(int index) const;   // empty for an invalid index
};

class CProgressCtrl : public CWnd {
public:
    // The range is sent as two 16-bit halves (PBM_SETRANGE).
    void SetRange(short lower, short upper);
    int SetPos(int pos);   // the previous position
    int GetPos() const;
};
