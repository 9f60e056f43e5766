// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// clsFourier: the discrete Fourier transform of N complex values (N a power of two, at
// least 2) by an in-place iterative radix-2 decimation-in-time FFT.
//
// Use: NumberOfSamples(N) first; WithTimeWindow before the RealIn writes it is to
// affect; RealIn (and, after it, ImagIn) for each index 1..N; then any number of output
// reads. The transform runs lazily, once, on the first output read after an input
// changed; further reads return the stored outputs.
//
// Conventions the caller sees:
// - Positive exponent: output k + 1 is X[k] = sum_n x[n] e^(+2 pi i k n / N). For real
//   inputs the magnitudes are the usual ones; ImagOut has the opposite sign of the usual
//   negative-exponent transform. No normalisation by N.
// - RealIn stores v / 2 without the window (half the input), or v weighted by the
//   symmetric Blackman window 0.42 - 0.5 cos t + 0.08 cos 2t, t = (Index - 1) 2 pi / (N - 1),
//   with it (first and last weights 0). The window is applied when the value is written.
//   RealIn sets the element's imaginary part to 0; ImagIn stores its value unweighted.
// - In place: an input that is not rewritten after a transform keeps that transform's
//   output and takes part in the next transform as an input. Write all N inputs.
// - Errors (tavrino::Error): 380 "Number of samples must be a positive value of the form
//   2 ^ n" from NumberOfSamples, also for N above kMaxFourierSamples; 7 "Out of memory"
//   from NumberOfSamples when the arrays of an allowed N cannot be allocated; 381 "Index
//   out of range or number of samples unknown" from every indexed member before
//   NumberOfSamples or outside 1..N. A refused call changes nothing.
// - Size bound: N is at most 2^24. The object then holds five arrays of N doubles
//   (640 MiB); a display needs a few thousand points, and without a bound a mistaken size
//   such as 2^30 would ask for 40 GiB and bring the process down.
// - Timing: the duration of the last transform in milliseconds, measured with
//   std::chrono::steady_clock; 0 before the first transform.
//
// Cost: inputs are placed at bit-reversed positions as they are written (log2 N steps
// each), so the transform has no reordering pass. Twiddle factors come from a
// recurrence (two sin calls per pass, none per butterfly); as they depend only on N,
// NumberOfSamples runs the recurrence once and keeps its values for every transform.
// Only NumberOfSamples allocates; a transform never does. Real and imaginary parts are
// kept in two arrays so the butterflies vectorise: portable code that every processor
// compiles, and on x86-64 an AVX2 build of the same code where the processor has it
// (see WideKernel); without fused multiply-add, so every machine computes the same bits.
//
// Threads: one object belongs to one thread at a time.

#include <chrono>
#include <cstdint>
#include <vector>

namespace tavrino {

inline constexpr int32_t kErrFourierSize = 380;
inline constexpr int32_t kMaxFourierSamples = 1 << 24;  // the largest N NumberOfSamples takes
inline constexpr int32_t kErrFourierIndex = 381;

class clsFourier {
public:
    clsFourier();

    // Sets N and zeroes every element (inputs and outputs are lost). Error 380 unless
    // nuNumSam is a power of two from 2 to kMaxFourierSamples; error 7 when its arrays
    // cannot be allocated.
    void NumberOfSamples(int32_t nuNumSam);
    // Non-zero turns the window on for the RealIn writes that follow.
    void WithTimeWindow(int32_t nuTimeWindow) noexcept { timeWindow_ = nuTimeWindow; }

    // Input Index (1..N), real part (windowed or halved) and imaginary part.
    void RealIn(int32_t Index, double nuValueIn);
    void ImagIn(int32_t Index, double nuValueIn);

    // Output Index (1..N): real part, imaginary part, magnitude sqrt(re^2 + im^2).
    // Each runs the pending transform first, if any.
    double RealOut(int32_t Index);
    double ImagOut(int32_t Index);
    double ComplexOut(int32_t Index);

    // Duration of the last transform, milliseconds.
    float Timing() const noexcept;

    // Whether transforms use the AVX2 build of the passes (x86-64 only) rather than the
    // portable one. Both give the same bits; AVX2 is chosen when the processor has it.
    // Writing false forces the portable passes for every object (tests, diagnostics);
    // writing true takes AVX2 only where the processor has it. Not thread-safe: write it
    // before any transform runs.
    static bool WideKernel() noexcept;
    static void WideKernel(bool use) noexcept;

private:
    struct Complex {
        double re;
        double im;
    };

    void CheckIndex(int32_t Index) const;
    static int32_t ReverseBits(int32_t value, int32_t count) noexcept;
    Complex GetOutput(int32_t Index);
    void MakeTwiddles(int32_t n, std::vector<double>& twRe, std::vector<double>& twIm) const;
    void Transform() noexcept;

    // The data array: before a transform the inputs at bit-reversed positions, after it
    // the outputs in natural order. re_[i] + i im_[i] is element i.
    std::vector<double> re_;
    std::vector<double> im_;
    // Blackman weights of indices 1..N (element i for Index i + 1), made with the array.
    std::vector<double> window_;
    // Twiddle factors of every pass (see MakeTwiddles), made with the array.
    std::vector<double> twRe_;
    std::vector<double> twIm_;

    bool sized_ = false;
    bool dirty_ = false;
    int32_t timeWindow_ = 0;
    int32_t upperIndex_ = 0;  // N - 1
    int32_t bitCount_ = 0;    // log2 N
    double pi_;
    double twoPi_;

    std::chrono::steady_clock::time_point start_{};
    std::chrono::steady_clock::time_point end_{};
};

}  // namespace tavrino
