#include "analysis/clsFourier.h"

#include <cmath>

#include "core/Error.h"
#include "core/Nearest.h"

namespace tavrino {

clsFourier::clsFourier()
    : re_(1, 0.0), im_(1, 0.0), pi_(4.0 * std::atan(1.0)), twoPi_(2.0 * pi_) {}

void clsFourier::NumberOfSamples(int32_t nuNumSam) {
    if (nuNumSam <= 1 || (nuNumSam & (nuNumSam - 1)) != 0) {
        throw Error(kErrFourierSize, "Number of samples must be a positive value of the form 2 ^ n");
    }
    const auto n = static_cast<size_t>(nuNumSam);
    // Build everything first so that a failed allocation leaves the object as it was.
    std::vector<double> re(n, 0.0);
    std::vector<double> im(n, 0.0);
    std::vector<double> window(n);
    for (size_t i = 0; i < n; ++i) {
        const double theta = static_cast<double>(i) * twoPi_ / static_cast<double>(nuNumSam - 1);
        window[i] = 0.42 - 0.5 * std::cos(theta) + 0.08 * std::cos(2.0 * theta);
    }
    std::vector<double> twRe(n / 2);
    std::vector<double> twIm(n / 2);

    re_.swap(re);
    im_.swap(im);
    window_.swap(window);
    twRe_.swap(twRe);
    twIm_.swap(twIm);
    sized_ = true;
    upperIndex_ = nuNumSam - 1;
    bitCount_ = NearestInt32(std::log(static_cast<double>(nuNumSam)) / std::log(2.0));
    dirty_ = true;
}

void clsFourier::CheckIndex(int32_t Index) const {
    if (!sized_ || Index < 1 || Index > upperIndex_ + 1) {
        throw Error(kErrFourierIndex, "Index out of range or number of samples unknown");
    }
}

int32_t clsFourier::ReverseBits(int32_t value, int32_t count) noexcept {
    uint32_t v = static_cast<uint32_t>(value);
    uint32_t result = 0;
    for (int32_t i = 0; i < count; ++i) {
        result = 2 * result + (v & 1u);
        v >>= 1;
    }
    return static_cast<int32_t>(result);
}

void clsFourier::RealIn(int32_t Index, double nuValueIn) {
    CheckIndex(Index);
    const auto p = static_cast<size_t>(ReverseBits(Index - 1, bitCount_));
    re_[p] = timeWindow_ != 0 ? window_[static_cast<size_t>(Index - 1)] * nuValueIn : nuValueIn / 2.0;
    im_[p] = 0.0;
    dirty_ = true;
}

void clsFourier::ImagIn(int32_t Index, double nuValueIn) {
    CheckIndex(Index);
    const auto p = static_cast<size_t>(ReverseBits(Index - 1, bitCount_));
    im_[p] = nuValueIn;
    dirty_ = true;
}

clsFourier::Complex clsFourier::GetOutput(int32_t Index) {
    CheckIndex(Index);
    if (dirty_) {
        dirty_ = false;
        start_ = std::chrono::steady_clock::now();
        Transform();
        end_ = std::chrono::steady_clock::now();
    }
    const auto i = static_cast<size_t>(Index - 1);
    return {re_[i], im_[i]};
}

double clsFourier::RealOut(int32_t Index) { return GetOutput(Index).re; }

double clsFourier::ImagOut(int32_t Index) { return GetOutput(Index).im; }

double clsFourier::ComplexOut(int32_t Index) {
    const Complex c = GetOutput(Index);
    return std::sqrt(c.re * c.re + c.im * c.im);
}

float clsFourier::Timing() const noexcept {
    const std::chrono::duration<double, std::milli> ms = end_ - start_;
    return static_cast<float>(ms.count());
}

// Radix-2 decimation in time over inputs already at bit-reversed positions. Pass by
// pass, len = 2 half doubles up to N. Within a group the twiddle w starts at 1 and is
// multiplied by e^(2 pi i / len) after each butterfly through the recurrence
//   w' = w - (alpha w.re + beta w.im, alpha w.im - beta w.re),
//   alpha = 2 sin^2(pi / len) = 1 - cos(2 pi / len), beta = sin(2 pi / len).
// Every group of a pass runs the same sequence of w, so the sequence is generated once
// per pass (bit for bit the values a per-group recurrence gives) and then read by all
// groups. The butterfly is t = w v; v = u - t; u = u + t.
void clsFourier::Transform() noexcept {
    const int32_t n = upperIndex_ + 1;
    double* __restrict re = re_.data();
    double* __restrict im = im_.data();
    double* __restrict twRe = twRe_.data();
    double* __restrict twIm = twIm_.data();

    int32_t half = 1;
    for (;;) {
        const int32_t len = 2 * half;
        const double phi = pi_ / len;
        const double s = std::sin(phi);
        const double alpha = 2.0 * s * s;
        const double beta = std::sin(2.0 * phi);

        double wRe = 1.0;
        double wIm = 0.0;
        for (int32_t j = 0; j < half; ++j) {
            twRe[j] = wRe;
            twIm[j] = wIm;
            const double nextRe = wRe - (alpha * wRe + beta * wIm);
            const double nextIm = wIm + beta * wRe - alpha * wIm;
            wRe = nextRe;
            wIm = nextIm;
        }

        if (half == 1) {
            // One butterfly per group, w = 1 + 0i (kept as a multiplication so that the
            // result is the general butterfly's to the bit).
            const double w0Re = twRe[0];
            const double w0Im = twIm[0];
            for (int32_t g = 0; g < n; g += 2) {
                const double tRe = w0Re * re[g + 1] - w0Im * im[g + 1];
                const double tIm = w0Re * im[g + 1] + w0Im * re[g + 1];
                re[g + 1] = re[g] - tRe;
                im[g + 1] = im[g] - tIm;
                re[g] += tRe;
                im[g] += tIm;
            }
        } else {
            for (int32_t g = 0; g < n; g += len) {
                double* __restrict uRe = re + g;
                double* __restrict uIm = im + g;
                double* __restrict vRe = re + g + half;
                double* __restrict vIm = im + g + half;
                for (int32_t j = 0; j < half; ++j) {
                    const double tRe = twRe[j] * vRe[j] - twIm[j] * vIm[j];
                    const double tIm = twRe[j] * vIm[j] + twIm[j] * vRe[j];
                    vRe[j] = uRe[j] - tRe;
                    vIm[j] = uIm[j] - tIm;
                    uRe[j] += tRe;
                    uIm[j] += tIm;
                }
            }
        }

        half = len;
        if (n - 1 < len) break;
    }
}

}  // namespace tavrino
