// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// IIRFilter: one second-order recursive (biquad) filter, coefficients after the
// Audio EQ Cookbook in its bandwidth form. The equalizer of clsDSP is a row of these
// (peaking type); the class also serves on its own.
//
// Arithmetic (observable in every recording, so it is fixed):
// - coefficients, parameters and history are 32-bit floats. Each formula is evaluated
//   in double from its float operands and rounded to float where its result is stored
//   (each step of the design, each coefficient, x and y of every value). This is what
//   lets a 0 dB peaking band pass a signal unchanged: with float rounding inside the
//   recursion, low bands drift by a few steps;
// - 2*pi is the float 6.2831855, ln 2 the float 0.6931472;
// - samples are scaled to -1..1 by dividing by 32767 (8-bit: (b - 128) / 127);
// - an output above 1 gives 32767 (255), below -1 gives -32768 (0), otherwise the
//   nearest integer of y * 32767 (y * 127 + 128), ties to even.
//
// A new filter has every coefficient 0 and outputs 0 for every sample until its
// coefficients are created (CreateBiquadIIR, or a property write once samplerate > 0).
//
// Edge cases, and why they behave so:
// - IIRType outside 0..3 has no coefficient set: such a filter leaves samples
//   unchanged and keeps its history, like a disabled one, so a wrong type never
//   silences a recording.
// - Bandwidth, GainDB and Frequency refuse NaN and infinity with Error 32000
//   "invalid value" (dsp/RequireFinite.h); a refused write changes nothing, since one
//   such value would poison the history and every later sample.
// - Coefficients that are not numbers (a frequency of 0, a sample rate far too low)
//   make the filter output 0 (128 for 8-bit) for the values it cannot convert: the
//   per-buffer calls run on every captured buffer and never raise.
//
// Thread safety: none; one thread uses a filter at a time. ProcessSamples_16bit and
// ProcessSamples_8bit do not allocate, lock or throw.

#include <cstdint>
#include <span>

namespace tavrino {

class clsDSP;

class IIRFilter {
public:
    // Values of IIRType.
    static constexpr int32_t kLowPass = 0;
    static constexpr int32_t kHighPass = 1;
    static constexpr int32_t kBandPass = 2;  // 0 dB peak gain
    static constexpr int32_t kPeaking = 3;

    IIRFilter() = default;

    // When false, processing returns at once: samples and history stay as they are.
    bool Enabled() const noexcept { return enabled_; }
    void Enabled(bool blnVal) noexcept { enabled_ = blnVal; }

    // Bandwidth parameter bw (octaves between the -3 dB points for band-pass and
    // peaking). Write: stored, then the coefficients are recomputed (samplerate > 0).
    float Bandwidth() const noexcept { return bandwidth_; }
    void Bandwidth(float sngVal);

    // Filter type (kLowPass ... kPeaking); set only by CreateBiquadIIR.
    int32_t IIRType() const noexcept { return type_; }

    // Gain in dB, used by the peaking type. Write: stored, then recomputed.
    float GainDB() const noexcept { return gain_db_; }
    void GainDB(float sngVal);

    // Centre or corner frequency in Hz. Write: stored, then recomputed.
    float Frequency() const noexcept { return frequency_; }
    void Frequency(float sngVal);

    // Sample rate in Hz. Write: stored, then recomputed if greater than 0. A rate whose
    // float value has no 32-bit integer (above 2147483520) raises Error 6 "Overflow".
    int32_t samplerate() const noexcept { return samplerate_; }
    void samplerate(int32_t lngVal);

    // Stores the parameters (samplerate = srate rounded to nearest, ties to even) and
    // computes the coefficients; clears the history (x1, x2, y1, y2).
    // Raises Error 6 "Overflow" when srate has no 32-bit integer (NaN included); then
    // nothing changes.
    void CreateBiquadIIR(int32_t IIRType, float dBGain, float freq, float srate, float bw);

    // Filters 16-bit samples in place. The history carries over to the next call.
    void ProcessSamples_16bit(std::span<int16_t> intSamples) noexcept;

    // Filters unsigned 8-bit samples (centre 128) in place.
    void ProcessSamples_8bit(std::span<uint8_t> btSamples) noexcept;

private:
    friend class clsDSP;

    // Parameters of CreateBiquadIIR once validated: never raises.
    void Design(int32_t type, float dBGain, float freq, int32_t srate_int, float srate, float bw) noexcept;
    void Recompute();
    bool Passes() const noexcept { return type_ >= kLowPass && type_ <= kPeaking; }

    // One 16-bit value through the recursion; the caller checks Enabled and the type.
    inline int16_t Step16(int16_t s) noexcept;

    // Coefficients and history are 32-bit float values, kept in doubles so that the
    // per-value loop converts nothing.
    double b0_ = 0, b1_ = 0, b2_ = 0;  // feed-forward, divided by a0
    double a1_ = 0, a2_ = 0;           // feedback, divided by a0
    double x1_ = 0, x2_ = 0;           // previous inputs, -1..1
    double y1_ = 0, y2_ = 0;           // previous outputs
    int32_t samplerate_ = 0;          // Hz
    int32_t type_ = kLowPass;
    float gain_db_ = 0;               // dB
    float frequency_ = 0;             // Hz
    float bandwidth_ = 0;
    bool enabled_ = true;
};

// The conversion of a filter output (nominally -1..1) to a 16-bit sample: clipped
// first, then the nearest integer of y * 32767 (exact in double), ties to even; not a
// number gives 0.
inline int16_t FilterOutputToSample(double y) noexcept {
    if (y > 1.0) return 32767;
    if (y < -1.0) return -32768;
    if (y != y) return 0;
    constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52: the FPU rounds ties to even
    return static_cast<int16_t>((y * 32767.0 + kShift) - kShift);
}

// s / 32767 rounded to float equals s * (1 / 32767) rounded to float for every 16-bit
// s (checked exhaustively by the tests); the product is much cheaper than the division.
inline constexpr double kInv32767 = 1.0 / 32767.0;

inline int16_t IIRFilter::Step16(int16_t s) noexcept {
    const double x = static_cast<float>(static_cast<double>(s) * kInv32767);
    const double y = static_cast<float>(b0_ * x + b1_ * x1_ + b2_ * x2_ - a1_ * y1_ - a2_ * y2_);
    x2_ = x1_;
    x1_ = x;
    y2_ = y1_;
    y1_ = y;
    return FilterOutputToSample(y);
}

}  // namespace tavrino
