// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test signals as 16-bit samples, shared by the tests of the conversion stream and of the
// encoder above it.

#include <cstdint>
#include <vector>

namespace tavrino::test {

// The samples' bytes, as a device delivers them.
std::vector<uint8_t> Bytes(const std::vector<int16_t>& samples);

// Interleaved 16-bit signals of `frames` frames (a sine is inverted in channel 1).
std::vector<int16_t> Sine(int32_t rate, int channels, int frames, double hz, double amplitude);
std::vector<int16_t> Chirp(int32_t rate, int channels, int frames, double fromHz, double toHz, double amplitude);
std::vector<int16_t> FullScale(int channels, int frames);  // a square wave at 32767 / -32768, period 64

}  // namespace tavrino::test
