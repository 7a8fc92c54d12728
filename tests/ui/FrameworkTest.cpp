#include "FrameworkTestRes.h"
#include "UiTestSupport.h"

#include "framework/Ctrl.h"
#include "framework/Dialog.h"

#include <gtest/gtest.h>

using uitest::IsChecked;
using uitest::Pump;

namespace {

class CCountingButton : public CButton {
public:
    int m_attached = 0;
    int m_drawn = 0;
    UINT m_lastCtlId = 0;
    int m_ncDestroyed = 0;
    void PreSubclassWindow() override { ++m_attached; }
    void DrawItem(LPDRAWITEMSTRUCT dis) override
    {
        ++m_drawn;
        m_lastCtlId = dis->CtlID;
    }
    void PostNcDestroy() override { ++m_ncDestroyed; }
};

class CExchangeDlg : public CDialog {
public:
    CExchangeDlg() : CDialog(IDD_FRAMEWORK_TEST) {}
    int m_radio = 0;
    int m_radioFirstId = IDC_T_RADIO_A;
    std::string m_text;
    CCountingButton m_owner;
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Control(pDX, IDC_T_OWNERDRAW, m_owner);
        DDX_Radio(pDX, m_radioFirstId, m_radio);
        DDX_Text(pDX, IDC_T_EDIT, m_text);
    }
};

}  // namespace

TEST(Framework, DataExchangeMovesRadioGroupAndText)
{
    CExchangeDlg dlg;
    ASSERT_TRUE(dlg.Create(IDD_FRAMEWORK_TEST, nullptr));
    HWND h = dlg.m_hWnd;
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(dlg.m_owner.m_attached, 1);   // bound by the start-up's push
    EXPECT_TRUE(IsChecked(h, IDC_T_RADIO_A));

    // D starts the next group: the exchange must leave it alone.
    ::SendMessageW(::GetDlgItem(h, IDC_T_RADIO_D), BM_SETCHECK, BST_CHECKED, 0);

    // Index 2 is C: the label between B and C is not a radio button.
    dlg.m_radio = 2;
    EXPECT_TRUE(dlg.UpdateData(false));
    EXPECT_FALSE(IsChecked(h, IDC_T_RADIO_A));
    EXPECT_FALSE(IsChecked(h, IDC_T_RADIO_B));
    EXPECT_TRUE(IsChecked(h, IDC_T_RADIO_C));
    EXPECT_TRUE(IsChecked(h, IDC_T_RADIO_D));
    dlg.m_radio = 99;
    EXPECT_TRUE(dlg.UpdateData(true));
    EXPECT_EQ(dlg.m_radio, 2);

    // Out of range: nothing checked, and reading back gives -1.
    for (int outside : {3, -1}) {
        dlg.m_radio = 1;
        dlg.UpdateData(false);
        ASSERT_TRUE(IsChecked(h, IDC_T_RADIO_B));
        dlg.m_radio = outside;
        EXPECT_TRUE(dlg.UpdateData(false));
        EXPECT_FALSE(IsChecked(h, IDC_T_RADIO_A)) << outside;
        EXPECT_FALSE(IsChecked(h, IDC_T_RADIO_B)) << outside;
        EXPECT_FALSE(IsChecked(h, IDC_T_RADIO_C)) << outside;
        EXPECT_TRUE(IsChecked(h, IDC_T_RADIO_D)) << outside;
        dlg.m_radio = 5;
        EXPECT_TRUE(dlg.UpdateData(true));
        EXPECT_EQ(dlg.m_radio, -1) << outside;
    }

    // A click of the user is read back as its index.
    ::SendMessageW(::GetDlgItem(h, IDC_T_RADIO_B), BM_SETCHECK, BST_CHECKED, 0);
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.m_radio, 1);

    dlg.m_text = "first text";
    dlg.UpdateData(false);
    char buffer[64] = {};
    ::GetDlgItemTextA(h, IDC_T_EDIT, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "first text");
    ::SetDlgItemTextA(h, IDC_T_EDIT, "typed");
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.m_text, "typed");

    // Binding happened once, however often data moved.
    EXPECT_EQ(dlg.m_owner.m_attached, 1);

    // A group that does not start with a radio button, or a missing
    // control, makes the exchange fail without touching anything else.
    dlg.m_radioFirstId = IDC_T_LABEL;
    EXPECT_FALSE(dlg.UpdateData(true));
    dlg.m_radioFirstId = 4242;
    EXPECT_FALSE(dlg.UpdateData(false));
}

