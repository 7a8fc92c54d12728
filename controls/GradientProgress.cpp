#include "controls/GradientProgress.h"

#include "controls/MemDC.h"

CGradientProgress::CGradientProgress() : m_clrBkGround(GetSysColor(COLOR_BTNFACE)) {}

CGradientProgress::~CGradientProgress() = default;

void CGradientProgress::SetRange(int lower, int upper) {
    m_nUpper = upper;
    m_nLower = lower;
    m_nPos.store(lower, std::memory_order_relaxed);
    if (m_hWnd)
        ::SendMessage(m_hWnd, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

void CGradientProgress::SetPos(int pos) {
    m_nPos.store(pos, std::memory_order_relaxed);
    if (m_hWnd)
        ::SendMessage(m_hWnd, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

LRESULT CGradientProgress::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_ERASEBKGND:
        return TRUE;  // the paint covers every pixel
    case WM_PAINT:
        if (wParam) {
            // Common-control convention: paint into the given context.
            Paint(reinterpret_cast<HDC>(wParam));
        } else {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(m_hWnd, &ps);
            if (dc)
                Paint(dc);
            EndPaint(m_hWnd, &ps);
        }
        return 0;
    case WM_PRINTCLIENT:
        Paint(reinterpret_cast<HDC>(wParam));
        return 0;
    default:
        return CProgressCtrl::WindowProc(msg, wParam, lParam);
    }
}

void CGradientProgress::Paint(HDC dc) {
    RECT rc;
    ::GetClientRect(m_hWnd, &rc);
    GradientBarState bar;
    bar.lower = m_nLower;
    bar.upper = m_nUpper;
    bar.position = m_nPos.load(std::memory_order_relaxed);
    bar.start = m_clrStart;
    bar.end = m_clrEnd;
    bar.background = m_clrBkGround;
    bar.showText = m_bShowText != FALSE;
    const GradientPaintPlan plan = PlanGradientPaint(bar, rc.right, rc.bottom,
                                                     GetSysColor(COLOR_BTNFACE));
    if (!plan.offScreen) {
        // The empty bar: one fill of the button face, straight on dc.
        for (const BarFill& f : plan.fills) {
            const RECT r = {f.rect.left, f.rect.top, f.rect.right, f.rect.bottom};
            HBRUSH brush = CreateSolidBrush(f.colour);
            if (brush) {
                FillRect(dc, &r, brush);
                DeleteObject(brush);
            }
        }
        return;
    }

    DrawGradient(dc, plan);

    if (plan.drawText) {
        // After the copy, straight onto dc, in whatever font dc holds.
        const int saved = SaveDC(dc);
        SetTextColor(dc, m_clrText);
        SetBkMode(dc, TRANSPARENT);
        DrawTextA(dc, plan.text.c_str(), static_cast<int>(plan.text.size()), &rc,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        RestoreDC(dc, saved);
    }
}

void CGradientProgress::DrawGradient(HDC dc, const GradientPaintPlan& plan) {
    CMemDC mem(dc);
    for (const BarFill& f : plan.fills) {
        // One brush per band, deleted at once: at most 256 brushes in turn,
        // never more than one alive.
        const RECT r = {f.rect.left, f.rect.top, f.rect.right, f.rect.bottom};
        HBRUSH brush = CreateSolidBrush(f.colour);
        if (brush) {
            FillRect(mem, &r, brush);
            DeleteObject(brush);
        }
    }
}  // ~CMemDC copies the clip box to dc
