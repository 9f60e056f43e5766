// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/clsDSP.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>  // index_sequence

#include "core/CpuFeatures.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "dsp/RequireFinite.h"

namespace tavrino {
namespace {

constexpr float kPi = 3.1415927f;  // pi as a 32-bit float
constexpr int32_t kDefaultBands = 7;
constexpr int32_t kMaxBands = 10;
constexpr float kLowestBand = 80.0f;  // Hz

}  // namespace

clsDSP::clsDSP() : band_gains_(kDefaultBands, 0.0f), bands_(kDefaultBands) {}

// ---------------------------------------------------------------------------------------
// Properties

void clsDSP::samplerate(int32_t lngSR) {
    if (lngSR < 1 || lngSR > 96000) throw Error(32000, "invalid samplerate");
    const int32_t old = samplerate_;
    samplerate_ = lngSR;
    try {
        UpdateAll();
    } catch (...) {
        samplerate_ = old;
        throw;
    }
}

void clsDSP::Channels(int16_t intCh) {
    if (intCh < 1 || intCh > 2) throw Error(32000, "invalid channels");
    const int16_t old = channels_;
    channels_ = intCh;
    try {
        UpdateAll();
    } catch (...) {
        channels_ = old;
        throw;
    }
}

void clsDSP::EchoLength(int32_t lngMS) {
    if (lngMS <= 0) throw Error(32000, "invalid echo length");
    if (samplerate_ == 0) {
        echo_length_ = lngMS;
        return;
    }
    bool ok = false;
    std::vector<int16_t> line = MakeEchoLine(samplerate_, lngMS, &ok);
    if (!ok) throw Error(32000, "invalid echo length");
    echo_length_ = lngMS;
    echo_line_ = std::move(line);
    echo_amp_in_use_ = echo_amp_;
    echo_pos_ = 0;
}

void clsDSP::EchoAmp(float sngAmp) {
    RequireFinite(sngAmp);
    const float old = echo_amp_;
    echo_amp_ = static_cast<double>(sngAmp) > 0.9 ? 0.9f : sngAmp;
    try {
        UpdateEchoBuffer();
    } catch (...) {
        echo_amp_ = old;
        throw;
    }
}

void clsDSP::SetPhaserValue(float* field, float value) {
    RequireFinite(value);
    *field = value;
    UpdatePhaser();
}

void clsDSP::PhaseShiftWet(float sng) { SetPhaserValue(&ps_wet_, sng); }
void clsDSP::PhaseShiftDry(float sng) { SetPhaserValue(&ps_dry_, sng); }
void clsDSP::PhaseShiftFeedback(float sng) { SetPhaserValue(&ps_feedback_, sng); }
void clsDSP::PhaseShiftSweepRate(float sng) { SetPhaserValue(&ps_sweep_rate_, sng); }
void clsDSP::PhaseShiftSweepRange(float sng) { SetPhaserValue(&ps_sweep_range_, sng); }
void clsDSP::PhaseShiftFrequency(float sng) { SetPhaserValue(&ps_frequency_, sng); }

void clsDSP::EqualizerBands(int32_t lngBands) {
    if (lngBands < 1 || lngBands > kMaxBands) throw Error(32000, "Out Of Bounds!");
    std::vector<float> gains(static_cast<size_t>(lngBands), 0.0f);
    std::vector<IIRFilter> bands(static_cast<size_t>(lngBands));
    band_gains_.swap(gains);
    bands_.swap(bands);
    UpdateEqualizer();
}

void clsDSP::CheckIndex(int32_t Index) const {
    if (Index < 0 || Index >= EqualizerBands()) throw Error(32000, "Out Of Bounds!");
}

int32_t clsDSP::EqualizerBandFrequency(int32_t Index) const {
    CheckIndex(Index);
    return NearestInt32(bands_[static_cast<size_t>(Index)].Frequency());
}

float clsDSP::EqualizerBandGainDB(int32_t Index) const {
    CheckIndex(Index);
    return band_gains_[static_cast<size_t>(Index)];
}

void clsDSP::EqualizerBandGainDB(int32_t Index, float gain_db) {
    CheckIndex(Index);
    RequireFinite(gain_db);
    band_gains_[static_cast<size_t>(Index)] = gain_db;
    UpdateEqualizer();
}

// ---------------------------------------------------------------------------------------
// Update routines

void clsDSP::UpdateAll() {
    if (samplerate_ == 0 || channels_ == 0) return;
    UpdateEchoBuffer();  // the only step that can raise, and it does so before any change
    UpdatePhaser();
    UpdateEqualizer();
}

std::vector<int16_t> clsDSP::MakeEchoLine(int32_t rate, int32_t ms, bool* ok) const {
    // Length in values: rate / 1000 * ms in double, to nearest with ties to even.
    const double length = RoundHalfEven(static_cast<double>(rate) / 1000.0 * static_cast<double>(ms));
    *ok = length >= 1.0 && length <= static_cast<double>(kMaxEchoLine);
    if (!*ok) return {};
    try {
        return std::vector<int16_t>(static_cast<size_t>(length), 0);
    } catch (const std::bad_alloc&) {
        throw Error(7, "Out of memory");
    }
}

void clsDSP::UpdateEchoBuffer() {
    if (samplerate_ == 0) return;
    bool ok = false;
    std::vector<int16_t> line = MakeEchoLine(samplerate_, echo_length_, &ok);
    echo_line_ = std::move(line);  // empty when the stored length gives no line
    echo_amp_in_use_ = echo_amp_;
    echo_pos_ = 0;
}

void clsDSP::UpdatePhaser() noexcept {
    if (samplerate_ == 0) return;
    using D = double;
    const D rate = samplerate_;
    sweep_min_ = static_cast<float>(D(ps_frequency_) * kPi / rate);
    const float range = static_cast<float>(std::pow(2.0, D(ps_sweep_range_)));
    sweep_max_ = static_cast<float>(D(ps_frequency_) * kPi * range / rate);
    sweep_factor_ = static_cast<float>(std::pow(D(range), 2.0 * ps_sweep_rate_ / rate));
    sweep_step_ = sweep_factor_;
    sweep_pos_ = sweep_min_;
}

void clsDSP::UpdateEqualizer() noexcept {
    if (samplerate_ == 0) return;
    const size_t n = bands_.size();
    const double top = RoundHalfEven(static_cast<double>(samplerate_) / 3.0);
    const double ratio = top / static_cast<double>(kLowestBand);
    const float bw = static_cast<float>(std::log(ratio) / 4.0);
    for (size_t i = 0; i < n; ++i) {
        // One band has no spacing: it takes the first place of the row.
        const double exponent = n > 1 ? static_cast<double>(i) / static_cast<double>(n - 1) : 0.0;
        const float freq = static_cast<float>(static_cast<double>(kLowestBand) * std::pow(ratio, exponent));
        bands_[i].Design(IIRFilter::kPeaking, band_gains_[i], freq, samplerate_, static_cast<float>(samplerate_),
                         bw);
    }
}

// ---------------------------------------------------------------------------------------
// Processing

namespace {

// The echo on locals for one buffer.
struct EchoRun {
    int16_t* line;
    int32_t length;
    int32_t pos;
    float amp;

