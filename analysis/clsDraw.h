// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// clsDraw: the pictures of the live display, drawn on picture-box surfaces
// (platform/picture): filled rectangles for the level meters, the amplitude trace of a
// sample buffer, and a 22-bar spectrum whose bars jump up at once and fall back slowly.
// It owns the clsFourier that the spectrum uses. Neither drawing looks at the channel
// count: stereo samples are used as they alternate in the buffer.
//
// Every floating value becomes a pixel coordinate by nearest (ties to even). Errors of
// the surface or the transform pass to the caller. Runs on the user-interface thread;
// one call allocates nothing, apart from the transform object on the first spectrum.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "analysis/clsFourier.h"
#include "platform/picture/PictureBox.h"

namespace tavrino {

class clsDraw {
public:
    static constexpr int32_t kBars = 22;
    // Samples taken per spectrum (a shorter buffer draws nothing).
    static constexpr int32_t kSpectrumSamples = 1024;
    // How far every bar falls per spectrum drawn; a full bar empties in 15 calls.
    static constexpr double kBarDecay = 0.07;

    // Fills [lngLeft, lngRight) x [lngTop, lngBottom) with a solid colour: the right
    // column and the bottom row are excluded. Clears nothing else.
    void DrawRect(DeviceContext& hdc, int32_t lngLeft, int32_t lngTop, int32_t lngRight, int32_t lngBottom,
                  COLORREF lngColor);

    // The buffer as a waveform trace. With W, H the box's size and mid = H / 2:
    // a black-outlined Rectangle(0, 0, W, H) filled with the box's fill brush (the only
    // clearing step), then a white line from (0, mid) through one point per column
    // x = 1 .. columns, columns = nearest(W - 3), each the mean of `step` samples,
    // step = nearest((samples - 1) / W), drawn at nearest(v (mid - 2) + mid) with
    // v = mean / 32767 clamped to [-1, 1] (positive below the centre line), and back to
    // the centre line at columns + 1 and columns + 2.
    // A buffer too short for its columns (step 0, or a block that would run past the end
    // of the buffer): reading stops at the end and the remaining columns are not drawn;
    // the line still returns to the centre line at columns + 1 and columns + 2.
    // Leaves the box's ForeColor white.
    void DrawAmplitudes(std::span<const int16_t> data, PictureBox& picVis);

    // The falling spectrum of the buffer's first 1024 samples (Blackman-windowed
    // transform): every bar falls by 0.07, rises at once to a new, higher level, then
    // the box is cleared (Cls) and bar b is filled at x = 4b + 4 .. 4b + 6 from
    // max(2, min(H, nearest(H - H level)) - 2) down to nearest(H - 2) (excluded), in
    // RGB(255, nearest(255 level), 50). A buffer of fewer than 1024 samples is ignored:
    // nothing is drawn and no level changes. The same 1024 samples as last time (wherever
    // they are kept) are not transformed again.
    void DrawFrequencies(std::span<const int16_t> intSamples, PictureBox& picbox);

    // Level of bar `index` (0..21) in [0, 1], as the last spectrum drew it.
    double BarLevel(int32_t index) const { return levels_.at(static_cast<size_t>(index)); }

private:
    static float HannWeight(float x, int32_t n) noexcept;
    static int32_t MinLong(int32_t a, int32_t b) noexcept { return a < b ? a : b; }
    static int32_t MaxLong(int32_t a, int32_t b) noexcept { return a > b ? a : b; }
    // The transform of 1024 samples, as far as the bars take it: barInputs_.
    void Transform(std::span<const int16_t> samples);

    // Bar levels, each in [0, 1]; they persist from spectrum to spectrum.
    std::array<double, kBars> levels_{};
    // Bin levels of the last spectrum, each in [0, 1].
    std::array<float, kSpectrumSamples / 2 + 1> bins_{};
    // Created by the first spectrum that has enough samples.
    std::unique_ptr<clsFourier> fourier_;
    // Each bar's factor on the accumulator (its Hann weight + 1), set with fourier_.
    std::array<float, kBars> barWeights_{};
    // The samples last transformed and the level each bar rises to from them.
    bool transformed_ = false;
    std::array<int16_t, kSpectrumSamples> lastSamples_{};
    std::array<float, kBars> barInputs_{};
};

}  // namespace tavrino
