// The Win32 controls on real windows: round buttons and the gradient bar are
// attached to standard controls of a parent window, drawn into 32-bit DIB
// sections and checked pixel by pixel. The images are saved as BMP files
// for a person to look at.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "controls/GradientProgress.h"
#include "controls/MemDC.h"
#include "controls/RoundButton.h"

#ifndef ZV_CONTROLS_ARTIFACTS
#define ZV_CONTROLS_ARTIFACTS "."
#endif

namespace {

typedef std::pair<int, int> Pt;

const COLORREF kSentinel = RGB(255, 0, 255);  // never drawn by the controls

// A 32-bit top-down DIB section selected into a memory context.
class Canvas {
public:
    Canvas(int width, int height, COLORREF fill = kSentinel) : w(width), h(height) {
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bi.bmiHeader.biWidth = width;
        bi.bmiHeader.biHeight = -height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void* pixels = nullptr;
        m_bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &pixels, nullptr, 0);
        bits = static_cast<std::uint32_t*>(pixels);
        dc = CreateCompatibleDC(nullptr);
        m_old = SelectObject(dc, m_bitmap);
        Fill(fill);
    }
    ~Canvas() {
        SelectObject(dc, m_old);
        DeleteDC(dc);
        DeleteObject(m_bitmap);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    bool Valid() const { return bits != nullptr && dc != nullptr; }

    void Fill(COLORREF c) {
        GdiFlush();
        const std::uint32_t px = (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
        for (int i = 0; i < w * h; ++i)
            bits[i] = px;
    }
    COLORREF At(int x, int y) const {
        const std::uint32_t p = bits[y * w + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    std::set<Pt> PixelsOf(COLORREF c) const {
        std::set<Pt> s;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (At(x, y) == c)
                    s.insert(Pt(x, y));
        return s;
    }
    bool SameAs(const Canvas& o) const {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (At(x, y) != o.At(x, y))
                    return false;
        return w == o.w && h == o.h;
    }

    // Saves the image as <artifacts>/<name>.bmp; silently skipped when the
    // directory is not there.
    void Save(const std::string& name) const {
        GdiFlush();
        const std::string path = std::string(ZV_CONTROLS_ARTIFACTS) + "/" + name + ".bmp";
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f)
            return;
        BITMAPFILEHEADER fh = {};
        BITMAPINFOHEADER ih = {};
        const DWORD size = static_cast<DWORD>(w * h * 4);
        fh.bfType = 0x4D42;
        fh.bfOffBits = sizeof fh + sizeof ih;
        fh.bfSize = fh.bfOffBits + size;
        ih.biSize = sizeof ih;
        ih.biWidth = w;
        ih.biHeight = -h;
        ih.biPlanes = 1;
        ih.biBitCount = 32;
        ih.biCompression = BI_RGB;
        std::fwrite(&fh, sizeof fh, 1, f);
        std::fwrite(&ih, sizeof ih, 1, f);
        std::fwrite(bits, 1, size, f);
        std::fclose(f);
    }

    int w, h;
    HDC dc = nullptr;
    std::uint32_t* bits = nullptr;

private:
    HBITMAP m_bitmap = nullptr;
    HGDIOBJ m_old = nullptr;
};

LRESULT CALLBACK ParentProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

// Rim pixels as the four half circles leave them (last one wins).
std::map<Pt, COLORREF> ShadedRims(const RoundGeometry& g, int outer, COLORREF a1, COLORREF b1,
                                  COLORREF a2, COLORREF b2) {
    std::map<Pt, COLORREF> m;
    auto put = [&](COLORREF a, COLORREF b) {
        return [&m, a, b](int x, int y, double angle) { m[Pt(x, y)] = AngleColor(angle, a, b); };
    };
    ForEachLeftHalfPixel(g.leftX, g.leftY, outer, put(a1, b1));
    ForEachRightHalfPixel(g.rightX, g.rightY, outer, put(a1, b1));
    ForEachLeftHalfPixel(g.leftX, g.leftY, outer - 1, put(a2, b2));
    ForEachRightHalfPixel(g.rightX, g.rightY, outer - 1, put(a2, b2));
    return m;
}

std::vector<Pt> CircleAt(int cx, int cy, int r, bool dotted) {
    std::vector<Pt> v;
    ForEachCirclePixel(cx, cy, r, dotted, [&](int x, int y) { v.push_back(Pt(x, y)); });
    return v;
}

std::set<Pt> Shifted(const std::set<Pt>& s, int dx, int dy) {
    std::set<Pt> out;
    for (const Pt& p : s)
        out.insert(Pt(p.first + dx, p.second + dy));
    return out;
}

class ControlsGdi : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = ParentProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = L"ZvControlsTestParent";
        RegisterClassW(&wc);  // fails harmlessly on the second test
        // A popup without caption: wine leaves it to no window manager, so
        // showing and destroying it does not wait for one.
        m_parent = CreateWindowExW(0, wc.lpszClassName, L"controls", WS_POPUP, 0, 0,
                                   420, 240, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(m_parent, nullptr);
        // The framework reflects WM_DRAWITEM from a bound parent.
        ASSERT_TRUE(m_parentWnd.SubclassWindow(m_parent));
        m_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    }
    void TearDown() override {
        if (m_parent)
            DestroyWindow(m_parent);
    }

    HWND Child(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h,
               int id) {
        HWND hWnd = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h,
                                    m_parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                    GetModuleHandleW(nullptr), nullptr);
        if (hWnd)
            SendMessageW(hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
        return hWnd;
    }

    // One owner-draw notification for the button, drawn into a canvas the
    // size of its client area, as the button's own paint would deliver it.
    void Draw(CRoundButton& btn, UINT state, Canvas& canvas) {
        canvas.Fill(kSentinel);
        RECT rc;
        GetClientRect(btn.m_hWnd, &rc);
        HGDIOBJ oldFont = SelectObject(canvas.dc, m_font);
        DRAWITEMSTRUCT dis = {};
        dis.CtlType = ODT_BUTTON;
        dis.CtlID = static_cast<UINT>(GetDlgCtrlID(btn.m_hWnd));
        dis.itemAction = ODA_DRAWENTIRE;
        dis.itemState = state;
        dis.hwndItem = btn.m_hWnd;
        dis.hDC = canvas.dc;
        dis.rcItem = rc;
        btn.DrawItem(&dis);
        SelectObject(canvas.dc, oldFont);
        GdiFlush();
    }

    HWND m_parent = nullptr;
    CWnd m_parentWnd;
    HFONT m_font = nullptr;
};

}  // namespace

TEST_F(ControlsGdi, RoundButtonAttach) {
    CRoundButton capsule, tall, square, flat;
    HWND hCapsule = Child(WC_BUTTONW, L"OK", BS_DEFPUSHBUTTON, 10, 10, 75, 23, 1001);
    HWND hTall = Child(WC_BUTTONW, L"", BS_PUSHBUTTON, 200, 40, 20, 30, 1002);
    HWND hSquare = Child(WC_BUTTONW, L"", BS_PUSHBUTTON, 250, 40, 24, 24, 1003);
    HWND hFlat = Child(WC_BUTTONW, L"", BS_PUSHBUTTON | BS_FLAT, 300, 40, 30, 20, 1004);
    ASSERT_TRUE(hCapsule && hTall && hSquare && hFlat);
    ASSERT_TRUE(capsule.SubclassWindow(hCapsule));
    ASSERT_TRUE(tall.SubclassWindow(hTall));
    ASSERT_TRUE(square.SubclassWindow(hSquare));
    ASSERT_TRUE(flat.SubclassWindow(hFlat));

    // BS_OWNERDRAW is OR-ed in: the default push button becomes owner-drawn
    // too, and other style bits stay.
    EXPECT_EQ(GetWindowLongW(hCapsule, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    EXPECT_EQ(GetWindowLongW(hTall, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    EXPECT_NE(GetWindowLongW(hFlat, GWL_STYLE) & BS_FLAT, 0);
    EXPECT_NE(GetWindowLongW(hFlat, GWL_STYLE) & WS_VISIBLE, 0);

    const RoundGeometry& g = capsule.GetGeometry();
    EXPECT_TRUE(g.capsule);
    EXPECT_EQ(g.cx, 37);
    EXPECT_EQ(g.cy, 11);
    EXPECT_EQ(g.radius, 10);
    EXPECT_EQ(g.rightX, 64);
    EXPECT_TRUE(flat.IsCapsule());
    EXPECT_EQ(flat.GetGeometry().rightX, 20);

    // The taller-than-wide button became a 20 x 20 square at the same
    // top-left corner; the others kept their places and sizes.
    auto placed = [&](HWND h) {
        RECT r;
        GetWindowRect(h, &r);
        MapWindowPoints(nullptr, m_parent, reinterpret_cast<POINT*>(&r), 2);
        return r;
    };
    RECT r = placed(hTall);
    EXPECT_EQ(r.left, 200);
    EXPECT_EQ(r.top, 40);
    EXPECT_EQ(r.right, 220);
    EXPECT_EQ(r.bottom, 60);
    EXPECT_FALSE(tall.IsCapsule());
    EXPECT_EQ(tall.GetGeometry().radius, 9);
    r = placed(hSquare);
    EXPECT_EQ(r.right - r.left, 24);
    EXPECT_EQ(square.GetGeometry().radius, 11);
    r = placed(hCapsule);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.right - r.left, 75);
    EXPECT_EQ(r.bottom - r.top, 23);

    // Every button, the capsule included, gets the inscribed ellipse as its
    // window region: the corners are cut away.
    HRGN rgn = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(hCapsule, rgn), ERROR);
    EXPECT_TRUE(PtInRegion(rgn, 37, 11));
    EXPECT_TRUE(PtInRegion(rgn, 3, 11));
    EXPECT_FALSE(PtInRegion(rgn, 1, 1));
    EXPECT_FALSE(PtInRegion(rgn, 73, 21));
    ASSERT_NE(GetWindowRgn(hTall, rgn), ERROR);
    EXPECT_TRUE(PtInRegion(rgn, 10, 10));
    EXPECT_FALSE(PtInRegion(rgn, 10, 25)) << "the region is the square's circle";
    DeleteObject(rgn);
}

TEST_F(ControlsGdi, RoundButtonFocusMarksAndRims) {
    CRoundButton btn;
    HWND h = Child(WC_BUTTONW, L"", BS_PUSHBUTTON, 10, 10, 24, 24, 1001);
    ASSERT_TRUE(h && btn.SubclassWindow(h));
    const RoundGeometry& g = btn.GetGeometry();
    ASSERT_EQ(g.radius, 11);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF hi = GetSysColor(COLOR_BTNHIGHLIGHT);
    const COLORREF dk = GetSysColor(COLOR_3DDKSHADOW);
    const COLORREF li = GetSysColor(COLOR_3DLIGHT);
    const COLORREF sh = GetSysColor(COLOR_BTNSHADOW);

    Canvas c(24, 24);
    ASSERT_TRUE(c.Valid());

    // Raised, focused: black circle at r, rims at r-1 and r-2, a dotted
    // black ring at r-3 whose first dot is the step at y = 0.
    Draw(btn, ODS_FOCUS, c);
    c.Save("round_focused");
    EXPECT_EQ(c.PixelsOf(kSentinel).size(), 0u) << "every pixel painted";
    EXPECT_EQ(c.At(0, 0), face);
    // The rims come after the mark, about a left centre one pixel left of
    // the centre, so the left half at r-1 covers the mark's leftmost pixels.
    const std::map<Pt, COLORREF> rims = ShadedRims(g, 10, hi, dk, li, sh);
    std::set<Pt> black;
    for (const Pt& p : CircleAt(g.cx, g.cy, 11, false)) {
        if (!rims.count(p)) {
            EXPECT_EQ(c.At(p.first, p.second), 0u) << p.first << "," << p.second;
            black.insert(p);
        }
    }
    EXPECT_GT(black.size(), 30u);
    for (const auto& px : rims)
        EXPECT_EQ(c.At(px.first.first, px.first.second), px.second)
            << px.first.first << "," << px.first.second;
    EXPECT_EQ(c.At(g.cx + 8, g.cy), 0u) << "first dot";
    const std::vector<Pt> dots = CircleAt(g.cx, g.cy, 8, true);
    const std::vector<Pt> ring = CircleAt(g.cx, g.cy, 8, false);
    const std::set<Pt> dotSet(dots.begin(), dots.end());
    int gaps = 0;
    for (const Pt& p : ring) {
        if (dotSet.count(p)) {
            EXPECT_EQ(c.At(p.first, p.second), 0u) << p.first << "," << p.second;
        } else {
            EXPECT_EQ(c.At(p.first, p.second), face) << p.first << "," << p.second;
            ++gaps;
        }
    }
    EXPECT_GT(gaps, 8) << "a dotted ring, not a solid one";
    EXPECT_EQ(c.At(g.cx, g.cy), face);

    // Raised, not focused: rims at r and r-1, no black circle.
    Draw(btn, 0, c);
    c.Save("round_raised");
    for (const auto& px : ShadedRims(g, 11, hi, dk, li, sh))
        EXPECT_EQ(c.At(px.first.first, px.first.second), px.second);
    EXPECT_EQ(c.At(g.cx + 8, g.cy), face);
    // The light comes from the top left: the top of the rim is the
    // highlight blend of angle -pi/2.
    EXPECT_EQ(c.At(g.leftX, g.cy - 11), AngleColor(-1.570796327, hi, dk));

    // Pressed: the shading turns over.
    Draw(btn, ODS_SELECTED, c);
    c.Save("round_pressed");
    for (const auto& px : ShadedRims(g, 11, dk, hi, sh, li))
        EXPECT_EQ(c.At(px.first.first, px.first.second), px.second);

    // Without the focus ring flag a focused button draws no marks.
    Canvas plain(24, 24);
    Draw(btn, 0, plain);
    btn.m_bDrawFocusRing = FALSE;
    Draw(btn, ODS_FOCUS, c);
    EXPECT_TRUE(c.SameAs(plain));
}

TEST_F(ControlsGdi, CapsuleCaptionRimsAndLines) {
    CRoundButton btn;
    HWND h = Child(WC_BUTTONW, L"Find", BS_PUSHBUTTON, 10, 10, 75, 23, 1001);
    ASSERT_TRUE(h && btn.SubclassWindow(h));
    btn.m_TextColor = 0x0000009B;
    const RoundGeometry& g = btn.GetGeometry();
    ASSERT_TRUE(g.capsule);
    const int R = g.radius, L = g.leftX, Rx = g.rightX, Ly = g.leftY;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF hi = GetSysColor(COLOR_BTNHIGHLIGHT);
    const COLORREF dk = GetSysColor(COLOR_3DDKSHADOW);
    const COLORREF li = GetSysColor(COLOR_3DLIGHT);
    const COLORREF sh = GetSysColor(COLOR_BTNSHADOW);

    Canvas raised(75, 23), pressed(75, 23), focused(75, 23), disabled(75, 23);
    ASSERT_TRUE(raised.Valid());
    Draw(btn, 0, raised);
    raised.Save("capsule_raised");
    Draw(btn, ODS_SELECTED, pressed);
    pressed.Save("capsule_pressed");
    Draw(btn, ODS_FOCUS, focused);
    focused.Save("capsule_focused");
    Draw(btn, ODS_DISABLED, disabled);
    disabled.Save("capsule_disabled");

    EXPECT_EQ(raised.PixelsOf(kSentinel).size(), 0u);
    // Rims: the half circles about the two end centres.
    for (const auto& px : ShadedRims(g, R, hi, dk, li, sh))
        EXPECT_EQ(raised.At(px.first.first, px.first.second), px.second)
            << px.first.first << "," << px.first.second;
    // Pressed lines start on the left half circles' top and bottom pixels
    // and repaint them in their own colours (checked below).
    for (const auto& px : ShadedRims(g, R, dk, hi, sh, li)) {
        const int y = px.first.second;
        if (px.first.first == L && (y == 1 || y == 2 || y == Ly + R - 1 || y == Ly + R))
            continue;
        EXPECT_EQ(pressed.At(px.first.first, px.first.second), px.second)
            << px.first.first << "," << px.first.second;
    }
    // Raised lines continue the left half circles' top and bottom pixels.
    const COLORREF top = AngleColor(-1.570796327, hi, dk);
    const COLORREF top2 = AngleColor(-1.570796327, li, sh);
    const COLORREF bottom = AngleColor(1.570796327, hi, dk);
    const COLORREF bottom2 = AngleColor(1.570796327, li, sh);
    for (int x = L; x < Rx; ++x) {
        EXPECT_EQ(raised.At(x, 1), top) << x;
        EXPECT_EQ(raised.At(x, 2), top2) << x;
        EXPECT_EQ(raised.At(x, Ly + R), bottom) << x;
        EXPECT_EQ(raised.At(x, Ly + R - 1), bottom2) << x;
        EXPECT_EQ(pressed.At(x, 1), dk) << x;
        EXPECT_EQ(pressed.At(x, 2), sh) << x;
        EXPECT_EQ(pressed.At(x, Ly + R - 1), li) << x;
        EXPECT_EQ(pressed.At(x, Ly + R), hi) << x;
    }
    EXPECT_EQ(raised.At(0, 0), face);

    // Caption: embossed face in the text colour, moved by (1, 1) when
    // pressed, and nowhere near the rims.
    const std::set<Pt> capUp = raised.PixelsOf(btn.m_TextColor);
    const std::set<Pt> capDown = pressed.PixelsOf(btn.m_TextColor);
    EXPECT_GT(capUp.size(), 15u);
    EXPECT_EQ(capDown, Shifted(capUp, 1, 1));
    for (const Pt& p : capUp) {
        EXPECT_GT(p.first, L);
        EXPECT_LT(p.first, Rx);
        EXPECT_GT(p.second, 2);
        EXPECT_LT(p.second, Ly + R - 1);
    }
    // The highlight copy lies one pixel right and down of the face.
    std::set<Pt> emboss;
    for (const Pt& p : capUp)
        if (!capUp.count(Pt(p.first + 1, p.second + 1)))
            emboss.insert(Pt(p.first + 1, p.second + 1));
    for (const Pt& p : emboss)
        EXPECT_EQ(raised.At(p.first, p.second), hi) << p.first << "," << p.second;

    // A capsule never shows focus marks.
    EXPECT_TRUE(focused.SameAs(raised));

    // Disabled: no face-coloured caption, but the etched text is there.
    EXPECT_TRUE(disabled.PixelsOf(btn.m_TextColor).empty());
    int etched = 0;
    for (int y = 3; y < Ly + R - 1; ++y)
        for (int x = L + 1; x < Rx; ++x)
            if (disabled.At(x, y) != face)
                ++etched;
    EXPECT_GT(etched, 15);
}

TEST_F(ControlsGdi, WideCapsuleLinesUnderTheWindowRegion) {
    // More than one and a half times as wide as tall: the raised lines
    // start at points outside the elliptic window region, where the colour
    // cannot be read back. The visible middle of each line must still
    // carry the colour of the rim it continues.
    CRoundButton btn;
    HWND h = Child(WC_BUTTONW, L"", BS_PUSHBUTTON, 10, 10, 120, 23, 1001);
    ASSERT_TRUE(h && btn.SubclassWindow(h));
    const RoundGeometry& g = btn.GetGeometry();
    const COLORREF hi = GetSysColor(COLOR_BTNHIGHLIGHT);
    const COLORREF dk = GetSysColor(COLOR_3DDKSHADOW);
    const COLORREF li = GetSysColor(COLOR_3DLIGHT);
    const COLORREF sh = GetSysColor(COLOR_BTNSHADOW);

    Canvas c(120, 23);
    HRGN ellipse = CreateEllipticRgn(0, 0, 120, 23);  // as the window's region
    SelectClipRgn(c.dc, ellipse);
    DeleteObject(ellipse);
    ASSERT_FALSE(PtVisible(c.dc, g.leftX, 1));
    Draw(btn, 0, c);
    c.Save("capsule_wide_clipped");
    const int mid = g.cx;
    EXPECT_EQ(c.At(mid, 1), AngleColor(-1.570796327, hi, dk));
    EXPECT_EQ(c.At(mid, 2), AngleColor(-1.570796327, li, sh));
    EXPECT_EQ(c.At(mid, g.leftY + g.radius), AngleColor(1.570796327, hi, dk));
    EXPECT_EQ(c.At(mid, g.leftY + g.radius - 1), AngleColor(1.570796327, li, sh));
}

TEST_F(ControlsGdi, FlatButtons) {
    CRoundButton round, capsule;
    HWND h1 = Child(WC_BUTTONW, L"", BS_PUSHBUTTON | BS_FLAT, 10, 10, 24, 24, 1001);
    HWND h2 = Child(WC_BUTTONW, L"Go", BS_PUSHBUTTON | BS_FLAT, 50, 10, 60, 20, 1002);
    ASSERT_TRUE(h1 && round.SubclassWindow(h1));
    ASSERT_TRUE(h2 && capsule.SubclassWindow(h2));
    const RoundGeometry& g = round.GetGeometry();
    const COLORREF hi = GetSysColor(COLOR_BTNHIGHLIGHT);
    const COLORREF dk = GetSysColor(COLOR_3DDKSHADOW);

    Canvas up(24, 24), down(24, 24);
    Draw(round, 0, up);
    up.Save("round_flat");
    Draw(round, ODS_SELECTED, down);
    // The same rims pressed or not; with no caption nothing moves at all.
    EXPECT_TRUE(up.SameAs(down));
    std::map<Pt, COLORREF> rims;
    for (const Pt& p : CircleAt(g.cx, g.cy, 11, false))
        rims[p] = dk;
    for (const Pt& p : CircleAt(g.cx, g.cy, 10, false))
        rims[p] = hi;
    for (const auto& px : rims)
        EXPECT_EQ(up.At(px.first.first, px.first.second), px.second);

    // Focused flat: mark at r, rims at r-1 and r-2, dotted ring at r-5.
    Draw(round, ODS_FOCUS, up);
    up.Save("round_flat_focused");
    for (const Pt& p : CircleAt(g.cx, g.cy, 11, false))
        EXPECT_EQ(up.At(p.first, p.second), 0u);
    for (const Pt& p : CircleAt(g.cx, g.cy, 6, true))
        EXPECT_EQ(up.At(p.first, p.second), 0u);
    EXPECT_EQ(up.At(g.cx + 8, g.cy), GetSysColor(COLOR_BTNFACE)) << "no ring at r-3";

    // Flat capsule: outline lines in dark shadow, then highlight inside.
    const RoundGeometry& cg = capsule.GetGeometry();
    Canvas cup(60, 20), cdown(60, 20);
    Draw(capsule, 0, cup);
    cup.Save("capsule_flat");
    Draw(capsule, ODS_SELECTED, cdown);
    cdown.Save("capsule_flat_pressed");
    for (int x = cg.leftX; x < cg.rightX; ++x) {
        EXPECT_EQ(cup.At(x, 0), dk) << x;
        EXPECT_EQ(cup.At(x, 1), hi) << x;
        EXPECT_EQ(cup.At(x, 2 * cg.radius - 1), dk) << x;
        EXPECT_EQ(cup.At(x, 2 * cg.radius - 2), hi) << x;
        EXPECT_EQ(cdown.At(x, 0), dk) << x;
    }
    const std::set<Pt> capUp = cup.PixelsOf(capsule.m_TextColor);
    EXPECT_FALSE(capUp.empty());
    EXPECT_EQ(cdown.PixelsOf(capsule.m_TextColor), Shifted(capUp, 1, 1));
}

TEST_F(ControlsGdi, RealPaintReachesDrawItem) {
    CRoundButton btn;
    HWND h = Child(WC_BUTTONW, L"", BS_PUSHBUTTON, 20, 20, 24, 24, 1001);
    ASSERT_TRUE(h && btn.SubclassWindow(h));
    ShowWindow(m_parent, SW_SHOWNOACTIVATE);
    UpdateWindow(m_parent);
    InvalidateRect(h, nullptr, TRUE);
    UpdateWindow(h);
    const RoundGeometry& g = btn.GetGeometry();
    HDC dc = GetDC(h);
    ASSERT_NE(dc, nullptr);
    // Inside the region: the owner-drawn face and the rim's top pixel.
    const COLORREF centre = GetPixel(dc, g.cx, g.cy);
    const COLORREF rimTop = GetPixel(dc, g.leftX, g.cy - g.radius);
    ReleaseDC(h, dc);
    EXPECT_EQ(centre, GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(rimTop, AngleColor(-1.570796327, GetSysColor(COLOR_BTNHIGHLIGHT),
                                 GetSysColor(COLOR_3DDKSHADOW)));
}

TEST(MemDC, CopiesTheClipBoxInTargetCoordinates) {
    Canvas c(100, 50);
    ASSERT_TRUE(c.Valid());
    IntersectClipRect(c.dc, 10, 5, 60, 30);
    {
        CMemDC mem(c.dc);
        EXPECT_TRUE(mem.IsOffScreen());
        EXPECT_NE(mem.GetSafeHdc(), c.dc);
        EXPECT_EQ(mem.GetRect().left, 10);
        EXPECT_EQ(mem.GetRect().top, 5);
        EXPECT_EQ(mem.GetRect().right, 60);
        EXPECT_EQ(mem.GetRect().bottom, 30);
        HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
        RECT all = {0, 0, 100, 50};
        FillRect(mem, &all, red);
        DeleteObject(red);
        SetPixelV(mem, 10, 5, RGB(0, 255, 0));
        SetPixelV(mem, 59, 29, RGB(0, 0, 255));
        GdiFlush();
        EXPECT_EQ(c.At(20, 10), kSentinel) << "nothing reaches the target before the end";
    }
    GdiFlush();
    c.Save("memdc");
    EXPECT_EQ(c.At(10, 5), RGB(0, 255, 0));
    EXPECT_EQ(c.At(59, 29), RGB(0, 0, 255));
    EXPECT_EQ(c.At(30, 20), RGB(255, 0, 0));
    EXPECT_EQ(c.At(9, 5), kSentinel);
    EXPECT_EQ(c.At(60, 29), kSentinel);
    EXPECT_EQ(c.At(30, 30), kSentinel);
    EXPECT_EQ(c.At(0, 0), kSentinel);
    EXPECT_EQ(c.PixelsOf(RGB(255, 0, 0)).size() + 2, 50u * 25u);
}

namespace {

// The bar drawn as its paint does, into a canvas of its client size.
void Render(CGradientProgress& bar, Canvas& c) {
    c.Fill(kSentinel);
    SendMessageW(bar.m_hWnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(c.dc), PRF_CLIENT);
    GdiFlush();
}

}  // namespace

TEST_F(ControlsGdi, GradientProgressBar) {
    CGradientProgress bar;
    EXPECT_EQ(bar.m_clrStart, 0x0000FFu);
    EXPECT_EQ(bar.m_clrEnd, 0xFF0000u);
    EXPECT_EQ(bar.m_clrBkGround, GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(bar.m_clrText, 0xFFFFFFu);
    EXPECT_EQ(bar.m_bShowText, FALSE);
    EXPECT_EQ(bar.GetLower(), 0);
    EXPECT_EQ(bar.GetUpper(), 100);
    EXPECT_EQ(bar.GetPosition(), 0);

    HWND h = Child(PROGRESS_CLASSW, L"", PBS_SMOOTH, 10, 10, 200, 16, 1004);
    ASSERT_TRUE(h && bar.SubclassWindow(h));
    RECT rc;
    GetClientRect(h, &rc);
    ASSERT_EQ(rc.right, 200);
    ASSERT_EQ(rc.bottom, 16);
    // The main window's colours; a background unlike the button face so
    // the two can be told apart.
    bar.m_clrStart = 0xFF0000;
    bar.m_clrEnd = 0x5E0000;
    bar.m_clrText = 0xFAE6E6;
    bar.m_clrBkGround = RGB(200, 255, 200);
    bar.m_bShowText = TRUE;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);

    // The control underneath records range and position.
    bar.SetRange(10, 90);
    EXPECT_EQ(SendMessageW(h, PBM_GETRANGE, TRUE, 0), 10);
    EXPECT_EQ(SendMessageW(h, PBM_GETRANGE, FALSE, 0), 90);
    EXPECT_EQ(bar.GetPosition(), 10);
    EXPECT_EQ(SendMessageW(h, PBM_GETPOS, 0, 0), 10);
    bar.SetRange(0, 100);
    EXPECT_EQ(SendMessageW(h, PBM_GETRANGE, FALSE, 0), 100);

    Canvas c(200, 16);
    ASSERT_TRUE(c.Valid());
    // Either end of the range: all button face, no text.
    for (int pos : {0, 100}) {
        bar.SetPos(pos);
        EXPECT_EQ(SendMessageW(h, PBM_GETPOS, 0, 0), pos);
        Render(bar, c);
        c.Save("progress_" + std::to_string(pos));
        EXPECT_EQ(c.PixelsOf(face).size(), 200u * 16u) << pos;
    }

    // Inside the range: bands as planned, the percentage on top.
    for (int pos : {1, 50}) {
        bar.SetPos(pos);
        Render(bar, c);
        c.Save("progress_" + std::to_string(pos));
        const std::vector<BarFill> fills =
            GradientBands(bar.m_clrStart, bar.m_clrEnd, bar.m_clrBkGround, 200, 16,
                          GradientFilledWidth(pos, 100, 200));
        std::vector<COLORREF> column(200, kSentinel);
        for (const BarFill& f : fills)
            for (int x = f.rect.left; x < f.rect.right; ++x)
                column[x] = f.colour;
        int textPixels = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 200; ++x) {
                if (c.At(x, y) == column[x])
                    continue;
                // Anything else is the centred text.
                EXPECT_GT(x, 70) << pos << " at " << x << "," << y;
                EXPECT_LT(x, 130) << pos << " at " << x << "," << y;
                if (c.At(x, y) == bar.m_clrText)
                    ++textPixels;
            }
        }
        EXPECT_GT(textPixels, 10) << pos;
        EXPECT_EQ(c.At(0, 0), 0xFF0000u) << "first band in the start colour";
        EXPECT_EQ(c.At(0, 15), 0xFF0000u);
        EXPECT_EQ(c.At(199, 15), bar.m_clrBkGround);
        EXPECT_EQ(c.At(150, 8), bar.m_clrBkGround);
    }

    // 50 of 0..100 on 200 columns: F = 100, the bands end at the first
    // band edge beyond it: band 81 (blue 255 - 81) covers column 100 only.
    bar.m_bShowText = FALSE;
    Render(bar, c);
    c.Save("progress_50_no_text");
    EXPECT_EQ(c.PixelsOf(bar.m_clrText).size(), 0u);
    EXPECT_EQ(c.PixelsOf(bar.m_clrBkGround).size(), 99u * 16u);
    for (int y = 0; y < 16; ++y) {
        EXPECT_EQ(c.At(100, y), 0xAE0000u) << y;
        EXPECT_EQ(c.At(101, y), bar.m_clrBkGround) << y;
    }

    // Equal colours: nothing undefined reaches the screen.
    bar.m_clrEnd = bar.m_clrStart;
    Render(bar, c);
    c.Save("progress_equal_colours");
    EXPECT_EQ(c.PixelsOf(kSentinel).size(), 0u);
    EXPECT_EQ(c.At(99, 8), bar.m_clrStart);
    EXPECT_EQ(c.At(100, 8), bar.m_clrBkGround);
}

TEST_F(ControlsGdi, GradientProgressPaintsOnScreenAndTakesPositionsFromAnyThread) {
    CGradientProgress bar;
    HWND h = Child(PROGRESS_CLASSW, L"", PBS_SMOOTH, 10, 10, 200, 16, 1004);
    ASSERT_TRUE(h && bar.SubclassWindow(h));
    bar.m_bShowText = FALSE;
    ShowWindow(m_parent, SW_SHOWNOACTIVATE);
    UpdateWindow(m_parent);

    // SetPos from another thread returns once the window's thread has
    // handled the message; this thread keeps pumping meanwhile.
    std::atomic<bool> done(false);
    std::thread worker([&] {
        bar.SetPos(70);
        done = true;
    });
    const DWORD until = GetTickCount() + 10000;
    while (!done && GetTickCount() < until) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    worker.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(SendMessageW(h, PBM_GETPOS, 0, 0), 70);
    EXPECT_EQ(bar.GetPosition(), 70);

    // The real paint (BeginPaint, off-screen copy) shows what the print
    // path draws.
    UpdateWindow(h);
    Canvas screen(200, 16), printed(200, 16);
    HDC dc = GetDC(h);
    ASSERT_NE(dc, nullptr);
    BitBlt(screen.dc, 0, 0, 200, 16, dc, 0, 0, SRCCOPY);
    ReleaseDC(h, dc);
    GdiFlush();
    screen.Save("progress_70_screen");
    Render(bar, printed);
    EXPECT_TRUE(screen.SameAs(printed));
    // Default colours, red to blue: 255 bands narrower than a column, so
    // band 0 is empty and column 0 shows band 1.
    EXPECT_EQ(screen.At(0, 8), 0x0100FEu);
    EXPECT_EQ(screen.At(199, 8), GetSysColor(COLOR_BTNFACE));
}
