#include "controls/RoundButton.h"

#include <string>

namespace {

// One-pixel solid pens for a run of lines. Selecting a new pen deletes the
// previous one at once; the end puts back the pen the context had before
// and deletes the last one.
class CPenSwitch {
public:
    explicit CPenSwitch(HDC dc) : m_dc(dc) {}
    ~CPenSwitch() {
        if (m_pen) {
            SelectObject(m_dc, m_old);
            DeleteObject(m_pen);
        }
    }
    CPenSwitch(const CPenSwitch&) = delete;
    CPenSwitch& operator=(const CPenSwitch&) = delete;

    // false when the pen cannot be created: the caller skips its lines
    // rather than draw them in the previous colour.
    bool Select(COLORREF colour) {
        HPEN pen = CreatePen(PS_SOLID, 1, colour);
        if (!pen)
            return false;
        HGDIOBJ previous = SelectObject(m_dc, pen);
        if (m_pen)
            DeleteObject(m_pen);
        else
            m_old = previous;
        m_pen = pen;
        return true;
    }

private:
    HDC m_dc;
    HPEN m_pen = nullptr;
    HGDIOBJ m_old = nullptr;
};

// x1 up to but not including x2.
void HorizontalLine(HDC dc, int x1, int x2, int y) {
    MoveToEx(dc, x1, y, nullptr);
    LineTo(dc, x2, y);
}

// The colour on the context at (x, y). A point outside the context's clip
// region (a wide capsule's line ends lie outside the window's elliptic
// region) was never painted: depending on the platform it reads as invalid
// or as whatever the surface held there before. It then gets the colour
// the rim routine gave that pixel, so the visible rest of the line looks as
// it would unclipped.
COLORREF ReadBack(HDC dc, int x, int y, COLORREF drawn) {
    if (!PtVisible(dc, x, y))
        return drawn;
    const COLORREF c = GetPixel(dc, x, y);
    return c == CLR_INVALID ? drawn : c;
}

}  // namespace

void DrawCircle(HDC dc, int cx, int cy, int r, COLORREF colour, BOOL dotted) {
    ForEachCirclePixel(cx, cy, r, dotted != FALSE,
                       [&](int x, int y) { SetPixelV(dc, x, y, colour); });
}

void DrawRightHalf(HDC dc, int cx, int cy, int r, COLORREF a, COLORREF b) {
    ForEachRightHalfPixel(cx, cy, r, [&](int x, int y, double angle) {
        SetPixelV(dc, x, y, AngleColor(angle, a, b));
    });
}

void DrawLeftHalf(HDC dc, int cx, int cy, int r, COLORREF a, COLORREF b) {
    ForEachLeftHalfPixel(cx, cy, r, [&](int x, int y, double angle) {
        SetPixelV(dc, x, y, AngleColor(angle, a, b));
    });
}

CRoundButton::CRoundButton() = default;

CRoundButton::~CRoundButton() = default;

void CRoundButton::PreSubclassWindow() {
    CButton::PreSubclassWindow();

    // OR-ed in, nothing removed: a default push button (type 1) ends up
    // owner-drawn (type 0xB) as well.
    ::SetWindowLongPtr(m_hWnd, GWL_STYLE, ::GetWindowLongPtr(m_hWnd, GWL_STYLE) | BS_OWNERDRAW);

    RECT client = {0, 0, 0, 0};
    ::GetClientRect(m_hWnd, &client);
    m_geo = ComputeRoundGeometry(client.right, client.bottom);
    RECT work = {m_geo.work.left, m_geo.work.top, m_geo.work.right, m_geo.work.bottom};

    ::SetWindowRgn(m_hWnd, nullptr, FALSE);
    m_rgn = CreateEllipticRgnIndirect(&work);
    // Once handed over the region belongs to the window; if it is refused
    // the button stays rectangular.
    if (m_rgn && !::SetWindowRgn(m_hWnd, m_rgn, TRUE)) {
        DeleteObject(m_rgn);
        m_rgn = nullptr;
    }

    POINT corner[2] = {{work.left, work.top}, {work.right, work.bottom}};
    ::ClientToScreen(m_hWnd, &corner[0]);
    ::ClientToScreen(m_hWnd, &corner[1]);
    // A top-level button is placed in screen coordinates.
    HWND parent = (GetStyle() & WS_CHILD) ? ::GetParent(m_hWnd) : nullptr;
    if (parent) {
        ::ScreenToClient(parent, &corner[0]);
        ::ScreenToClient(parent, &corner[1]);
    }
    if (!m_geo.capsule)
        ::MoveWindow(m_hWnd, corner[0].x, corner[0].y, corner[1].x - corner[0].x,
                     corner[1].y - corner[0].y, TRUE);
}

