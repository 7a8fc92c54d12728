#include "controls/RoundMath.h"

RoundGeometry ComputeRoundGeometry(int clientWidth, int clientHeight) {
    RoundGeometry g;
    g.work = {0, 0, clientWidth, clientHeight};
    g.capsule = clientWidth > clientHeight;
    if (!g.capsule) {
        const int side = clientWidth < clientHeight ? clientWidth : clientHeight;
        g.work.right = side;
        g.work.bottom = side;
    }
    g.cx = (g.work.left + g.work.right) / 2;
    g.cy = (g.work.top + g.work.bottom) / 2;
    g.radius = g.work.bottom / 2 - 1;
    g.leftX = g.radius;
    g.leftY = g.cy;
    g.rightX = g.work.right - g.radius - 1;
    g.rightY = g.cy;
    return g;
}

ZvColor AngleColor(double angle, ZvColor a, ZvColor b) {
    double t = -1.88 - angle;
    if (t < -3.1415)
        t += 6.293;
    const double w = (1 + std::cos(t)) * 0.5;
    int ch[3];
    const int sa[3] = {ZvRed(a), ZvGreen(a), ZvBlue(a)};
    const int sb[3] = {ZvRed(b), ZvGreen(b), ZvBlue(b)};
    for (int c = 0; c < 3; ++c)
        ch[c] = static_cast<int>(sa[c] * w + sb[c] * (1 - w));
    return ZvRgb(ch[0], ch[1], ch[2]);
}

RoundRadii ComputeRoundRadii(int radius, bool capsule, bool flat, bool focused) {
    RoundRadii rr;
    const bool marks = focused && !capsule;
    int r = radius;
    rr.focusMark = RoundRadii::kNone;
    if (marks) {
        rr.focusMark = r;
        --r;
    }
    rr.rimOuter = r;
    rr.rimInner = r - 1;
    if (flat)
        r -= capsule ? 1 : 2;
    rr.captionClip = r;
    rr.dottedRing = marks ? r - 2 : RoundRadii::kNone;
    return rr;
}
