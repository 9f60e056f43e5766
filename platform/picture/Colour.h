// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Colours as the drawing code passes them: 32-bit values 0x00BBGGRR, red in the low
// byte (the layout of a Windows COLORREF). The top byte is ignored wherever a colour is
// used for drawing.

#include <cstdint>

namespace tavrino {

using COLORREF = uint32_t;

// RGB(r, g, b) = r + 256 g + 65536 b. Components outside 0 ... 255 are clamped to that
// range (a component above 255 counts as 255, as the classic RGB function takes it).
constexpr COLORREF RGB(int32_t red, int32_t green, int32_t blue) noexcept {
    auto clamp = [](int32_t v) -> uint32_t { return v < 0 ? 0u : v > 255 ? 255u : static_cast<uint32_t>(v); };
    return clamp(red) | (clamp(green) << 8) | (clamp(blue) << 16);
}

constexpr int32_t GetRValue(COLORREF c) noexcept { return static_cast<int32_t>(c & 255u); }
constexpr int32_t GetGValue(COLORREF c) noexcept { return static_cast<int32_t>((c >> 8) & 255u); }
constexpr int32_t GetBValue(COLORREF c) noexcept { return static_cast<int32_t>((c >> 16) & 255u); }

}  // namespace tavrino
