// Progress bar painted as a colour gradient, bound to a standard progress
// control (msctls_progress32). The control underneath keeps receiving the
// range and position messages; this class does all the painting.
//
//   CGradientProgress m_Progress;             // member of the dialog
//   DDX_Control(pDX, IDC_PROGRESS, m_Progress);
//   m_Progress.SetRange(0, 100);
//   m_Progress.m_clrStart = 0xFF0000; ...     // colours are plain fields
//   m_Progress.SetPos(37);                    // any thread
#pragma once

#include <atomic>

#include "controls/GradientMath.h"
#include "framework/Ctrl.h"

class CGradientProgress : public CProgressCtrl {
public:
    CGradientProgress();
    ~CGradientProgress() override;

    // Sets the range and moves the position to its lower end, then tells
    // the control underneath (each end cut to 16 bits).
    void SetRange(int lower, int upper);
    // Sets the position, then sends PBM_SETPOS and returns once the window's
    // thread has handled it; callable from any thread.
    void SetPos(int pos);

    int GetLower() const { return m_nLower; }
    int GetUpper() const { return m_nUpper; }
    int GetPosition() const { return m_nPos.load(std::memory_order_relaxed); }

    // Paints the whole client area into dc as a WM_PAINT does. Also the
    // WM_PRINTCLIENT answer, so the bar prints and can be captured.
    void Paint(HDC dc);

    // Colours in 0x00BBGGRR and the text flag, set directly by the owner.
    COLORREF m_clrStart = 0x0000FF;   // first band
    COLORREF m_clrEnd = 0xFF0000;     // the bands run towards it
    COLORREF m_clrBkGround;           // unfilled part; button face at construction
    COLORREF m_clrText = 0xFFFFFF;    // percentage text
    BOOL m_bShowText = FALSE;         // draw the percentage when non-zero

protected:
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    int m_nLower = 0;
    int m_nUpper = 100;
    // Written by SetPos on the download worker's thread, read by the paint
    // on the window's thread.
    std::atomic<int> m_nPos{0};

    // Draws the bands and the background off-screen and copies them to dc.
    void DrawGradient(HDC dc, const GradientPaintPlan& plan);
};
