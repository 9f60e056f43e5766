// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "analysis/clsFourier.h"
#include "core/Error.h"

// Counts the program's allocations, so a test can see that a transform makes none, and
// refuses requests above a limit, as a machine without that much memory would. The
// default limit is the largest array a clsFourier may ask for (2^24 doubles).
namespace {
std::atomic<long> gAllocations{0};
constexpr std::size_t kDefaultLimit = std::size_t{8} << 24;
std::atomic<std::size_t> gAllocationLimit{kDefaultLimit};
}
void* operator new(std::size_t size) {
    ++gAllocations;
    if (size > gAllocationLimit) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tavrino {
namespace {

using Cx = std::complex<double>;

// Plain DFT with the positive exponent: X[k] = sum x[n] e^(+2 pi i k n / N).
std::vector<Cx> PlainDft(const std::vector<Cx>& x) {
    const size_t n = x.size();
    std::vector<Cx> roots(n), out(n);
    for (size_t m = 0; m < n; ++m) roots[m] = Cx(std::polar(1.0L, 2 * M_PIl * m / n));
    for (size_t k = 0; k < n; ++k)
        for (size_t j = 0; j < n; ++j) out[k] += x[j] * roots[(k * j) % n];
    return out;
}

template <typename F>
void ExpectError(int32_t number, F&& call) {
    try {
        call();
        ADD_FAILURE() << "no error " << number;
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), number);
        EXPECT_STREQ(e.what(), number == 380   ? "Number of samples must be a positive value of the form 2 ^ n"
                               : number == 381 ? "Index out of range or number of samples unknown"
                                               : "Out of memory");
    }
}

TEST(Fourier, RefusesBadSizesAndIndices) {
    clsFourier f;
    ExpectError(381, [&] { f.RealIn(1, 1.0); });
    ExpectError(381, [&] { (void)f.RealOut(1); });
    for (int32_t bad : {0, 1, -4, 3, 1000, INT32_MIN}) ExpectError(380, [&] { f.NumberOfSamples(bad); });
    ExpectError(381, [&] { f.ImagIn(1, 1.0); });  // still unsized
    f.NumberOfSamples(2);
    f.NumberOfSamples(1024);
    ExpectError(381, [&] { f.RealIn(0, 1.0); });
    ExpectError(381, [&] { (void)f.ComplexOut(1025); });
    f.RealIn(1024, 2.0);
    EXPECT_DOUBLE_EQ(f.RealOut(1), 1.0);
    // A refused size keeps the array, its outputs and its clean state.
    const float timing = f.Timing();
    ExpectError(380, [&] { f.NumberOfSamples(6); });
    EXPECT_DOUBLE_EQ(f.RealOut(1), 1.0);
    EXPECT_EQ(f.Timing(), timing);
}

// Above 2^24, 380 before anything is allocated (2^30 once asked for 40 GiB and the process
// was killed); an allowed size whose arrays cannot be had raises 7. Both keep N, the
// array and its outputs.
TEST(Fourier, HugeSizesAreRefusedAndAFailedAllocationChangesNothing) {
    clsFourier f;
    f.NumberOfSamples(4);
    for (int32_t i = 1; i <= 4; ++i) f.RealIn(i, 2.0);
    EXPECT_DOUBLE_EQ(f.RealOut(1), 4.0);
    for (int32_t bad : {kMaxFourierSamples * 2, 1 << 30}) ExpectError(380, [&] { f.NumberOfSamples(bad); });
    gAllocationLimit = 1 << 20;
    ExpectError(7, [&] { f.NumberOfSamples(kMaxFourierSamples); });
    gAllocationLimit = kDefaultLimit;
    EXPECT_DOUBLE_EQ(f.RealOut(1), 4.0);
    ExpectError(381, [&] { f.RealIn(5, 1.0); });
}

// The portable passes and the AVX2 build of them (where the processor has AVX2) give the
// same bits, at every size (below 16, the first two passes element by element).
TEST(Fourier, PortableAndWidePassesGiveTheSameBits) {
    struct KernelChoice {
        bool saved = clsFourier::WideKernel();
        ~KernelChoice() { clsFourier::WideKernel(saved); }
    } restore;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> dist(-32768.0, 32767.0);
    for (int32_t n = 2; n <= 8192; n *= 2) {
        std::vector<double> in(2 * static_cast<size_t>(n));
        for (double& v : in) v = dist(rng);
        std::vector<double> out[2];
        for (bool wide : {false, true}) {
            clsFourier::WideKernel(wide);
            clsFourier f;
            f.NumberOfSamples(n);
            f.WithTimeWindow(1);
            for (int32_t i = 0; i < n; ++i) f.RealIn(i + 1, in[2 * size_t(i)]), f.ImagIn(i + 1, in[2 * size_t(i) + 1]);
            for (int32_t k = 1; k <= n; ++k) out[wide].push_back(f.RealOut(k)), out[wide].push_back(f.ImagOut(k));
        }
        EXPECT_EQ(std::memcmp(out[0].data(), out[1].data(), out[0].size() * sizeof(double)), 0) << "N " << n;
    }
}

TEST(Fourier, MatchesPlainDftForEverySizeWithOneTransformPerBatch) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<double> dist(-32768.0, 32767.0);
    for (int32_t n = 2; n <= 4096; n *= 2) {
        for (int32_t window : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "N " << n << " window " << window);
            clsFourier f;
            f.NumberOfSamples(n);
            f.WithTimeWindow(window);
            std::vector<Cx> x(static_cast<size_t>(n));
            double scale = 0;
            for (int32_t i = 0; i < n; ++i) {
                const double re = dist(rng), im = dist(rng), t = i * 2 * M_PI / (n - 1);
                f.RealIn(i + 1, re);
                f.ImagIn(i + 1, im);
                const double w = window ? 0.42 - 0.5 * std::cos(t) + 0.08 * std::cos(2 * t) : 0.5;
                x[static_cast<size_t>(i)] = Cx(w * re, im);
                scale += std::abs(x[static_cast<size_t>(i)]);
            }
            const std::vector<Cx> ref = PlainDft(x);
            // Stated tolerance: 1e-12 of the inputs' total magnitude. Every output is read
            // after the first: a second transform in place would scramble them.
            double worst = 0;
            float timing = 0;
            for (int32_t k = 0; k < n; ++k) {
                const Cx& r = ref[static_cast<size_t>(k)];
                worst = std::max(worst, std::abs(Cx(f.RealOut(k + 1), f.ImagOut(k + 1)) - r));
                worst = std::max(worst, std::abs(f.ComplexOut(k + 1) - std::abs(r)));
                if (k == 0) timing = f.Timing();
            }
            EXPECT_LE(worst, 1e-12 * scale);
            EXPECT_EQ(f.Timing(), timing);
        }
    }
}

