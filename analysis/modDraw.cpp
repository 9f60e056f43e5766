// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/modDraw.h"

#include <cmath>

#include "core/Nearest.h"

namespace tavrino {

SplitRGB SplitColor(int32_t color) noexcept {
    // C++ integer division truncates toward zero, as the split requires.
    return {static_cast<float>(color & 255), static_cast<float>((color / 256) & 255),
            static_cast<float>((color / 65536) & 255)};
}

namespace {

// One component of the gradient, already clamped to 0 ... 255 and rounded ties-to-even.
int32_t Component(float start, float end, float half, float offset) noexcept {
    float value = (end - start) / half * offset + start;
    if (std::isnan(value)) value = start;
    if (value < 0.0f) value = 0.0f;
    if (value > 255.0f) value = 255.0f;
    return static_cast<int32_t>(RoundHalfEven(value));
}

}  // namespace

COLORREF GradientColor(float total, float position, int32_t color1, int32_t color2, int32_t color3) noexcept {
    const SplitRGB c1 = SplitColor(color1);
    const SplitRGB c2 = SplitColor(color2);
    const SplitRGB c3 = SplitColor(color3);
    const float half = total / 2.0f;
    SplitRGB start = c2;
    SplitRGB end = c3;
    float offset = position - half;
    if (position < half) {
        start = c1;
        end = c2;
        offset = position;
    }
    return RGB(Component(start.red, end.red, half, offset), Component(start.green, end.green, half, offset),
               Component(start.blue, end.blue, half, offset));
}

}  // namespace tavrino
