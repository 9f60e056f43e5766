#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "analysis/clsFourier.h"
#include "core/Error.h"

// Counts every allocation of the program, so a test can see that a transform makes none.
namespace {
std::atomic<long> gAllocations{0};
}
void* operator new(std::size_t size) {
    ++gAllocations;
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
    std::vector<Cx> roots(n);
    const long double twoPi = 2.0L * 3.141592653589793238462643383279502884L;
    for (size_t m = 0; m < n; ++m) {
        const long double a = twoPi * static_cast<long double>(m) / static_cast<long double>(n);
        roots[m] = Cx(static_cast<double>(std::cos(a)), static_cast<double>(std::sin(a)));
    }
    std::vector<Cx> out(n);
    for (size_t k = 0; k < n; ++k) {
        Cx sum = 0;
        for (size_t j = 0; j < n; ++j) sum += x[j] * roots[(k * j) % n];
        out[k] = sum;
    }
    return out;
}

double Blackman(size_t i, size_t n) {
    const double t = static_cast<double>(i) * 2.0 * M_PI / static_cast<double>(n - 1);
    return 0.42 - 0.5 * std::cos(t) + 0.08 * std::cos(2 * t);
}

template <typename F>
void ExpectError(int32_t number, F&& call) {
    try {
        call();
        ADD_FAILURE() << "no error " << number;
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), number);
        EXPECT_STREQ(e.what(), number == 380 ? "Number of samples must be a positive value of the form 2 ^ n"
                                             : "Index out of range or number of samples unknown");
    }
}

TEST(Fourier, RefusesBadSizesAndIndices) {
    clsFourier f;
    ExpectError(381, [&] { f.RealIn(1, 1.0); });
    ExpectError(381, [&] { f.ImagIn(1, 1.0); });
    ExpectError(381, [&] { (void)f.RealOut(1); });
    for (int32_t bad : {0, 1, -4, 3, 1000, INT32_MIN}) ExpectError(380, [&] { f.NumberOfSamples(bad); });
    ExpectError(381, [&] { (void)f.ComplexOut(1); });  // still unsized

    f.NumberOfSamples(2);
    f.NumberOfSamples(1024);
    ExpectError(381, [&] { f.RealIn(0, 1.0); });
    ExpectError(381, [&] { f.ImagOut(1025); });
    f.RealIn(1024, 2.0);
    EXPECT_DOUBLE_EQ(f.RealOut(1), 1.0);

    // A refused size keeps the array, its outputs and its clean state.
    const float timing = f.Timing();
    ExpectError(380, [&] { f.NumberOfSamples(6); });
    EXPECT_DOUBLE_EQ(f.RealOut(1), 1.0);
    EXPECT_EQ(f.Timing(), timing);
}

TEST(Fourier, MatchesPlainDftForEverySize) {
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
                const double re = dist(rng);
                const double im = dist(rng);
                f.RealIn(i + 1, re);
                f.ImagIn(i + 1, im);
                const double w = window ? Blackman(static_cast<size_t>(i), static_cast<size_t>(n)) : 0.5;
                x[static_cast<size_t>(i)] = Cx(w * re, im);
                scale += std::abs(x[static_cast<size_t>(i)]);
            }
            const std::vector<Cx> ref = PlainDft(x);
            // The twiddle recurrence and N log N roundings stay far below 1e-12 of the
            // input's total magnitude.
            const double tolerance = 1e-12 * scale;
            double worst = 0;
            for (int32_t k = 0; k < n; ++k) {
                const Cx& r = ref[static_cast<size_t>(k)];
                worst = std::max(worst, std::abs(Cx(f.RealOut(k + 1), f.ImagOut(k + 1)) - r));
                worst = std::max(worst, std::abs(f.ComplexOut(k + 1) - std::abs(r)));
            }
            EXPECT_LE(worst, tolerance);
            // Reading every output ran one transform: the timing is that of the first read.
            const float after = f.Timing();
            (void)f.ComplexOut(n);
            EXPECT_EQ(f.Timing(), after);
        }
    }
}

// The transform step by step as the algorithm is written down: inputs halved (no
// window) at bit-reversed positions, then for len = 2, 4, ..., N each group restarts the
// twiddle at 1 and advances it by the recurrence after every butterfly.
std::vector<Cx> TextbookTransform(const std::vector<Cx>& input) {
    const size_t n = input.size();
    size_t bits = 0;
    while ((size_t{1} << bits) < n) ++bits;
    std::vector<double> re(n), im(n);
    for (size_t i = 0; i < n; ++i) {
        size_t p = 0;
        for (size_t b = 0, v = i; b < bits; ++b, v >>= 1) p = 2 * p + (v & 1);
        re[p] = input[i].real() / 2.0;
        im[p] = input[i].imag();
    }
    const double pi = 4.0 * std::atan(1.0);
    for (size_t half = 1; half < n; half *= 2) {
        const size_t len = 2 * half;
        const double phi = pi / static_cast<double>(len);
        const double alpha = 2.0 * std::sin(phi) * std::sin(phi);
        const double beta = std::sin(2.0 * phi);
        for (size_t g = 0; g < n; g += len) {
            double wr = 1.0, wi = 0.0;
            for (size_t j = g; j < g + half; ++j) {
                const double tr = wr * re[j + half] - wi * im[j + half];
                const double ti = wr * im[j + half] + wi * re[j + half];
                re[j + half] = re[j] - tr;
                im[j + half] = im[j] - ti;
                re[j] += tr;
                im[j] += ti;
                const double nr = wr - (alpha * wr + beta * wi);
                wi = wi + beta * wr - alpha * wi;
                wr = nr;
            }
        }
    }
    std::vector<Cx> out(n);
    for (size_t k = 0; k < n; ++k) out[k] = Cx(re[k], im[k]);
    return out;
}

