// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/IIRFilter.h"

#include <cmath>

#include "core/Error.h"
#include "core/Nearest.h"
#include "dsp/RequireFinite.h"

namespace tavrino {
namespace {

constexpr float kTwoPi = 6.2831855f;  // 2 pi as a 32-bit float
constexpr float kLn2 = 0.6931472f;    // ln 2 as a 32-bit float

}  // namespace

void IIRFilter::Recompute() {
    if (samplerate_ > 0) {
        CreateBiquadIIR(type_, gain_db_, frequency_, static_cast<float>(samplerate_), bandwidth_);
    }
}

// Each write works on a copy, so a write whose recomputation raises changes nothing.
void IIRFilter::Bandwidth(float sngVal) {
    RequireFinite(sngVal);
    IIRFilter next = *this;
    next.bandwidth_ = sngVal;
    next.Recompute();
    *this = next;
}

void IIRFilter::GainDB(float sngVal) {
    RequireFinite(sngVal);
    IIRFilter next = *this;
    next.gain_db_ = sngVal;
    next.Recompute();
    *this = next;
}

void IIRFilter::Frequency(float sngVal) {
    RequireFinite(sngVal);
    IIRFilter next = *this;
    next.frequency_ = sngVal;
    next.Recompute();
    *this = next;
}

void IIRFilter::samplerate(int32_t lngVal) {
    IIRFilter next = *this;
    next.samplerate_ = lngVal;
    next.Recompute();
    *this = next;
}

void IIRFilter::CreateBiquadIIR(int32_t IIRType, float dBGain, float freq, float srate, float bw) {
    const int32_t srate_int = NearestInt32(srate);  // raises before anything changes
    Design(IIRType, dBGain, freq, srate_int, srate, bw);
}

void IIRFilter::Design(int32_t type, float dBGain, float freq, int32_t srate_int, float srate,
                       float bw) noexcept {
    samplerate_ = srate_int;
    bandwidth_ = bw;
    gain_db_ = dBGain;
    frequency_ = freq;
    type_ = type;

    // Each step in double from its float operands, its result held as a float.
    using D = double;
    const float A = static_cast<float>(std::pow(10.0, D(dBGain) / 40.0));
    const float w = static_cast<float>(D(freq) * kTwoPi / srate);
    const float sn = static_cast<float>(std::sin(D(w)));
    const float cs = static_cast<float>(std::cos(D(w)));
    const double v = D(kLn2) / 2.0 * bw * w / sn;
    const float alpha = static_cast<float>(sn * ((std::exp(v) - std::exp(-v)) / 2.0));

    D b0 = 0, b1 = 0, b2 = 0, a0 = 0, a1 = 0, a2 = 0;
    switch (type) {
        case kLowPass:
            b0 = (1.0 - cs) / 2.0;
            b1 = 1.0 - cs;
            b2 = (1.0 - cs) / 2.0;
            a0 = 1.0 + alpha;
            a1 = -2.0 * cs;
            a2 = 1.0 - alpha;
            break;
        case kHighPass:
            b0 = (1.0 + cs) / 2.0;
            b1 = -(1.0 + D(cs));
            b2 = (1.0 + cs) / 2.0;
            a0 = 1.0 + alpha;
            a1 = -2.0 * cs;
            a2 = 1.0 - alpha;
            break;
        case kBandPass:
            b0 = alpha;
            b1 = 0.0;
            b2 = -D(alpha);
            a0 = 1.0 + alpha;
            a1 = -2.0 * cs;
            a2 = 1.0 - alpha;
            break;
        case kPeaking:
            b0 = 1.0 + D(alpha) * A;
            b1 = -2.0 * cs;
            b2 = 1.0 - D(alpha) * A;
            a0 = 1.0 + D(alpha) / A;
            a1 = -2.0 * cs;
            a2 = 1.0 - D(alpha) / A;
            break;
        default:
            break;  // no coefficient set: processing passes samples unchanged
    }
    // The raw coefficients are floats too.
    const auto F = [](double d) { return D(static_cast<float>(d)); };
    b0 = F(b0), b1 = F(b1), b2 = F(b2), a0 = F(a0), a1 = F(a1), a2 = F(a2);

    x1_ = x2_ = y1_ = y2_ = 0.0f;
    if (Passes()) {
        b0_ = static_cast<float>(b0 / a0);
        b1_ = static_cast<float>(b1 / a0);
        b2_ = static_cast<float>(b2 / a0);
        a1_ = static_cast<float>(a1 / a0);
        a2_ = static_cast<float>(a2 / a0);
    } else {
        b0_ = b1_ = b2_ = a1_ = a2_ = 0.0f;
    }
}

void IIRFilter::ProcessSamples_16bit(std::span<int16_t> intSamples) noexcept {
    if (!enabled_ || !Passes()) return;
    // The recursion on locals, written back once: the compiler cannot keep members in
    // registers across the stores to the buffer.
    IIRFilter f = *this;
    for (int16_t& s : intSamples) s = f.Step16(s);
    x1_ = f.x1_;
    x2_ = f.x2_;
    y1_ = f.y1_;
    y2_ = f.y2_;
}

void IIRFilter::ProcessSamples_8bit(std::span<uint8_t> btSamples) noexcept {
    if (!enabled_ || !Passes()) return;
    double x1 = x1_, x2 = x2_, y1 = y1_, y2 = y2_;
    for (uint8_t& b : btSamples) {
        const double x = static_cast<float>(static_cast<double>(static_cast<int32_t>(b) - 128) / 127.0);
        const double y = static_cast<float>(b0_ * x + b1_ * x1 + b2_ * x2 - a1_ * y1 - a2_ * y2);
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        if (y > 1.0) {
            b = 255;
        } else if (y < -1.0) {
            b = 0;
        } else if (y != y) {
            b = 128;
        } else {
            b = static_cast<uint8_t>(RoundHalfEven(y * 127.0 + 128.0));
        }
    }
    x1_ = x1;
    x2_ = x2;
    y1_ = y1;
    y2_ = y2;
}

}  // namespace tavrino
