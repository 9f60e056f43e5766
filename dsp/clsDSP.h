// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// clsDSP: the live effects chain. Runs over every captured buffer of 16-bit samples, in
// place, before the buffer goes to the encoder.
//
// Four effects, always in this order, each selected by a bit of EffectsUsed:
//   1. amplifier       (FX_AMPLIFY,     4): gain AmplifyDB dB
//   2. echo            (FX_ECHO,        1): feedback echo, EchoLength ms, EchoAmp per pass
//   3. phase shifter   (FX_PHASESHIFT,  2): four swept first-order all-pass stages
//   4. equalizer       (FX_EQUALIZER,   8): EqualizerBands peaking bands (IIRFilter),
//                                          80 Hz to a third of the sample rate
// Other bits are stored and ignored.
//
// The buffer is one plain sequence of values: whatever Channels says, the effects keep
// one state for the whole sequence, so in stereo left and right values pass alternately
// through the same echo line, phaser state and filter histories, and the echo delay
// counts values, not frames.
//
// Usage (the main window owns one chain):
//   clsDSP fx;
//   fx.samplerate(44100); fx.Channels(2);          // before recording
//   fx.EffectsUsed(clsDSP::FX_AMPLIFY | clsDSP::FX_ECHO);
//   fx.ProcessSamples(buffer);                     // every captured buffer
// ProcessSamples does nothing until both samplerate and Channels have been written.
//
// What each write rebuilds:
//   samplerate, Channels    echo line (emptied), sweep restarted, every band rebuilt
//                           (histories cleared); the phaser stage state is kept
//   EchoLength, EchoAmp     echo line (emptied), once samplerate is set
//   PhaseShift*             sweep restarted at its minimum; stage state kept
//   EqualizerBandGainDB     every band rebuilt, all histories cleared
//   EqualizerBands          new bands, every gain back to 0 dB, then rebuilt
//   EffectsUsed, AmplifyDB  nothing (read at each ProcessSamples)
// Nothing else resets state: the echo position, phaser state and histories carry over
// from buffer to buffer and from one recording to the next.
//
// Errors: a refused write raises tavrino::Error and leaves every value and all state as
// they were:
//   32000 "invalid samplerate"   samplerate outside 1..96000
//   32000 "invalid channels"     Channels other than 1 or 2
//   32000 "Out Of Bounds!"       EqualizerBands outside 1..10; a band Index outside
//                                0..EqualizerBands-1 (reads and writes)
//   32000 "invalid echo length"  EchoLength <= 0, or one that gives, at the current
//                                sample rate, an echo line of no value or of more than
//                                kMaxEchoLine values
//   32000 "invalid value"        a float property written as NaN or infinity
//   7 "Out of memory"            the echo line cannot be allocated
//
// Arithmetic (audible, so fixed): parameters and state are 32-bit floats. Each formula
// is evaluated in double from its operands and rounded to float where its result is
// stored (a field, a state variable, a named value of the formulas such as the phaser's
// x, c, in, out); pow, log, sin, cos and exp are evaluated in double; pi is the float
// 3.1415927. A value becomes a 16-bit sample by clipping to -32768..32767 first (the
// comparison made on the value rounded to float), then rounding to nearest, ties to
// even. Echo line lengths are samplerate / 1000 * EchoLength, rounded the same way
// (4410 values at 44100 Hz and 100 ms, 1102 at 11025 Hz). The value stored in the echo
// line is the exact product of the output and the amplitude, rounded to nearest.
//
// Edge cases, and why they behave so:
// - EchoAmp has no lower limit: a negative amplitude inverts each pass of the echo. The
//   value stored in the echo line is clipped to the 16-bit range, so amplitudes of -1
//   and below never overflow it.
// - A samplerate or Channels write is never refused for the echo's sake, since the
//   recording's format matters more than an effect: if the stored EchoLength gives no
//   usable line at the new rate (e.g. 100 ms at 4 Hz), the echo passes samples unchanged
//   until a usable EchoLength is written.
// - A single band (EqualizerBands 1) sits at 80 Hz, the first place of the row, as the
//   spacing formula has no second point to spread towards.
// - At sample rates far below audio rates the band layout has no meaning; bands whose
//   coefficients are not numbers output 0 rather than raising, because ProcessSamples
//   runs on every captured buffer and must never throw.
//
// Thread safety: none. Properties are written between buffers from the thread that
// calls ProcessSamples. ProcessSamples never allocates, locks or throws; allocation
// happens only in the writes.

