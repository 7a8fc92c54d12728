// Plain value types shared by the portable drawing arithmetic of the custom
// controls and by their Win32 painting code. No platform header here.
#pragma once

#include <cstdint>

// 0x00BBGGRR: red in the low byte, blue in the third byte, the layout of a
// Win32 COLORREF.
typedef std::uint32_t ZvColor;

inline int ZvRed(ZvColor c) { return static_cast<int>(c & 0xFF); }
inline int ZvGreen(ZvColor c) { return static_cast<int>((c >> 8) & 0xFF); }
inline int ZvBlue(ZvColor c) { return static_cast<int>((c >> 16) & 0xFF); }
inline ZvColor ZvRgb(int r, int g, int b) {
    return static_cast<ZvColor>(r & 0xFF) | (static_cast<ZvColor>(g & 0xFF) << 8) |
           (static_cast<ZvColor>(b & 0xFF) << 16);
}

// Same member order as a Win32 RECT: right and bottom are exclusive.
struct ZvRect {
    int left;
    int top;
    int right;
    int bottom;
};

inline bool operator==(const ZvRect& a, const ZvRect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
