#include "dsp/clsDSP.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "core/Error.h"
#include "core/Nearest.h"

namespace tavrino {
namespace {

constexpr float kPi = 3.1415927f;  // pi as a 32-bit float
constexpr int32_t kDefaultBands = 7;
constexpr int32_t kMaxBands = 10;
constexpr float kLowestBand = 80.0f;  // Hz

void RequireFinite(float value) {
    if (!std::isfinite(value)) throw Error(32000, "invalid value");
}

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

void clsDSP::ProcessSamples(std::span<int16_t> intSamples) noexcept {
    if (samplerate_ == 0 || channels_ == 0) return;
    if (effects_used_ & FX_AMPLIFY) ProcessAmplify(intSamples, static_cast<float>(amplify_db_), AmplifyUnit::Decibel);
    if (effects_used_ & FX_ECHO) ProcessEcho(intSamples);
    if (effects_used_ & FX_PHASESHIFT) ProcessPhaser(intSamples);
    if (effects_used_ & FX_EQUALIZER) ProcessEqualizer(intSamples);
}

void clsDSP::ProcessAmplify(std::span<int16_t> intSamples, float gain, AmplifyUnit unit) noexcept {
    float factor = gain;
    switch (unit) {
        case AmplifyUnit::Decibel:
            factor = static_cast<float>(std::pow(10.0, static_cast<double>(gain) / 20.0));
            break;
        case AmplifyUnit::Percent:
            factor = static_cast<float>(static_cast<double>(gain) / 100.0);
            break;
        case AmplifyUnit::Factor:
            break;
    }
    for (int16_t& s : intSamples) s = ToSample(static_cast<float>(s) * factor);
}

void clsDSP::ProcessEcho(std::span<int16_t> samples) noexcept {
    if (echo_line_.empty()) return;
    int16_t* const line = echo_line_.data();
    const int32_t length = static_cast<int32_t>(echo_line_.size());
    const float amp = echo_amp_in_use_;
    int32_t pos = echo_pos_;
    for (int16_t& s : samples) {
        const int32_t t = static_cast<int32_t>(s) + line[pos];
        const int16_t out = static_cast<int16_t>(std::clamp<int32_t>(t, -32768, 32767));
        s = out;
        // The exact product, rounded; clipped, since amp may be -1 or below.
        line[pos] = ToSample(static_cast<double>(out) * amp);
        if (++pos == length) pos = 0;
    }
    echo_pos_ = pos;
}

void clsDSP::ProcessPhaser(std::span<int16_t> samples) noexcept {
    float x1 = ps_x1_, x2 = ps_x2_, x3 = ps_x3_, x4 = ps_x4_;
    float y1 = ps_y1_, y2 = ps_y2_, y3 = ps_y3_, y4 = ps_y4_;
    float pos = sweep_pos_, step = sweep_step_;
    const float up = sweep_factor_, down = static_cast<float>(1.0 / sweep_factor_);
    const float lo = sweep_min_, hi = sweep_max_;
    const double fb = ps_feedback_, wet = ps_wet_, dry = ps_dry_;
    // Each line in double from float operands, its result held as a float.
    using D = double;
    for (int16_t& s : samples) {
        const float x = static_cast<float>(D(s) / 32767.0);
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
        s = ToSample(out * 32767.0f);
    }
    ps_x1_ = x1, ps_x2_ = x2, ps_x3_ = x3, ps_x4_ = x4;
    ps_y1_ = y1, ps_y2_ = y2, ps_y3_ = y3, ps_y4_ = y4;
    sweep_pos_ = pos;
    sweep_step_ = step;
}

void clsDSP::ProcessEqualizer(std::span<int16_t> samples) noexcept {
    for (IIRFilter& band : bands_) band.ProcessSamples_16bit(samples);
}

}  // namespace tavrino
