#include "framework/DataExchange.h"

#include "framework/WideText.h"

namespace {

bool IsRadioButton(HWND hWnd)
{
    return (::SendMessageW(hWnd, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) != 0;
}

}  // namespace

HWND CDataExchange::PrepareCtrl(int id)
{
    HWND ctl = m_pDlgWnd ? ::GetDlgItem(m_pDlgWnd->m_hWnd, id) : nullptr;
    if (!ctl)
        m_bFail = true;
    return ctl;
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value)
{
    HWND ctl = pDX->PrepareCtrl(id);
    if (!ctl)
        return;
    // UTF-8 values, UTF-16 controls: see WideText.h.
    if (pDX->m_bSaveAndValidate) {
        int length = ::GetWindowTextLengthW(ctl);
        std::wstring text(length > 0 ? static_cast<size_t>(length) + 1 : 1, L'\0');
        int got = length > 0 ? ::GetWindowTextW(ctl, &text[0], length + 1) : 0;
        text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        value = Narrow(text);
    } else {
        ::SetWindowTextW(ctl, Widen(value).c_str());
    }
}

void DDX_Radio(CDataExchange* pDX, int firstId, int& value)
{
    HWND first = pDX->PrepareCtrl(firstId);
    if (!first)
        return;
    if (!IsRadioButton(first)) {
        pDX->m_bFail = true;
        return;
    }
    if (pDX->m_bSaveAndValidate)
        value = -1;
    int index = 0;
    HWND ctl = first;
    do {
        if (IsRadioButton(ctl)) {
            if (pDX->m_bSaveAndValidate) {
                if (value == -1 && ::SendMessageW(ctl, BM_GETCHECK, 0, 0) == BST_CHECKED)
                    value = index;
            } else {
                ::SendMessageW(ctl, BM_SETCHECK, index == value ? BST_CHECKED : BST_UNCHECKED, 0);
            }
            ++index;
        }
        ctl = ::GetWindow(ctl, GW_HWNDNEXT);
    } while (ctl && !(::GetWindowLongPtrW(ctl, GWL_STYLE) & WS_GROUP));
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control)
{
    if (control.m_hWnd)
        return;
    HWND ctl = pDX->PrepareCtrl(id);
    if (ctl && !control.SubclassWindow(ctl))
        pDX->m_bFail = true;
}
