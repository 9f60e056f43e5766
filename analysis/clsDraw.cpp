// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/clsDraw.h"

#include <algorithm>
#include <cmath>

#include "core/Nearest.h"

namespace tavrino {

void clsDraw::DrawRect(DeviceContext& hdc, int32_t lngLeft, int32_t lngTop, int32_t lngRight, int32_t lngBottom,
                       COLORREF lngColor) {
    hdc.FillRect(lngLeft, lngTop, lngRight, lngBottom, lngColor);
}

void clsDraw::DrawAmplitudes(std::span<const int16_t> data, PictureBox& picVis) {
    const float scaleWidth = picVis.ScaleWidth();
    const int32_t width = NearestInt32(scaleWidth);
    const int32_t height = NearestInt32(picVis.ScaleHeight());
    const int32_t mid = height / 2;
    DeviceContext& dc = picVis.hDC();

    picVis.ForeColor(RGB(0, 0, 0));
    dc.Rectangle(0, 0, width, height);
    picVis.ForeColor(RGB(255, 255, 255));
    dc.MoveToEx(0, mid);

    int32_t columns = NearestInt32(scaleWidth - 3.0f);
    if (columns < 1) columns = 0;
    if (columns > 0) {
        // columns >= 1 means ScaleWidth > 3, so the division is safe.
        const double upper = static_cast<double>(data.size()) - 1.0;
        const int32_t step = NearestInt32(upper / static_cast<double>(scaleWidth));
        size_t pos = 0;
        for (int32_t x = 1; x <= columns; ++x) {
            if (step < 1 || data.size() - pos < static_cast<size_t>(step)) break;
            double sum = 0.0;
            for (int32_t k = 0; k < step; ++k) sum += data[pos + static_cast<size_t>(k)];
            pos += static_cast<size_t>(step);
            double v = sum / step / 32767.0;
            if (v > 1.0) v = 1.0;
            if (v < -1.0) v = -1.0;
            dc.LineTo(x, NearestInt32(v * (mid - 2) + mid));
        }
    }
    dc.LineTo(columns + 1, mid);
    dc.LineTo(columns + 2, mid);
}

float clsDraw::HannWeight(float x, int32_t n) noexcept {
    const float arg = x * 6.2831855f / static_cast<float>(n);
    return static_cast<float>((1.0 - std::cos(static_cast<double>(arg))) * 0.5);
}

void clsDraw::Transform(std::span<const int16_t> samples) {
    if (!fourier_) {
        auto fourier = std::make_unique<clsFourier>();
        fourier->NumberOfSamples(kSpectrumSamples);
        fourier->WithTimeWindow(1);
        fourier_ = std::move(fourier);
        for (int32_t j = 0; j < kBars; ++j) {
            barWeights_[static_cast<size_t>(j)] = HannWeight(static_cast<float>(j + 3), 25) + 1.0f;
        }
    }
    for (int32_t i = 0; i < kSpectrumSamples; ++i) {
        fourier_->RealIn(i + 1, static_cast<double>(samples[static_cast<size_t>(i)]));
    }

    // 256 = 1024 / 4: a full-scale sine of the windowed transform reaches about 0.2.
    for (size_t k = 0; k < bins_.size(); ++k) {
        double m = fourier_->ComplexOut(static_cast<int32_t>(k) + 1) / 256.0 / 32767.0;
        if (m > 0.2) m = 0.2;
        bins_[k] = static_cast<float>(m / 0.2);
    }

    // Bar j sums bins 5j + 1 .. 5j + 4 into an accumulator that carries on from the bars
    // below, so each bar also holds a decaying share of those.
    float a = 0.0f;
    for (int32_t j = 0; j < kBars; ++j) {
        for (int32_t b = 1; b <= 4; ++b) a += bins_[static_cast<size_t>(5 * j + b)];
        a = barWeights_[static_cast<size_t>(j)] * a / 3.0f;
        barInputs_[static_cast<size_t>(j)] = a;
    }
}

void clsDraw::DrawFrequencies(std::span<const int16_t> intSamples, PictureBox& picbox) {
    if (intSamples.size() < static_cast<size_t>(kSpectrumSamples)) return;
    const std::span<const int16_t> samples = intSamples.first(static_cast<size_t>(kSpectrumSamples));
    // The same samples again (the display asks once per tick, and a buffer lasts several
    // ticks): the bars take what the last transform gave.
    if (!transformed_ || !std::equal(samples.begin(), samples.end(), lastSamples_.begin())) {
        Transform(samples);
        std::copy(samples.begin(), samples.end(), lastSamples_.begin());
        transformed_ = true;
    }

    for (int32_t j = 0; j < kBars; ++j) {
        double& level = levels_[static_cast<size_t>(j)];
        level -= kBarDecay;
        if (level < 0.0) level = 0.0;
        const float a = barInputs_[static_cast<size_t>(j)];
        if (a > level) level = a;
        if (level > 1.0) level = 1.0;
    }

    picbox.Cls();
    const float h = picbox.ScaleHeight();
    const int32_t bottom = NearestInt32(h - 2.0f);
    const int32_t nearestH = NearestInt32(h);
    DeviceContext& dc = picbox.hDC();
    for (int32_t b = 0; b < kBars; ++b) {
        const double level = levels_[static_cast<size_t>(b)];
        const COLORREF color = RGB(255, NearestInt32(level * 255.0), 50);
        const int32_t top = MaxLong(2, MinLong(nearestH, NearestInt32(h - h * level)) - 2);
        DrawRect(dc, 4 * b + 4, top, 4 * b + 7, bottom, color);
    }
}

}  // namespace tavrino