    [[gnu::always_inline]] int16_t Step(int16_t s) noexcept {
        const int32_t t = static_cast<int32_t>(s) + line[pos];
        const int16_t out = static_cast<int16_t>(std::clamp<int32_t>(t, -32768, 32767));
        // The exact product, rounded; clipped, since amp may be -1 or below.
        line[pos] = ToSample(static_cast<double>(out) * amp);
        if (++pos == length) pos = 0;
        return out;
    }
};

// The phaser on locals for one buffer. Each line is evaluated in double from float
// operands and its result held as a float.
struct PhaserRun {
    float x1, x2, x3, x4, y1, y2, y3, y4;
    float pos, step, up, down, lo, hi;
    double fb, wet, dry;

    [[gnu::always_inline]] int16_t Step(int16_t s) noexcept {
        using D = double;
        const float x = static_cast<float>(D(s) * kInv32767);
        const D c = static_cast<float>((1.0 - pos) / (1.0 + pos));
        const float in = static_cast<float>(x + y4 * fb);
        y1 = static_cast<float>(c * (D(in) + y1) - x1);
        x1 = in;
        y2 = static_cast<float>(c * (D(y1) + y2) - x2);
        x2 = y1;
        y3 = static_cast<float>(c * (D(y2) + y3) - x3);
        x3 = y2;
        y4 = static_cast<float>(c * (D(y3) + y4) - x4);
        x4 = y3;
        const float out = static_cast<float>(wet * y4 + dry * x);
        pos = pos * step;
        if (pos > hi) {
            step = down;
        } else if (pos < lo) {
            step = up;
        }
        return ToSample(out * 32767.0f);
    }
};

// Which effects run over a buffer, and the amplifier's factor.
struct ChainSetup {
    bool amplify, echo, phaser, eq;
    float factor;
};

// The equalizer row as the kernels load and store it: one entry per lane (see
// ChainKernel.inc), coefficients and history of IIRFilter, all float values.
constexpr int kLanes = 8;                     // lanes of the row: at most 8 bands
constexpr int kLag = 2;                       // steps between a lane and the next
constexpr size_t kFill = kLag * (kLanes - 1);  // steps for a sample to cross the row
constexpr size_t kAhead = 4;  // samples the other effects run ahead of the equalizer
struct RowData {
    double b0[kLanes], b1[kLanes], b2[kLanes], a1[kLanes], a2[kLanes];
    double x1[kLanes], x2[kLanes], y1[kLanes], y2[kLanes];
};

}  // namespace

// The same loop, see ChainKernel.inc: portable, and on x86-64 also for AVX2.
namespace portable {
#define CHAIN_LANES 2
#include "dsp/ChainKernel.inc"
#undef CHAIN_LANES
}  // namespace portable

#if defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
#define CHAIN_LANES 4
#include "dsp/ChainKernel.inc"
#undef CHAIN_LANES
}  // namespace avx2
#pragma GCC pop_options
#endif