TEST(Fourier, SmallExamples) {
    clsFourier f;
    EXPECT_EQ(f.Timing(), 0.0f);
    f.NumberOfSamples(4);
    for (int32_t i = 1; i <= 4; ++i) f.RealIn(i, 1.0);
    EXPECT_DOUBLE_EQ(f.RealOut(1), 2.0);  // four halves
    for (int32_t k = 2; k <= 4; ++k) EXPECT_NEAR(f.ComplexOut(k), 0.0, 1e-15);
    for (int32_t i = 1; i <= 4; ++i) f.RealIn(i, i == 2 ? 2.0 : 0.0);
    for (int32_t k = 1; k <= 4; ++k) EXPECT_NEAR(f.ComplexOut(k), 1.0, 1e-15);
    EXPECT_NEAR(f.RealOut(2), 0.0, 1e-15);
    EXPECT_NEAR(f.ImagOut(2), 1.0, 1e-15);  // positive exponent

    clsFourier g;
    g.NumberOfSamples(2);
    g.ImagIn(1, 5.0);
    g.RealIn(1, 2.0);  // wipes the imaginary part
    g.RealIn(2, 0.0);
    EXPECT_DOUBLE_EQ(g.ImagOut(1), 0.0);
    EXPECT_DOUBLE_EQ(g.RealOut(2), 1.0);
    // Outputs (1, 1) stay in the array; rewriting input 1 alone transforms (2, 1).
    g.RealIn(1, 4.0);
    EXPECT_DOUBLE_EQ(g.RealOut(1), 3.0);
    EXPECT_DOUBLE_EQ(g.RealOut(2), 1.0);
}

TEST(Fourier, SymmetricBlackmanWindow) {
    // The weight of an index is output 1 (the sum) for a unit impulse there.
    auto weight = [](int32_t n, int32_t index) {
        clsFourier f;
        f.NumberOfSamples(n);
        f.WithTimeWindow(-7);  // any non-zero value turns it on
        for (int32_t i = 1; i <= n; ++i) f.RealIn(i, i == index ? 1.0 : 0.0);
        return f.RealOut(1);
    };
    EXPECT_NEAR(weight(4, 1), 0.0, 1e-15);
    EXPECT_NEAR(weight(4, 2), 0.63, 1e-12);
    EXPECT_NEAR(weight(4, 3), 0.63, 1e-12);
    EXPECT_NEAR(weight(4, 4), 0.0, 1e-15);
    EXPECT_DOUBLE_EQ(weight(1024, 512), weight(1024, 513));
    EXPECT_NEAR(weight(1024, 512), 0.999996, 1e-6);
}

TEST(Fourier, TransformAllocatesNothing) {
    clsFourier f;
    f.NumberOfSamples(4096);
    for (int32_t i = 1; i <= 4096; ++i) f.RealIn(i, i % 7);
    const long before = gAllocations.load();
    EXPECT_DOUBLE_EQ(f.RealOut(1), 6143.0);  // the sum of the halves
    EXPECT_EQ(gAllocations.load(), before);
}

}  // namespace
}  // namespace tavrino