TEST(Fourier, SameBitsAsTheStepByStepTransform) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> dist(-40000.0, 40000.0);
    for (int32_t n = 2; n <= 4096; n *= 2) {
        clsFourier f;
        f.NumberOfSamples(n);
        std::vector<Cx> x(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) {
            x[static_cast<size_t>(i)] = Cx(dist(rng), dist(rng));
            f.RealIn(i + 1, x[static_cast<size_t>(i)].real());
            f.ImagIn(i + 1, x[static_cast<size_t>(i)].imag());
        }
        const std::vector<Cx> ref = TextbookTransform(x);
        int mismatches = 0;
        for (int32_t k = 0; k < n; ++k) {
            if (f.RealOut(k + 1) != ref[static_cast<size_t>(k)].real() ||
                f.ImagOut(k + 1) != ref[static_cast<size_t>(k)].imag()) {
                ++mismatches;
            }
        }
        EXPECT_EQ(mismatches, 0) << "N " << n;
    }
}

TEST(Fourier, SmallExamples) {
    clsFourier f;
    EXPECT_EQ(f.Timing(), 0.0f);
    f.NumberOfSamples(4);
    for (int32_t i = 1; i <= 4; ++i) f.RealIn(i, 1.0);
    EXPECT_DOUBLE_EQ(f.RealOut(1), 2.0);  // four halves
    for (int32_t k = 2; k <= 4; ++k) EXPECT_NEAR(f.ComplexOut(k), 0.0, 1e-15);

    const double in[] = {0, 2, 0, 0};
    for (int32_t i = 1; i <= 4; ++i) f.RealIn(i, in[i - 1]);
    for (int32_t k = 1; k <= 4; ++k) EXPECT_NEAR(f.ComplexOut(k), 1.0, 1e-15);
    EXPECT_NEAR(f.RealOut(2), 0.0, 1e-15);
    EXPECT_NEAR(f.ImagOut(2), 1.0, 1e-15);  // positive exponent

    // ImagIn before RealIn of the same index is wiped by RealIn.
    clsFourier g;
    g.NumberOfSamples(2);
    g.ImagIn(1, 5.0);
    g.RealIn(1, 2.0);
    g.RealIn(2, 0.0);
    EXPECT_DOUBLE_EQ(g.ImagOut(1), 0.0);
    EXPECT_DOUBLE_EQ(g.RealOut(2), 1.0);
}

// The weight of one index is output 1 (the sum) for a unit impulse there.
double WeightOf(int32_t n, int32_t index) {
    clsFourier f;
    f.NumberOfSamples(n);
    f.WithTimeWindow(-7);  // any non-zero value turns the window on
    for (int32_t i = 1; i <= n; ++i) f.RealIn(i, i == index ? 1.0 : 0.0);
    return f.RealOut(1);
}

TEST(Fourier, SymmetricBlackmanWindow) {
    EXPECT_NEAR(WeightOf(4, 1), 0.0, 1e-15);
    EXPECT_NEAR(WeightOf(4, 2), 0.63, 1e-12);
    EXPECT_NEAR(WeightOf(4, 3), 0.63, 1e-12);
    EXPECT_NEAR(WeightOf(4, 4), 0.0, 1e-15);
    EXPECT_DOUBLE_EQ(WeightOf(1024, 512), WeightOf(1024, 513));
    EXPECT_NEAR(WeightOf(1024, 512), 0.999996, 1e-6);
}

TEST(Fourier, PartialRewriteMixesWithPreviousOutputs) {
    clsFourier f;
    f.NumberOfSamples(8);
    std::vector<Cx> x(8);
    for (int32_t i = 1; i <= 8; ++i) {
        f.RealIn(i, i);
        x[static_cast<size_t>(i - 1)] = i / 2.0;
    }
    std::vector<Cx> first = PlainDft(x);
    (void)f.RealOut(1);
    // The array now holds the outputs in natural order. Rewriting input 2 (stored at
    // bit-reversed position 4) leaves the other elements as inputs of the next transform.
    std::vector<Cx> array = first;
    array[4] = Cx(3.0, 0.0);
    f.RealIn(2, 6.0);
    const int rev[] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (int n = 0; n < 8; ++n) x[static_cast<size_t>(n)] = array[static_cast<size_t>(rev[n])];
    const std::vector<Cx> second = PlainDft(x);
    for (int32_t k = 1; k <= 8; ++k) {
        EXPECT_NEAR(f.RealOut(k), second[static_cast<size_t>(k - 1)].real(), 1e-9);
        EXPECT_NEAR(f.ImagOut(k), second[static_cast<size_t>(k - 1)].imag(), 1e-9);
    }
}

TEST(Fourier, TransformAllocatesNothing) {
    clsFourier f;
    f.NumberOfSamples(4096);
    f.WithTimeWindow(1);
    for (int32_t i = 1; i <= 4096; ++i) f.RealIn(i, std::sin(i * 0.1) * 1000);
    const long before = gAllocations.load();
    const double peak = f.ComplexOut(1);
    for (int32_t i = 1; i <= 4096; ++i) f.RealIn(i, 1.0);
    (void)f.ComplexOut(2);
    EXPECT_EQ(gAllocations.load(), before);
    EXPECT_GT(peak, 0.0);
}

}  // namespace
}  // namespace tavrino