namespace {

// Decided once, before main.
const bool kHaveWideKernel = CpuHasAvx2();
bool g_wide_kernel = kHaveWideKernel;

}  // namespace

bool clsDSP::WideKernel() noexcept { return g_wide_kernel; }
void clsDSP::WideKernel(bool use) noexcept { g_wide_kernel = use && kHaveWideKernel; }

// Each effect sees the values in order, each one after the effects before it, so the
// results are those of running the effects one after the other over the whole buffer
// even though they run in one loop (see ChainKernel.inc).
void clsDSP::ProcessSamples(std::span<int16_t> intSamples) noexcept {
    if (samplerate_ == 0 || channels_ == 0 || intSamples.empty()) return;
    const size_t bands = (effects_used_ & FX_EQUALIZER) != 0 ? bands_.size() : 0;
    ChainSetup setup{};
    setup.amplify = (effects_used_ & FX_AMPLIFY) != 0;
    setup.echo = (effects_used_ & FX_ECHO) != 0 && !echo_line_.empty();
    setup.phaser = (effects_used_ & FX_PHASESHIFT) != 0;
    setup.eq = bands > 0 && bands <= static_cast<size_t>(kLanes);
    setup.factor = AmplifyFactor(static_cast<float>(amplify_db_), AmplifyUnit::Decibel);
    if (!setup.amplify && !setup.echo && !setup.phaser && bands == 0) return;

    EchoRun echo{echo_line_.data(), static_cast<int32_t>(echo_line_.size()), echo_pos_, echo_amp_in_use_};
    PhaserRun phaser{ps_x1_, ps_x2_, ps_x3_, ps_x4_, ps_y1_, ps_y2_, ps_y3_, ps_y4_,
                     sweep_pos_, sweep_step_, sweep_factor_, static_cast<float>(1.0 / sweep_factor_),
                     sweep_min_, sweep_max_, ps_feedback_, ps_wet_, ps_dry_};

    // The bands in the last lanes, identity filters in front of them.
    RowData row{};
    const size_t first_band = setup.eq ? static_cast<size_t>(kLanes) - bands : 0;
    if (setup.eq) {
        for (size_t j = 0; j < first_band; ++j) row.b0[j] = 1.0;
        for (size_t k = 0; k < bands; ++k) {
            const IIRFilter& f = bands_[k];
            const size_t j = first_band + k;
            row.b0[j] = f.b0_, row.b1[j] = f.b1_, row.b2[j] = f.b2_, row.a1[j] = f.a1_, row.a2[j] = f.a2_;
            row.x1[j] = f.x1_, row.x2[j] = f.x2_, row.y1[j] = f.y1_, row.y2[j] = f.y2_;
        }
    }

#if defined(__x86_64__)
    if (g_wide_kernel) {
        avx2::RunChain(setup, echo, phaser, row, intSamples.data(), intSamples.size());
    } else {
        portable::RunChain(setup, echo, phaser, row, intSamples.data(), intSamples.size());
    }
#else
    portable::RunChain(setup, echo, phaser, row, intSamples.data(), intSamples.size());
#endif

    if (setup.eq) {
        for (size_t k = 0; k < bands; ++k) {
            IIRFilter& f = bands_[k];
            const size_t j = first_band + k;
            f.x1_ = row.x1[j], f.x2_ = row.x2[j], f.y1_ = row.y1[j], f.y2_ = row.y2[j];
        }
    } else {
        // More bands than lanes (never with the 7 the program uses): one after another.
        for (size_t k = 0; k < bands; ++k) bands_[k].ProcessSamples_16bit(intSamples);
    }
    if (setup.echo) echo_pos_ = echo.pos;
    if (setup.phaser) {
        ps_x1_ = phaser.x1, ps_x2_ = phaser.x2, ps_x3_ = phaser.x3, ps_x4_ = phaser.x4;
        ps_y1_ = phaser.y1, ps_y2_ = phaser.y2, ps_y3_ = phaser.y3, ps_y4_ = phaser.y4;
        sweep_pos_ = phaser.pos;
        sweep_step_ = phaser.step;
    }
}

float clsDSP::AmplifyFactor(float gain, AmplifyUnit unit) noexcept {
    switch (unit) {
        case AmplifyUnit::Decibel:
            return static_cast<float>(std::pow(10.0, static_cast<double>(gain) / 20.0));
        case AmplifyUnit::Percent:
            return static_cast<float>(static_cast<double>(gain) / 100.0);
        case AmplifyUnit::Factor:
            break;
    }
    return gain;
}

void clsDSP::ProcessAmplify(std::span<int16_t> intSamples, float gain, AmplifyUnit unit) noexcept {
    const float factor = AmplifyFactor(gain, unit);
    for (int16_t& s : intSamples) s = ToSample(static_cast<float>(s) * factor);
}

}  // namespace tavrino