TEST(Framework, SubclassingBindsOnceReflectsDrawItemAndUnbindsOnDestroy)
{
    CDialog dlg(IDD_FRAMEWORK_TEST);
    ASSERT_TRUE(dlg.Create(IDD_FRAMEWORK_TEST, nullptr));
    HWND button = dlg.GetDlgItem(IDC_T_OWNERDRAW);
    ASSERT_NE(button, nullptr);
    LONG_PTR originalProc = ::GetWindowLongPtrW(button, GWLP_WNDPROC);

    CCountingButton first;
    EXPECT_TRUE(first.SubclassDlgItem(IDC_T_OWNERDRAW, &dlg));
    EXPECT_EQ(first.m_attached, 1);
    EXPECT_EQ(first.m_hWnd, button);
    EXPECT_EQ(CWnd::FromHandle(button), &first);
    EXPECT_EQ(CWnd::FromHandle(dlg.m_hWnd), &dlg);
    EXPECT_EQ(CWnd::FromHandle(dlg.GetDlgItem(IDC_T_EDIT)), nullptr);
    EXPECT_FALSE(first.SubclassDlgItem(IDC_T_OWNERDRAW, &dlg));   // already bound
    CCountingButton second;
    EXPECT_FALSE(second.SubclassDlgItem(IDC_T_OWNERDRAW, &dlg));  // window taken
    EXPECT_FALSE(second.SubclassDlgItem(4242, &dlg));             // no such control
    EXPECT_EQ(first.m_attached, 1);
    EXPECT_EQ(second.m_attached, 0);

    // A real paint of the owner-drawn button reaches DrawItem via the dialog.
    dlg.ShowWindow(SW_SHOWNA);
    ::InvalidateRect(button, nullptr, TRUE);
    ::UpdateWindow(button);
    Pump();
    EXPECT_GE(first.m_drawn, 1);
    EXPECT_EQ(first.m_lastCtlId, static_cast<UINT>(IDC_T_OWNERDRAW));

    // Unbinding restores the original procedure; binding again works.
    EXPECT_EQ(first.UnsubclassWindow(), button);
    EXPECT_EQ(::GetWindowLongPtrW(button, GWLP_WNDPROC), originalProc);
    EXPECT_EQ(CWnd::FromHandle(button), nullptr);
    int drawnBefore = first.m_drawn;
    ::InvalidateRect(button, nullptr, TRUE);
    ::UpdateWindow(button);
    EXPECT_EQ(first.m_drawn, drawnBefore);
    EXPECT_TRUE(second.SubclassDlgItem(IDC_T_OWNERDRAW, &dlg));
    EXPECT_EQ(second.m_attached, 1);

    // Destroying the dialog unbinds both objects.
    HWND dlgWnd = dlg.m_hWnd;
    ::DestroyWindow(dlgWnd);
    EXPECT_EQ(second.m_hWnd, nullptr);
    EXPECT_EQ(second.m_ncDestroyed, 1);
    EXPECT_EQ(dlg.m_hWnd, nullptr);
    EXPECT_EQ(CDialog::FromChild(dlgWnd), nullptr);
}

namespace {

// Ends itself once it has seen its own posted key in PreTranslateMessage and
// its owner-drawn button has been drawn; or on Escape.
class CModalDlg : public CDialog {
public:
    explicit CModalDlg(HWND owner) : CDialog(IDD_FRAMEWORK_TEST, owner) {}
    bool m_postEscape = false;
    bool m_sawKey = false;
    int m_ticks = 0;
    int m_ownerEnabledDuringLoop = -1;
    CCountingButton m_owner;

    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_T_OWNERDRAW, m_owner); }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        HWND edit = GetDlgItem(IDC_T_EDIT);
        ::PostMessageW(edit, WM_KEYDOWN, m_postEscape ? VK_ESCAPE : 'Q', 0);
        SetTimer(1, 10);
        return TRUE;
    }
    bool PreTranslateMessage(MSG* msg) override
    {
        if (msg->message == WM_KEYDOWN && msg->wParam == 'Q') {
            m_sawKey = true;
            return true;
        }
        return CDialog::PreTranslateMessage(msg);
    }
    void OnTimer(UINT_PTR id) override
    {
        if (id == 1) {
            ++m_ticks;
            if (HWND owner = GetOwner())
                m_ownerEnabledDuringLoop = ::IsWindowEnabled(owner) ? 1 : 0;
            m_owner.Invalidate();
            m_owner.UpdateWindow();
            if (m_sawKey && m_owner.m_drawn > 0)
                EndDialog(42);
            else if (m_ticks > 300)
                EndDialog(-2);   // give up rather than hang the test
        }
        CDialog::OnTimer(id);
    }
};

}  // namespace

TEST(Framework, ModalLoopPreTranslatesAndReturnsTheEndCode)
{
    HWND owner = ::CreateWindowExA(0, "STATIC", "owner", WS_POPUP | WS_VISIBLE, 10, 10, 100, 100, nullptr,
                                   nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);

    CModalDlg dlg(owner);
    EXPECT_EQ(dlg.DoModal(), 42);
    EXPECT_TRUE(dlg.m_sawKey);
    EXPECT_GE(dlg.m_owner.m_drawn, 1);
    EXPECT_EQ(dlg.m_ownerEnabledDuringLoop, 0);
    EXPECT_TRUE(::IsWindowEnabled(owner));
    EXPECT_EQ(dlg.m_hWnd, nullptr);
    EXPECT_EQ(dlg.m_owner.m_hWnd, nullptr);

    // The same object runs again; Escape goes through the dialog
    // processing to the default Cancel.
    CModalDlg again(owner);
    again.m_postEscape = true;
    EXPECT_EQ(again.DoModal(), IDCANCEL);

    // A template that does not exist.
    CDialog missing(4711, owner);
    EXPECT_EQ(missing.DoModal(), -1);
    EXPECT_TRUE(::IsWindowEnabled(owner));

    ::DestroyWindow(owner);
}