#include <cstdint>
#include <span>
#include <vector>

#include "dsp/IIRFilter.h"

namespace tavrino {

class clsDSP {
public:
    // Bits of EffectsUsed.
    static constexpr int32_t FX_ECHO = 1;
    static constexpr int32_t FX_PHASESHIFT = 2;
    static constexpr int32_t FX_AMPLIFY = 4;
    static constexpr int32_t FX_EQUALIZER = 8;

    // Longest echo line accepted, in values (32 MB; 87 s of stereo at 96000 Hz).
    static constexpr int32_t kMaxEchoLine = 1 << 24;

    // Defaults: no effect on, EchoLength 100 ms, EchoAmp 0.4, AmplifyDB 3, phaser dry 1,
    // wet 1, feedback 0.5, sweep rate 1, sweep range 4 octaves, frequency 100 Hz,
    // 7 equalizer bands at 0 dB, samplerate and Channels 0.
    clsDSP();

    // Sample rate in Hz, 1..96000 (else Error 32000 "invalid samplerate").
    int32_t samplerate() const noexcept { return samplerate_; }
    void samplerate(int32_t lngSR);

    // Channel count, 1 or 2 (else Error 32000 "invalid channels").
    int16_t Channels() const noexcept { return channels_; }
    void Channels(int16_t intCh);

    // Bit set of active effects (FX_*).
    int32_t EffectsUsed() const noexcept { return effects_used_; }
    void EffectsUsed(int32_t ude) noexcept { effects_used_ = ude; }

    // Echo delay in milliseconds.
    int32_t EchoLength() const noexcept { return echo_length_; }
    void EchoLength(int32_t lngMS);

    // Echo feedback amplitude; values above 0.9 are stored as 0.9f.
    float EchoAmp() const noexcept { return echo_amp_; }
    void EchoAmp(float sngAmp);

    // Amplifier gain in dB; factor 10^(dB/20) as a float.
    int32_t AmplifyDB() const noexcept { return amplify_db_; }
    void AmplifyDB(int32_t lngVol) noexcept { amplify_db_ = lngVol; }

    // Phase shifter: gain of the all-pass output.
    float PhaseShiftWet() const noexcept { return ps_wet_; }
    void PhaseShiftWet(float sng);
    // Gain of the unprocessed signal.
    float PhaseShiftDry() const noexcept { return ps_dry_; }
    void PhaseShiftDry(float sng);
    // Feedback from the last stage into the first.
    float PhaseShiftFeedback() const noexcept { return ps_feedback_; }
    void PhaseShiftFeedback(float sng);
    // Sweep speed: one sweep (minimum to maximum) takes about samplerate / (2 * rate)
    // values.
    float PhaseShiftSweepRate() const noexcept { return ps_sweep_rate_; }
    void PhaseShiftSweepRate(float sng);
    // Sweep range in octaves.
    float PhaseShiftSweepRange() const noexcept { return ps_sweep_range_; }
    void PhaseShiftSweepRange(float sng);
    // Lowest sweep frequency in Hz.
    float PhaseShiftFrequency() const noexcept { return ps_frequency_; }
    void PhaseShiftFrequency(float sng);

    // Number of equalizer bands, 1..10 (else Error 32000 "Out Of Bounds!"). A write
    // creates that many new bands and resets every gain to 0 dB.
    int32_t EqualizerBands() const noexcept { return static_cast<int32_t>(band_gains_.size()); }
    void EqualizerBands(int32_t lngBands);

    // Centre frequency of band Index in Hz, rounded to nearest (ties to even); 0 until
    // the sample rate is known. With 7 bands at 44100 Hz:
    // 80, 191, 455, 1084, 2586, 6165, 14700.
    int32_t EqualizerBandFrequency(int32_t Index) const;

