// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/clsFourier.h"

#include <cmath>
#include <new>

#include "core/CpuFeatures.h"
#include "core/Error.h"
#include "core/Nearest.h"

namespace tavrino {

clsFourier::clsFourier()
    : re_(1, 0.0), im_(1, 0.0), pi_(4.0 * std::atan(1.0)), twoPi_(2.0 * pi_) {}

void clsFourier::NumberOfSamples(int32_t nuNumSam) {
    if (nuNumSam <= 1 || nuNumSam > kMaxFourierSamples || (nuNumSam & (nuNumSam - 1)) != 0) {
        throw Error(kErrFourierSize, "Number of samples must be a positive value of the form 2 ^ n");
    }
    const auto n = static_cast<size_t>(nuNumSam);
    // Build everything first so that a failed allocation leaves the object as it was.
    std::vector<double> re;
    std::vector<double> im;
    std::vector<double> window;
    std::vector<double> twRe;
    std::vector<double> twIm;
    try {
        re.assign(n, 0.0);
        im.assign(n, 0.0);
        window.resize(n);
        MakeTwiddles(nuNumSam, twRe, twIm);
    } catch (const std::bad_alloc&) {
        throw Error(7, "Out of memory");
    }
    for (size_t i = 0; i < n; ++i) {
        const double theta = static_cast<double>(i) * twoPi_ / static_cast<double>(nuNumSam - 1);
        window[i] = 0.42 - 0.5 * std::cos(theta) + 0.08 * std::cos(2.0 * theta);
    }

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

// Twiddle factors, pass by pass. For the pass with groups of len = 2 half elements the
// twiddle w starts at 1 and is multiplied by e^(2 pi i / len) after each butterfly
// through the recurrence
//   w' = w - (alpha w.re + beta w.im, alpha w.im - beta w.re),
//   alpha = 2 sin^2(pi / len) = 1 - cos(2 pi / len), beta = sin(2 pi / len),
// so a pass evaluates sin twice and no butterfly calls sin or cos. The sequence depends
// only on N and is the same for every group of a pass and every transform, so it is run
// once here and kept: the pass with half h reads entries h - 1 .. 2h - 2. Running the
// recurrence inside each transform would give the same values to the bit, but its chain
// of dependent multiplications would cost more than all the butterflies together.
void clsFourier::MakeTwiddles(int32_t n, std::vector<double>& twRe, std::vector<double>& twIm) const {
    twRe.assign(static_cast<size_t>(n), 0.0);
    twIm.assign(static_cast<size_t>(n), 0.0);
    for (int32_t half = 1; half < n; half *= 2) {
        const int32_t len = 2 * half;
        const double phi = pi_ / len;
        const double s = std::sin(phi);
        const double alpha = 2.0 * s * s;
        const double beta = std::sin(2.0 * phi);
        double wRe = 1.0;
        double wIm = 0.0;
        for (int32_t j = 0; j < half; ++j) {
            twRe[static_cast<size_t>(half - 1 + j)] = wRe;
            twIm[static_cast<size_t>(half - 1 + j)] = wIm;
            const double nextRe = wRe - (alpha * wRe + beta * wIm);
            const double nextIm = wIm + beta * wRe - alpha * wIm;
            wRe = nextRe;
            wIm = nextIm;
        }
    }
}

namespace {

// Four doubles, for the first two passes (GCC and Clang vector extensions; lowered to
// two halves where the processor has no 4-double vectors: SSE2, NEON).
typedef double V4 __attribute__((vector_size(32)));

// The helpers take vectors by reference only: the calling convention for 32-byte vectors
// by value differs with and without AVX. Always inlined, so that they are compiled for
// the instruction set of the loop that uses them.
[[gnu::always_inline]] inline void Load(V4& v, const double* p) noexcept { __builtin_memcpy(&v, p, sizeof v); }
[[gnu::always_inline]] inline void Store(double* p, const V4& v) noexcept { __builtin_memcpy(p, &v, sizeof v); }
[[gnu::always_inline]] inline void Splat(V4& v, double x) noexcept { v = V4{x, x, x, x}; }

// Rows of four to columns: the 4 x 4 matrix (p[0..3], p[4..7], p[8..11], p[12..15]) is
// read into x0 .. x3 transposed (x0 = p[0] p[4] p[8] p[12], ...).
[[gnu::always_inline]] inline void Transpose(const V4& a, const V4& b, const V4& c, const V4& d, V4& x0, V4& x1,
                                             V4& x2, V4& x3) noexcept {
    const V4 t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
    const V4 t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const V4 t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
    const V4 t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
    x0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    x1 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    x2 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    x3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// One butterfly with twiddle (wr, wi): t = w v; v = u - t; u = u + t.
#define TAVRINO_BUTTERFLY(ur, ui, vr, vi, wr, wi)         \
    do {                                                  \
        const auto tRe = (wr) * (vr) - (wi) * (vi);       \
        const auto tIm = (wr) * (vi) + (wi) * (vr);       \
        (vr) = (ur) - tRe;                                \
        (vi) = (ui) - tIm;                                \
        (ur) += tRe;                                      \
        (ui) += tIm;                                      \
    } while (0)

// The passes over the data, inputs already at bit-reversed positions. Compiled into
// RunPassesPortable for every processor and, on x86-64, into RunPassesAvx2 as well (see
// WideKernel); no fused multiply-add, so both give the same bits.
[[gnu::always_inline]] inline void RunPasses(double* __restrict re, double* __restrict im,
                                             const double* __restrict twRe, const double* __restrict twIm,
                                             int32_t n) noexcept {
    // half = 1 and half = 2 together, four groups of four elements at a time: the
    // four groups are transposed into vector lanes, so that both passes run on whole
    // vectors, and transposed back. The butterflies are those of the two passes, in an
    // order that gives each the same operands.
    if (n >= 16) {
        V4 w0r, w0i, w1r, w1i, w2r, w2i;
        Splat(w0r, twRe[0]);  // half = 1: 1 + 0i
        Splat(w0i, twIm[0]);
        Splat(w1r, twRe[1]);  // half = 2, j = 0
        Splat(w1i, twIm[1]);
        Splat(w2r, twRe[2]);  // half = 2, j = 1
        Splat(w2i, twIm[2]);
        for (int32_t b = 0; b < n; b += 16) {
            V4 a0, a1, a2, a3, r0, r1, r2, r3, i0, i1, i2, i3;
            Load(a0, re + b);
            Load(a1, re + b + 4);
            Load(a2, re + b + 8);
            Load(a3, re + b + 12);
            Transpose(a0, a1, a2, a3, r0, r1, r2, r3);
            Load(a0, im + b);
            Load(a1, im + b + 4);
            Load(a2, im + b + 8);
            Load(a3, im + b + 12);
            Transpose(a0, a1, a2, a3, i0, i1, i2, i3);
            TAVRINO_BUTTERFLY(r0, i0, r1, i1, w0r, w0i);
            TAVRINO_BUTTERFLY(r2, i2, r3, i3, w0r, w0i);
            TAVRINO_BUTTERFLY(r0, i0, r2, i2, w1r, w1i);
            TAVRINO_BUTTERFLY(r1, i1, r3, i3, w2r, w2i);
            V4 o0, o1, o2, o3;
            Transpose(r0, r1, r2, r3, o0, o1, o2, o3);
            Store(re + b, o0);
            Store(re + b + 4, o1);
            Store(re + b + 8, o2);
            Store(re + b + 12, o3);
            Transpose(i0, i1, i2, i3, o0, o1, o2, o3);
            Store(im + b, o0);
            Store(im + b + 4, o1);
            Store(im + b + 8, o2);
            Store(im + b + 12, o3);
        }
    } else {
        // Sizes below 16: the same two passes one element at a time.
        const double wr = twRe[0];
        const double wi = twIm[0];
        for (int32_t k = 0; k < n / 2; ++k) {
            TAVRINO_BUTTERFLY(re[2 * k], im[2 * k], re[2 * k + 1], im[2 * k + 1], wr, wi);
        }
        if (n < 4) return;
        const double w0r = twRe[1], w0i = twIm[1];
        const double w1r = twRe[2], w1i = twIm[2];
        for (int32_t k = 0; k < n / 4; ++k) {
            TAVRINO_BUTTERFLY(re[4 * k], im[4 * k], re[4 * k + 2], im[4 * k + 2], w0r, w0i);
            TAVRINO_BUTTERFLY(re[4 * k + 1], im[4 * k + 1], re[4 * k + 3], im[4 * k + 3], w1r, w1i);
        }
    }
    // half >= 4, two passes per sweep (half and 2 half): for each j of a block of
    // 4 half elements, the four elements j, j + half, j + 2 half, j + 3 half go through
    // both passes' butterflies while in registers. The butterflies of a group run over
    // contiguous elements and vectorise.
    int32_t half = 4;
    for (; 4 * half <= n; half *= 4) {
        const double* __restrict w1r = twRe + half - 1;  // pass half
        const double* __restrict w1i = twIm + half - 1;
        const double* __restrict w2r = twRe + 2 * half - 1;  // pass 2 half
        const double* __restrict w2i = twIm + 2 * half - 1;
        for (int32_t g = 0; g < n; g += 4 * half) {
            double* __restrict aR = re + g;
            double* __restrict aI = im + g;
            double* __restrict bR = re + g + half;
            double* __restrict bI = im + g + half;
            double* __restrict cR = re + g + 2 * half;
            double* __restrict cI = im + g + 2 * half;
            double* __restrict dR = re + g + 3 * half;
            double* __restrict dI = im + g + 3 * half;
#pragma GCC ivdep
            for (int32_t j = 0; j < half; ++j) {
                double ar = aR[j], ai = aI[j], br = bR[j], bi = bI[j];
                double cr = cR[j], ci = cI[j], dr = dR[j], di = dI[j];
                TAVRINO_BUTTERFLY(ar, ai, br, bi, w1r[j], w1i[j]);
                TAVRINO_BUTTERFLY(cr, ci, dr, di, w1r[j], w1i[j]);
                TAVRINO_BUTTERFLY(ar, ai, cr, ci, w2r[j], w2i[j]);
                TAVRINO_BUTTERFLY(br, bi, dr, di, w2r[j + half], w2i[j + half]);
                aR[j] = ar;
                aI[j] = ai;
                bR[j] = br;
                bI[j] = bi;
                cR[j] = cr;
                cI[j] = ci;
                dR[j] = dr;
                dI[j] = di;
            }
        }
    }
    // An odd number of passes left: the last one (half = N / 2) alone.
    if (half < n) {
        const double* __restrict wr = twRe + half - 1;
        const double* __restrict wi = twIm + half - 1;
        double* __restrict uRe = re;
        double* __restrict uIm = im;
        double* __restrict vRe = re + half;
        double* __restrict vIm = im + half;
#pragma GCC ivdep
        for (int32_t j = 0; j < half; ++j) {
            TAVRINO_BUTTERFLY(uRe[j], uIm[j], vRe[j], vIm[j], wr[j], wi[j]);
        }
    }
}

#undef TAVRINO_BUTTERFLY

void RunPassesPortable(double* __restrict re, double* __restrict im, const double* __restrict twRe,
                       const double* __restrict twIm, int32_t n) noexcept {
    RunPasses(re, im, twRe, twIm, n);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void RunPassesAvx2(double* __restrict re, double* __restrict im,
                                            const double* __restrict twRe, const double* __restrict twIm,
                                            int32_t n) noexcept {
    RunPasses(re, im, twRe, twIm, n);
}
#endif

// Decided once, before main.
const bool kHaveWideKernel = CpuHasAvx2();
bool g_wide_kernel = kHaveWideKernel;

}  // namespace

bool clsFourier::WideKernel() noexcept { return g_wide_kernel; }
void clsFourier::WideKernel(bool use) noexcept { g_wide_kernel = use && kHaveWideKernel; }

// Radix-2 decimation in time, in place: passes with len = 2, 4, ..., N; in each, every
// group of len elements combines its halves u (first) and v (second) by butterflies,
// the j-th of a group with twiddle j of the pass.
void clsFourier::Transform() noexcept {
#if defined(__x86_64__)
    if (g_wide_kernel) {
        RunPassesAvx2(re_.data(), im_.data(), twRe_.data(), twIm_.data(), upperIndex_ + 1);
        return;
    }
#endif
    RunPassesPortable(re_.data(), im_.data(), twRe_.data(), twIm_.data(), upperIndex_ + 1);
}

}  // namespace tavrino
