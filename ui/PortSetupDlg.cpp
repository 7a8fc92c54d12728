#include "ui/PortSetupDlg.h"

#include "res/resource.h"
#include "ui/PanelGeometry.h"
#include "ui/Settings.h"

namespace {

CPortSetupDlg::GetAffinityFn g_getAffinity = nullptr;
CPortSetupDlg::SetAffinityFn g_setAffinity = nullptr;

// Confines the whole process to the first processor when it may run on more
// than one. Runs at panel start, before the serial watcher and the download
// worker exist, so every thread of the process inherits it.
void ConfineToFirstProcessor()
{
    CPortSetupDlg::GetAffinityFn get = g_getAffinity ? g_getAffinity : &::GetProcessAffinityMask;
    CPortSetupDlg::SetAffinityFn set = g_setAffinity ? g_setAffinity : &::SetProcessAffinityMask;
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    BOOL ok = get(::GetCurrentProcess(), &processMask, &systemMask);
    panel::AffinityDecision decision = panel::DecideAffinity(ok != FALSE, processMask);
    if (decision.set)
        set(::GetCurrentProcess(), static_cast<DWORD_PTR>(decision.mask));
}

const int kPortIds[panel::kPortCount] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};

}  // namespace

void CPortSetupDlg::SetAffinityApiForTesting(GetAffinityFn get, SetAffinityFn set)
{
    g_getAffinity = get;
    g_setAffinity = set;
}

CPortSetupDlg::CPortSetupDlg(HWND parent) : CDialog(IDD_PORTSETUP, parent)
{
    for (int k = 0; k < panel::kPortCount; ++k)
        MapCommand(static_cast<UINT>(kPortIds[k]), BN_CLICKED, [this, k] { OnPortClicked(k); });
    MapCommand(IDC_SPEED, CBN_SELCHANGE, [this] { OnSpeedChanged(); });
}

CPortSetupDlg::~CPortSetupDlg() = default;

BOOL CPortSetupDlg::Create(HWND owner)
{
    return CDialog::Create(IDD_PORTSETUP, owner);
}

int CPortSetupDlg::GetSpeedSelection() const
{
    if (!m_SpeedList.m_hWnd)
        return -1;
    int selection = m_SpeedList.GetCurSel();
    return selection == CB_ERR ? -1 : selection;
}

void CPortSetupDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SPEED, m_SpeedList);
    DDX_Radio(pDX, IDC_COM1, m_nPortIndex);
}

bool CPortSetupDlg::PreTranslateMessage(MSG* msg)
{
    // Escape never closes the panel.
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE)
        return true;
    return CDialog::PreTranslateMessage(msg);
}

BOOL CPortSetupDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    GetWindowRect(&m_StartRect);
    ConfineToFirstProcessor();
    for (const char* text : panel::kSpeedTexts)
        m_SpeedList.AddString(text);
    m_nPortIndex = settings::ReadPortIndex();
    m_SpeedList.SetCurSel(panel::SpeedIndexForBaud(settings::ReadSpeed()));
    UpdateData(false);
    return TRUE;
}

void CPortSetupDlg::OnWindowPosChanging(WINDOWPOS* pos)
{
    CDialog::OnWindowPosChanging(pos);
    if (!pos)
        return;
    panel::SnapInput in{};
    in.x = pos->x;
    in.y = pos->y;
    in.cx = pos->cx;
    in.cy = pos->cy;
    in.startHeight = m_StartRect.bottom - m_StartRect.top;
    in.docked = m_Docked;
    RECT owner{};
    HWND ownerWnd = GetOwner();
    if (ownerWnd && ::GetWindowRect(ownerWnd, &owner)) {
        in.ownerTop = owner.top;
        in.ownerBottom = owner.bottom;
        in.ownerRight = owner.right;
        panel::SnapResult out = panel::SnapToOwner(in);
        m_Docked = out.docked;
        pos->x = out.x;
    } else if (pos->x || pos->y || pos->cx || pos->cy) {
        // Without an owner there is no edge to snap to.
        m_Docked = 0;
    }
}

// The panel is shown and hidden only by the main window's slide; Enter (the
// template has no default button, so it arrives as IDOK) or a close request
// must not hide it behind the main window's back.
void CPortSetupDlg::OnOK() {}
void CPortSetupDlg::OnCancel() {}

void CPortSetupDlg::OnPortClicked(int portIndex)
{
    m_nPortIndex = portIndex;
    settings::WritePortIndex(portIndex);
}

void CPortSetupDlg::OnSpeedChanged()
{
    int selection = GetSpeedSelection();
    if (selection < 0)
        return;
    settings::WriteSpeed(panel::BaudForSpeedIndex(selection));
}