    // Gain of band Index in dB. A write rebuilds every band (all histories cleared).
    float EqualizerBandGainDB(int32_t Index) const;
    void EqualizerBandGainDB(int32_t Index, float gain_db);

    // Runs the active effects over the buffer in place. Does nothing while samplerate
    // or Channels is 0. Never allocates, locks or throws.
    // How (ChainKernel.inc): one loop over the buffer; the amplifier, echo and phaser a
    // few values ahead, and the equalizer bands (up to 8; more run one after another)
    // side by side in vector lanes, each band on its own value. Every value sees the
    // same operations in the same order as the effects run one after the other, so the
    // results are identical to that.
    void ProcessSamples(std::span<int16_t> intSamples) noexcept;

    // How ProcessAmplify reads its gain: decibels (factor 10^(gain/20)), a percentage
    // (factor gain/100) or a plain factor. The chain uses decibels.
    enum class AmplifyUnit { Decibel, Percent, Factor };
    // Multiplies every value by the factor (as a float) and converts it to 16 bits.
    static void ProcessAmplify(std::span<int16_t> intSamples, float gain, AmplifyUnit unit) noexcept;

    // Read-only views of the derived state, for diagnostics and tests.
    int32_t EchoLineLength() const noexcept { return static_cast<int32_t>(echo_line_.size()); }
    float SweepMinimum() const noexcept { return sweep_min_; }
    float SweepMaximum() const noexcept { return sweep_max_; }
    float SweepFactor() const noexcept { return sweep_factor_; }

    // Whether ProcessSamples uses its 4-double AVX2 loop (x86-64 only) rather than the
    // portable 2-double one that every processor compiles. Both give the same values; the
    // wide one is chosen when the processor has AVX2. Writing false forces the portable
    // loop for every chain (tests, diagnostics); writing true takes the wide one only where
    // the processor has it. Not thread-safe: write it before any chain runs.
    static bool WideKernel() noexcept;
    static void WideKernel(bool use) noexcept;

private:
    void UpdateAll();
    void UpdateEchoBuffer();
    void UpdatePhaser() noexcept;
    void UpdateEqualizer() noexcept;
    // Echo line for the given settings; empty when none can be built (reason in *ok).
    std::vector<int16_t> MakeEchoLine(int32_t rate, int32_t ms, bool* ok) const;
    void SetPhaserValue(float* field, float value);
    void CheckIndex(int32_t Index) const;

    static float AmplifyFactor(float gain, AmplifyUnit unit) noexcept;

    int32_t effects_used_ = 0;

    std::vector<int16_t> echo_line_;  // empty: no echo possible
    int32_t echo_pos_ = 0;            // next index of the echo line
    float echo_amp_in_use_ = 0;       // EchoAmp when the line was built
    int32_t echo_length_ = 100;       // ms
    float echo_amp_ = 0.4f;

    int32_t amplify_db_ = 3;

    // All-pass stages: previous input x and output y of each.
    float ps_x1_ = 0, ps_x2_ = 0, ps_x3_ = 0, ps_x4_ = 0;
    float ps_y1_ = 0, ps_y2_ = 0, ps_y3_ = 0, ps_y4_ = 0;
    float sweep_min_ = 0;     // lowest all-pass parameter
    float sweep_max_ = 0;     // highest
    float sweep_pos_ = 0;     // current
    float sweep_factor_ = 0;  // per-value multiplier upwards
    float sweep_step_ = 0;    // multiplier in use: factor or 1 / factor
    float ps_dry_ = 1.0f;
    float ps_wet_ = 1.0f;
    float ps_feedback_ = 0.5f;
    float ps_sweep_rate_ = 1.0f;
    float ps_sweep_range_ = 4.0f;  // octaves
    float ps_frequency_ = 100.0f;  // Hz

    std::vector<float> band_gains_;  // dB, one per band
    std::vector<IIRFilter> bands_;

    int32_t samplerate_ = 0;  // Hz
    int16_t channels_ = 0;
};

}  // namespace tavrino
