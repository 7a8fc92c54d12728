// Owner-drawn round or capsule-shaped push button with shaded rims, an
// embossed caption and, on round buttons, circular focus marks.
//
//   CRoundButton m_btnFind;                   // member of the dialog
//   DDX_Control(pDX, IDC_FIND, m_btnFind);    // attach: style, shape, region
//   m_btnFind.m_TextColor = 0x0000009B;       // optional
//
// The owning dialog reflects WM_DRAWITEM to DrawItem (the framework does).
// Wider than tall gives a capsule; otherwise the button is cut to a square
// and drawn round. The shape is fixed when the button is attached.
#pragma once

#include "controls/RoundMath.h"
#include "framework/Ctrl.h"

class CRoundButton : public CButton {
public:
    CRoundButton();
    ~CRoundButton() override;

    // Caption face colour, 0x00BBGGRR.
    COLORREF m_TextColor = 0x00FF0000;
    // Round buttons draw their focus marks while non-zero.
    BOOL m_bDrawFocusRing = TRUE;

    // Geometry computed at attach (client coordinates of the button).
    const RoundGeometry& GetGeometry() const { return m_geo; }
    bool IsCapsule() const { return m_geo.capsule; }
    // The elliptic region handed to the window; owned by the window.
    HRGN GetRegion() const { return m_rgn; }

    void PreSubclassWindow() override;
    void DrawItem(LPDRAWITEMSTRUCT dis) override;

private:
    HRGN m_rgn = nullptr;
    RoundGeometry m_geo = {false, {0, 0, 0, 0}, 0, 0, 0, 0, 0, 0, 0};
};

// The rim routines; every pixel is set with SetPixelV.
// A full circle in one colour; dotted paints every other midpoint step.
void DrawCircle(HDC dc, int cx, int cy, int r, COLORREF colour, BOOL dotted);
// Half circles whose pixels each take AngleColor(their angle, a, b).
void DrawRightHalf(HDC dc, int cx, int cy, int r, COLORREF a, COLORREF b);
void DrawLeftHalf(HDC dc, int cx, int cy, int r, COLORREF a, COLORREF b);
