#!/usr/bin/env python3
"""Draws the program's icon (res/zurivavave.ico: 32x32 and 16x16, 16 colours)
and the About banner (res/about.bmp: 499x111, 256 colours).

Plain Python, no imaging library: shapes are drawn into palette-index grids
and written as ICO/BMP by hand. Run it after changing a drawing:
    python3 res/make_images.py
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# The standard 16-colour palette, as (r, g, b).
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DGREY, LGREY, RED, YELLOW, BLUE, WHITE, DYELLOW = 0, 8, 7, 9, 11, 12, 15, 3


class Canvas:
    def __init__(self, w, h, fill):
        self.w, self.h = w, h
        self.px = [[fill] * w for _ in range(h)]
        self.mask = [[1] * w for _ in range(h)]  # 1 = transparent (icons)

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c
            self.mask[y][x] = 0

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.set(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1):
            self.set(x, y0, c)
            self.set(x, y1 - 1, c)
        for y in range(y0, y1):
            self.set(x0, y, c)
            self.set(x1 - 1, y, c)

    def disc(self, cx, cy, r, c):
        for y in range(int(cy - r) - 1, int(cy + r) + 2):
            for x in range(int(cx - r) - 1, int(cx + r) + 2):
                if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                    self.set(x, y, c)

    def arc(self, cx, cy, r, a0, a1, thick, c):
        """A thick arc from angle a0 to a1 (degrees, screen coordinates)."""
        steps = max(8, int(abs(a1 - a0) * r / 20))
        for i in range(steps + 1):
            a = math.radians(a0 + (a1 - a0) * i / steps)
            self.disc(cx + r * math.cos(a), cy + r * math.sin(a), thick / 2, c)

    def triangle(self, pts, c):
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        for y in range(int(min(ys)), int(max(ys)) + 1):
            for x in range(int(min(xs)), int(max(xs)) + 1):
                if inside(pts, x + 0.5, y + 0.5):
                    self.set(x, y, c)


def inside(pts, x, y):
    (x1, y1), (x2, y2), (x3, y3) = pts
    d1 = (x - x2) * (y1 - y2) - (x1 - x2) * (y - y2)
    d2 = (x - x3) * (y2 - y3) - (x2 - x3) * (y - y3)
    d3 = (x - x1) * (y3 - y1) - (x3 - x1) * (y - y1)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def draw_box(cv, x0, y0, w, h, body, lights, arrow, scale):
    """A set-top box with a row of lights and a curved arrow bending down
    into it from above."""
    # Arrow: a quarter arc from the upper right that bends down, its head
    # pointing into the box's top.
    hx = x0 + w * 0.35
    hy = y0 - max(1, 1.5 * scale)
    r = min(w * 0.4, y0 * 0.8)
    cv.arc(hx + r, hy, r, 180, 270, max(1.6, 2.6 * scale), arrow)
    head = max(2.5, 4 * scale)
    cv.triangle([(hx - head, hy - head * 0.4), (hx + head, hy - head * 0.4), (hx, hy + head * 0.9)], arrow)
    # Box body with a lighter top edge and a darker bottom edge.
    cv.rect(x0, y0 + 1, x0 + w, y0 + h, body)
    cv.rect(x0, y0 + h - max(1, int(scale)), x0 + w, y0 + h, BLACK if body != BLACK else DGREY)
    cv.rect(x0, y0, x0 + w, y0 + 1, WHITE)
    n = len(lights)
    span = w * 0.5
    lx = x0 + w * 0.12
    ly = y0 + h * 0.45
    for i, c in enumerate(lights):
        cx = lx + i * span / max(1, n - 1)
        cv.disc(cx, ly, max(0.8, 1.2 * scale), c)


def icon_image(size):
    cv = Canvas(size, size, BLACK)
    s = size / 32.0
    # Arrow from above, then the box (so the box covers the arrow's tail end).
    draw_box(cv, int(2 * s), int(16 * s), int(28 * s), int(11 * s), LGREY,
             [YELLOW, RED, BLUE] if size >= 32 else [YELLOW, RED, BLUE], YELLOW, s)
    return cv


def ico_entry(cv):
    """BITMAPINFOHEADER + palette + XOR (4 bpp) + AND mask, bottom-up."""
    w, h = cv.w, cv.h
    xor_stride = ((w * 4 + 31) // 32) * 4
    and_stride = ((w + 31) // 32) * 4
    xor = bytearray()
    andm = bytearray()
    for y in reversed(range(h)):
        row = bytearray(xor_stride)
        for x in range(w):
            v = cv.px[y][x] if not cv.mask[y][x] else 0
            row[x // 2] |= v << (4 if x % 2 == 0 else 0)
        xor += row
        mrow = bytearray(and_stride)
        for x in range(w):
            if cv.mask[y][x]:
                mrow[x // 8] |= 0x80 >> (x % 8)
        andm += mrow
    hdr = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 4, 0, len(xor) + len(andm), 0, 0, 16, 0)
    pal = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in VGA16)
    return hdr + pal + bytes(xor) + bytes(andm)


def write_ico(path, canvases):
    entries = [ico_entry(cv) for cv in canvases]
    out = bytearray(struct.pack('<HHH', 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for cv, data in zip(canvases, entries):
        out += struct.pack('<BBBBHHII', cv.w % 256, cv.h % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for data in entries:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


# A 5x7 pixel font for the banner's text.
FONT = {
    'W': ["10001", "10001", "10001", "10101", "10101", "11011", "10001"],
    'Z': ["11111", "00001", "00010", "00100", "01000", "10000", "11111"],
    'B': ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    'V': ["10001", "10001", "10001", "10001", "01010", "01010", "00100"],
    'u': ["00000", "00000", "10001", "10001", "10001", "10011", "01101"],
    'r': ["00000", "00000", "10110", "11001", "10000", "10000", "10000"],
    'i': ["00100", "00000", "01100", "00100", "00100", "00100", "01110"],
    'v': ["00000", "00000", "10001", "10001", "10001", "01010", "00100"],
    'a': ["00000", "00000", "01110", "00001", "01111", "10001", "01111"],
    'e': ["00000", "00000", "01110", "10001", "11111", "10000", "01110"],
    '1': ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    '0': ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    '4': ["00010", "00110", "01010", "10010", "11111", "00010", "00010"],
    '.': ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
    ' ': ["00000"] * 7,
}


def text_width(text, scale):
    return len(text) * 6 * scale - scale


def draw_text(cv, x, y, text, scale, c, bold):
    for ch in text:
        glyph = FONT[ch]
        for gy, row in enumerate(glyph):
            for gx, bit in enumerate(row):
                if bit == '1':
                    cv.rect(x + gx * scale, y + gy * scale,
                            x + (gx + 1) * scale + (scale // 3 if bold else 0), y + (gy + 1) * scale, c)
        x += 6 * scale


# 256-colour palette for the banner: the 16 standard colours first, then
# a few shades, the rest black.
BANNER_PAL = VGA16 + [(212, 208, 200), (64, 64, 64), (96, 96, 96), (0, 64, 192), (40, 110, 230)]
BANNER_PAL += [(0, 0, 0)] * (256 - len(BANNER_PAL))
FACE, SLAB, SLAB_EDGE, TITLE_BLUE, ARROW_BLUE = 16, 17, 18, 19, 20


def banner():
    w, h = 499, 111
    cv = Canvas(w, h, FACE)
    # Thin 3-D frame: light top/left, dark bottom/right, twice.
    for i, (lt, dk) in enumerate([(WHITE, BLACK), (LGREY, DGREY)]):
        for x in range(i, w - i):
            cv.set(x, i, lt)
            cv.set(x, h - 1 - i, dk)
        for y in range(i, h - i):
            cv.set(i, y, lt)
            cv.set(w - 1 - i, y, dk)
    # The set-top box: a dark grey slab with yellow and blue lights, and a
    # curved blue arrow bending down into it.
    bx, by, bw, bh = 22, 62, 96, 26
    hx, hy, r = bx + 34, by - 8, 42
    cv.arc(hx + r, hy, r, 180, 268, 7, ARROW_BLUE)
    cv.triangle([(hx - 11, hy - 3), (hx + 11, hy - 3), (hx, hy + 9)], ARROW_BLUE)
    cv.rect(bx, by, bx + bw, by + bh, SLAB)
    cv.rect(bx, by, bx + bw, by + 2, SLAB_EDGE)
    cv.rect(bx + 4, by + bh, bx + 12, by + bh + 3, BLACK)
    cv.rect(bx + bw - 12, by + bh, bx + bw - 4, by + bh + 3, BLACK)
    for i, c in enumerate([YELLOW, YELLOW, BLUE, BLUE, YELLOW]):
        cv.disc(bx + 12 + i * 9, by + 14, 2.2, c)
    cv.rect(bx + 62, by + 11, bx + 88, by + 17, BLACK)
    # The name, large and bold, and the version line under it.
    title = "WZB Zurivavave"
    scale = 4
    tx = 150
    draw_text(cv, tx, 24, title, scale, TITLE_BLUE, True)
    version = "Ver 1.04"
    vscale = 2
    # Left-aligned under the name: the OK button sits at the lower right.
    draw_text(cv, tx + 2, 24 + 7 * scale + 14,
              version, vscale, TITLE_BLUE, False)
    return cv


def write_bmp8(path, cv, palette):
    w, h = cv.w, cv.h
    stride = (w + 3) & ~3
    pixels = bytearray()
    for y in reversed(range(h)):
        row = bytearray(cv.px[y]) + bytearray(stride - w)
        pixels += row
    pal = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in palette)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    off = 14 + len(info) + len(pal)
    head = struct.pack('<2sIHHI', b'BM', off + len(pixels), 0, 0, off)
    with open(path, 'wb') as f:
        f.write(head + info + pal + pixels)


if __name__ == '__main__':
    write_ico(os.path.join(HERE, 'zurivavave.ico'), [icon_image(32), icon_image(16)])
    write_bmp8(os.path.join(HERE, 'about.bmp'), banner(), BANNER_PAL)
    print('wrote res/zurivavave.ico and res/about.bmp')