void CRoundButton::DrawItem(LPDRAWITEMSTRUCT dis) {
    HDC dc = dis->hDC;
    const RECT rect = dis->rcItem;
    const UINT state = dis->itemState;
    const DWORD style = GetStyle();
    const RoundGeometry& g = m_geo;
    const bool pressed = (state & ODS_SELECTED) != 0;
    const bool flat = (style & BS_FLAT) != 0;
    const bool focused = (state & ODS_FOCUS) != 0 && m_bDrawFocusRing;
    const RoundRadii rr = ComputeRoundRadii(g.radius, g.capsule, flat, focused);
    const int L = g.leftX;
    const int Ly = g.leftY;
    const int Rx = g.rightX;
    const int Ry = g.rightY;

    const int saved = SaveDC(dc);
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    FillRect(dc, &rect, GetSysColorBrush(COLOR_BTNFACE));

    // Focus mark; a focused round button's rims lie one pixel further in.
    if (rr.focusMark != RoundRadii::kNone)
        DrawCircle(dc, g.cx, g.cy, rr.focusMark, RGB(0, 0, 0), FALSE);

    const COLORREF dkShadow = GetSysColor(COLOR_3DDKSHADOW);
    const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT);
    const COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
    const COLORREF light = GetSysColor(COLOR_3DLIGHT);

    if (flat) {
        // The same rims pressed or not.
        if (g.capsule) {
            CPenSwitch pen(dc);
            int R = rr.rimOuter;
            if (pen.Select(dkShadow)) {
                Arc(dc, 0, 0, 2 * R, 2 * R, L, 0, L, 2 * R);
                Arc(dc, Rx - R, 0, Rx + R, 2 * R, Rx, 2 * R, Rx, 0);
                HorizontalLine(dc, L, Rx, 0);
                HorizontalLine(dc, L, Rx, 2 * R - 1);
            }
            R = rr.rimInner;
            if (pen.Select(highlight)) {
                Arc(dc, 1, 1, 2 * R + 1, 2 * R + 1, L, 1, L, 2 * R);
                Arc(dc, Rx - R, 1, Rx + R, 2 * R + 1, Rx, 2 * R, Rx, 0);
                HorizontalLine(dc, L, Rx, 1);
                HorizontalLine(dc, L, Rx, 2 * R);
            }
        } else {
            DrawCircle(dc, g.cx, g.cy, rr.rimOuter, dkShadow, FALSE);
            DrawCircle(dc, g.cx, g.cy, rr.rimInner, highlight, FALSE);
        }
    } else if (pressed) {
        DrawLeftHalf(dc, L, Ly, rr.rimOuter, dkShadow, highlight);
        DrawRightHalf(dc, Rx, Ry, rr.rimOuter, dkShadow, highlight);
        DrawLeftHalf(dc, L, Ly, rr.rimInner, shadow, light);
        DrawRightHalf(dc, Rx, Ry, rr.rimInner, shadow, light);
        if (g.capsule) {
            const int R = rr.rimOuter;
            CPenSwitch pen(dc);
            if (pen.Select(dkShadow))
                HorizontalLine(dc, L, Rx, 1);
            if (pen.Select(shadow))
                HorizontalLine(dc, L, Rx, 2);
            if (pen.Select(light))
                HorizontalLine(dc, L, Rx, Ly + R - 1);
            if (pen.Select(highlight))
                HorizontalLine(dc, L, Rx, Ly + R);
        }
    } else {
        DrawLeftHalf(dc, L, Ly, rr.rimOuter, highlight, dkShadow);
        DrawRightHalf(dc, Rx, Ry, rr.rimOuter, highlight, dkShadow);
        DrawLeftHalf(dc, L, Ly, rr.rimInner, light, shadow);
        DrawRightHalf(dc, Rx, Ry, rr.rimInner, light, shadow);
        if (g.capsule) {
            // Each line continues the half circle it starts from: its colour
            // is read back from the left half's top or bottom pixel.
            const int R = rr.rimOuter;
            const COLORREF outerTop = AngleColor(-kRoundHalfPi, highlight, dkShadow);
            const COLORREF innerTop = AngleColor(-kRoundHalfPi, light, shadow);
            const COLORREF outerBottom = AngleColor(kRoundHalfPi, highlight, dkShadow);
            const COLORREF innerBottom = AngleColor(kRoundHalfPi, light, shadow);
            CPenSwitch pen(dc);
            if (pen.Select(ReadBack(dc, L, 1, outerTop)))
                HorizontalLine(dc, L, Rx, 1);
            if (pen.Select(ReadBack(dc, L, 2, innerTop)))
                HorizontalLine(dc, L, Rx, 2);
            if (pen.Select(ReadBack(dc, L, Ly + R, outerBottom)))
                HorizontalLine(dc, L, Rx, Ly + R);
            if (pen.Select(ReadBack(dc, L, Ly + R - 1, innerBottom)))
                HorizontalLine(dc, L, Rx, Ly + R - 1);
        }
    }

    const std::string text = GetWindowText();
    if (!text.empty()) {
        const int R = rr.captionClip;
        HRGN clip = g.capsule ? CreateRectRgn(L - R / 2, g.cy - R, Rx + R / 2, g.cy + R)
                              : CreateEllipticRgn(g.cx - R, g.cy - R, g.cx + R, g.cy + R);
        if (clip)
            SelectClipRgn(dc, clip);  // without it the caption is not clipped
        const int len = static_cast<int>(text.size());
        SIZE extent = {0, 0};
        GetTextExtentPoint32A(dc, text.c_str(), len, &extent);
        POINT p = {g.cx - extent.cx / 2, g.cy - extent.cy / 2};
        if (pressed) {
            ++p.x;
            ++p.y;
        }
        SetBkMode(dc, TRANSPARENT);
        if (state & ODS_DISABLED) {
            DrawStateA(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(text.c_str()), 0, p.x, p.y,
                       extent.cx, extent.cy, DST_PREFIXTEXT | DSS_DISABLED);
        } else {
            // Embossed: a highlight copy, the face one pixel up and left.
            const COLORREF before = SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
            TextOutA(dc, p.x, p.y, text.c_str(), len);
            SetTextColor(dc, m_TextColor);
            TextOutA(dc, p.x - 1, p.y - 1, text.c_str(), len);
            SetTextColor(dc, before);
        }
        if (clip) {
            SelectClipRgn(dc, nullptr);
            DeleteObject(clip);
        }
    }

    if (rr.dottedRing != RoundRadii::kNone)
        DrawCircle(dc, g.cx, g.cy, rr.dottedRing, RGB(0, 0, 0), TRUE);

    RestoreDC(dc, saved);
}
