// SPDX-License-Identifier: GPL-3.0-or-later
#include "Signals.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace tavrino::test {

std::vector<uint8_t> Bytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> b(samples.size() * 2);
    std::memcpy(b.data(), samples.data(), b.size());
    return b;
}

namespace {

template <class F>
std::vector<int16_t> Generate(int channels, int frames, F value) {
    std::vector<int16_t> s(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) s[static_cast<size_t>(i) * channels + c] = value(i, c);
    return s;
}

}  // namespace

std::vector<int16_t> Sine(int32_t rate, int channels, int frames, double hz, double amplitude) {
    return Generate(channels, frames, [&](int i, int c) {
        return static_cast<int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate) * (c == 1 ? -1 : 1)));
    });
}

std::vector<int16_t> Chirp(int32_t rate, int channels, int frames, double fromHz, double toHz, double amplitude) {
    const double seconds = static_cast<double>(frames) / rate;
    return Generate(channels, frames, [&](int i, int) {
        const double t = static_cast<double>(i) / rate;
        return static_cast<int16_t>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * (fromHz * t + (toHz - fromHz) * t * t / (2 * seconds)))));
    });
}

std::vector<int16_t> FullScale(int channels, int frames) {
    return Generate(channels, frames, [](int i, int) { return (i / 32) % 2 ? int16_t{-32768} : int16_t{32767}; });
}

}  // namespace tavrino::test
