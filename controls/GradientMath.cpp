#include "controls/GradientMath.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

bool GradientHasBar(int lower, int upper, int position) {
    return lower < position && position < upper;
}

int GradientFilledWidth(int position, int upper, int width) {
    const double f = static_cast<double>(position) / static_cast<double>(upper) * width;
    if (std::isnan(f) || f < -1.0)
        return -1;
    if (f > static_cast<double>(width))
        return width;
    return static_cast<int>(f);  // truncation toward zero
}

std::string GradientPercentText(int position, int upper) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f%%",
                  static_cast<double>(position) * 100 / static_cast<double>(upper));
    return text;
}

int GradientBandCount(ZvColor start, ZvColor end) {
    const int dr = std::abs(ZvRed(end) - ZvRed(start));
    const int dg = std::abs(ZvGreen(end) - ZvGreen(start));
    const int db = std::abs(ZvBlue(end) - ZvBlue(start));
    int n = dr;
    if (dg > n)
        n = dg;
    if (db > n)
        n = db;
    return n;
}

std::vector<BarFill> GradientBands(ZvColor start, ZvColor end, ZvColor background,
                                        int width, int height, int filled) {
    std::vector<BarFill> fills;
    const int n = GradientBandCount(start, end);
    if (n <= 0) {
        // Equal start and end colours leave no band to draw, and the
        // off-screen bitmap must not reach the screen unpainted: the filled
        // part is drawn in the one colour and the rest in the background,
        // so every pixel of the bar is painted.
        if (filled > 0)
            fills.push_back({{0, 0, filled, height + 1}, start});
        fills.push_back({{filled > 0 ? filled : 0, 0, width, height}, background});
        return fills;
    }

    const int s[3] = {ZvRed(start), ZvGreen(start), ZvBlue(start)};
    const int e[3] = {ZvRed(end), ZvGreen(end), ZvBlue(end)};
    const float bw = static_cast<float>(width) / static_cast<float>(n);
    float step[3];
    for (int c = 0; c < 3; ++c)
        step[c] = static_cast<float>(e[c] - s[c]) / static_cast<float>(n);

    fills.reserve(static_cast<size_t>(n) + 1);
    int lastRight = 0;
    for (int i = 0; i < n; ++i) {
        const int left = static_cast<int>(static_cast<double>(i) * bw);
        const int right = static_cast<int>(static_cast<double>(i + 1) * bw);
        int ch[3];
        for (int c = 0; c < 3; ++c)
            ch[c] = static_cast<int>(s[c] + static_cast<double>(i) * step[c]);
        fills.push_back({{left, 0, right, height + 1}, ZvRgb(ch[0], ch[1], ch[2])});
        lastRight = right;
        if (right > filled) {
            fills.push_back({{right, 0, width, height}, background});
            return fills;
        }
    }
    // All bands drawn and none passed F. In single precision N * bw often
    // falls just short of the width, so the last band can end a column
    // early; that column gets the background rather than whatever the
    // off-screen bitmap held.
    if (lastRight < width)
        fills.push_back({{lastRight, 0, width, height}, background});
    return fills;
}

GradientPaintPlan PlanGradientPaint(const GradientBarState& bar, int width, int height,
                                    ZvColor buttonFace) {
    GradientPaintPlan plan;
    if (!GradientHasBar(bar.lower, bar.upper, bar.position)) {
        plan.fills.push_back({{0, 0, width, height}, buttonFace});
        return plan;
    }
    plan.offScreen = true;
    plan.fills = GradientBands(bar.start, bar.end, bar.background, width, height,
                               GradientFilledWidth(bar.position, bar.upper, width));
    if (bar.showText) {
        plan.drawText = true;
        plan.text = GradientPercentText(bar.position, bar.upper);
    }
    return plan;
}
