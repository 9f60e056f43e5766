// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// modDraw: the three-stop colour gradient of the level meters and the equalizer curve.

#include <cstdint>

#include "platform/picture/Colour.h"

namespace tavrino {

// Splits a colour 0x00BBGGRR into red, green and blue by truncating integer division:
// red = c AND 255, green = (c div 256) AND 255, blue = (c div 65536) AND 255. For a
// negative value this differs from shifting: -13312 (0xFFFFCC00) gives red 0, green 204,
// blue 0, and the equalizer curve relies on that.
struct SplitRGB {
    float red;
    float green;
    float blue;
};
SplitRGB SplitColor(int32_t color) noexcept;

// The colour at `position` on a linear gradient that runs from color1 at 0 through
// color2 at total / 2 to color3 at total (exactly total / 2 gives color2). Each component
// is (end - start) / half * offset + start in 32-bit floats, taken to the nearest integer
// with ties to even: GradientColor(1, 0.25, RGB(0, 255, 0), RGB(225, 168, 34),
// RGB(255, 0, 0)) = RGB(112, 212, 17).
// A position outside [0, total] extrapolates; components are then clamped to 0 ... 255.
// A degenerate gradient (total 0, where a component comes out as not-a-number) takes the
// start colour's component instead of failing.
COLORREF GradientColor(float total, float position, int32_t color1, int32_t color2, int32_t color3) noexcept;

}  // namespace tavrino
