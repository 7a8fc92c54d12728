// The main window's port setup panel: it slides out of the right edge and,
// once docked, follows the window when it moves.
#include "ui/DownloadDlg.h"

#include "ui/PanelGeometry.h"

void CDownloadDlg::OnPortSetup()
{
    m_bPanelShown = !m_bPanelShown;
    m_SlideOffset = 0;
    SetTimer(kTimerSlide, 1);
}

bool CDownloadDlg::SlidePanelStep()
{
    RECT main;
    GetWindowRect(&main);
    int w = m_PanelRect.right;
    int h = m_PanelRect.bottom;
    panel::SlideResult step = panel::SlideStep(w, m_SlideOffset, m_bPanelShown, main.right, main.top);
    m_SlideOffset = step.newOffset;
    m_Panel.SetWindowPos(m_hWnd, step.x, step.y, w, h, SWP_NOOWNERZORDER | SWP_SHOWWINDOW | SWP_NOACTIVATE);
    if (!m_bPanelShown && step.last)
        m_Panel.ShowWindow(SW_HIDE);
    return step.last;
}

void CDownloadDlg::OnWindowPosChanged(WINDOWPOS* pos)
{
    CDialog::OnWindowPosChanged(pos);
    int x = pos->x, y = pos->y;
    if (pos->flags & SWP_NOMOVE) {
        // A size or z-order change carries no position: use the real one.
        RECT r;
        GetWindowRect(&r);
        x = r.left;
        y = r.top;
    }
    FollowMainWindow(x, y);
}

void CDownloadDlg::FollowMainWindow(int x, int y)
{
    int dy = y - m_LastY;
    if (m_Panel.m_hWnd && m_Panel.m_Docked) {
        RECT p;
        m_Panel.GetWindowRect(&p);
        m_Panel.MoveWindow(x + (m_MainRect.right - m_MainRect.left), p.top + dy, p.right - p.left, p.bottom - p.top,
                           true);
    }
    m_LastX = x;
    m_LastY = y;
}
