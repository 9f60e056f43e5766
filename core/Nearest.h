// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Floating to integer conversions shared by every module.
//
// nearest: the nearest integer, ties going to the even neighbour (2.5 -> 2, 3.5 -> 4).
// A value beyond the target's range, or not a number, raises Error 6 "Overflow".
//
// ToSample: the conversion to a 16-bit sample: above 32767 gives 32767, below -32768
// gives -32768, otherwise nearest. It never raises, so it is safe on the per-buffer
// path; a NaN (which has no nearest integer) gives 0.

#include <cmath>
#include <cstdint>

namespace tavrino {

int16_t NearestInt16(double value);
int32_t NearestInt32(double value);
int16_t NearestInt16(float value);
int32_t NearestInt32(float value);

// Rounds to an integral floating value, ties to even. The program never leaves the
// default rounding mode (to nearest, ties to even), which nearbyint follows.
inline double RoundHalfEven(double value) noexcept { return std::nearbyint(value); }
inline float RoundHalfEven(float value) noexcept { return std::nearbyintf(value); }

// Within the clip range, adding and taking away 1.5 x 2^23 (2^52 for double) leaves the
// value rounded to an integer by the FPU's own ties-to-even rounding, without a libm call.
inline int16_t ToSample(float value) noexcept {
    if (value > 32767.0f) return 32767;
    if (value < -32768.0f) return -32768;
    if (value != value) return 0;  // NaN
    constexpr float kShift = 12582912.0f;
    return static_cast<int16_t>((value + kShift) - kShift);
}

inline int16_t ToSample(double value) noexcept {
    if (value > 32767.0) return 32767;
    if (value < -32768.0) return -32768;
    if (value != value) return 0;  // NaN
    constexpr double kShift = 6755399441055744.0;
    return static_cast<int16_t>((value + kShift) - kShift);
}

}  // namespace tavrino
