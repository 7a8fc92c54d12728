#include "framework/Ctrl.h"

#include <vector>

int CButton::GetCheck() const
{
    return static_cast<int>(::SendMessageW(m_hWnd, BM_GETCHECK, 0, 0));
}

void CButton::SetCheck(int state)
{
    ::SendMessageW(m_hWnd, BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

UINT CButton::GetButtonStyle() const
{
    return static_cast<UINT>(GetStyle() & BS_TYPEMASK);
}

int CComboBox::AddString(const std::string& text)
{
    return static_cast<int>(::SendMessageA(m_hWnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

int CComboBox::GetCount() const
{
    return static_cast<int>(::SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0));
}

int CComboBox::GetCurSel() const
{
    return static_cast<int>(::SendMessageW(m_hWnd, CB_GETCURSEL, 0, 0));
}

int CComboBox::SetCurSel(int index)
{
    return static_cast<int>(::SendMessageW(m_hWnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

std::string CComboBox::GetLBText(int index) const
{
    LRESULT length = ::SendMessageA(m_hWnd, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length <= 0)
        return std::string();
    // The length in bytes may be overestimated for multi-byte code pages.
    std::vector<char> buffer(static_cast<size_t>(length) * 2 + 1);
    LRESULT got = ::SendMessageA(m_hWnd, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                 reinterpret_cast<LPARAM>(buffer.data()));
    if (got == CB_ERR || got < 0)
        return std::string();
    return std::string(buffer.data());
}

void CProgressCtrl::SetRange(short lower, short upper)
{
    ::SendMessageW(m_hWnd, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

int CProgressCtrl::SetPos(int pos)
{
    return static_cast<int>(::SendMessageW(m_hWnd, PBM_SETPOS, static_cast<WPARAM>(pos), 0));
}

int CProgressCtrl::GetPos() const
{
    return static_cast<int>(::SendMessageW(m_hWnd, PBM_GETPOS, 0, 0));
}
