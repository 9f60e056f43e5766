// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Reference.h"
#include "dsp/clsDSP.h"

namespace tavrino {
namespace {

using ref::ExpectError;
using ref::Samples;

constexpr int32_t kAll = clsDSP::FX_AMPLIFY | clsDSP::FX_ECHO | clsDSP::FX_PHASESHIFT | clsDSP::FX_EQUALIZER;

Samples Apply(clsDSP& fx, Samples s) {
    fx.ProcessSamples(s);
    return s;
}

clsDSP Chain(int32_t rate, int16_t channels, int32_t effects) {
    clsDSP fx;
    fx.samplerate(rate);
    fx.Channels(channels);
    fx.EffectsUsed(effects);
    return fx;
}

// Until both rate and channels are set, buffers pass unchanged; refused writes change nothing.
TEST(clsDSP, UnsetOrRefusedSettingsChangeNothing) {
    const Samples in = ref::Random(2000, 21);
    clsDSP fx, other;
    fx.EffectsUsed(kAll), other.EffectsUsed(kAll), other.Channels(2);
    EXPECT_EQ(Apply(other, in), in);
    for (int32_t bad : {0, -1, 96001}) ExpectError([&] { fx.samplerate(bad); }, 32000, "invalid samplerate");
    for (int16_t bad : {0, 3, -1}) ExpectError([&] { fx.Channels(bad); }, 32000, "invalid channels");
    for (int32_t bad : {0, 11}) ExpectError([&] { fx.EqualizerBands(bad); }, 32000, "Out Of Bounds!");
    for (int32_t bad : {-1, 7}) {
        ExpectError([&] { fx.EqualizerBandFrequency(bad); }, 32000, "Out Of Bounds!");
        ExpectError([&] { fx.EqualizerBandGainDB(bad); }, 32000, "Out Of Bounds!");
        ExpectError([&] { fx.EqualizerBandGainDB(bad, 1); }, 32000, "Out Of Bounds!");
    }
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), inf, -inf}) {
        using Write = void (clsDSP::*)(float);
        for (Write write : {Write{&clsDSP::EchoAmp}, &clsDSP::PhaseShiftWet, &clsDSP::PhaseShiftDry, &clsDSP::PhaseShiftFeedback,
                            &clsDSP::PhaseShiftSweepRate, &clsDSP::PhaseShiftSweepRange, &clsDSP::PhaseShiftFrequency})
            ExpectError([&] { (fx.*write)(bad); }, 32000, "invalid value");
        ExpectError([&] { fx.EqualizerBandGainDB(0, bad); }, 32000, "invalid value");
    }
    EXPECT_TRUE(fx.samplerate() == 0 && fx.Channels() == 0 && fx.EqualizerBands() == 7 && fx.EchoAmp() == 0.4f &&
                fx.PhaseShiftWet() == 1.0f && fx.EqualizerBandGainDB(0) == 0.0f);
    fx.EchoAmp(1.5f);
    EXPECT_EQ(fx.EchoAmp(), 0.9f);
    fx.EchoAmp(-3.0f);  // no lower limit
    EXPECT_EQ(fx.EchoAmp(), -3.0f);
    fx.samplerate(44100);
    EXPECT_EQ(Apply(fx, in), in);
    fx.Channels(2), fx.EffectsUsed(0x70);  // only unknown bits
    EXPECT_EQ(Apply(fx, in), in);
    fx.EffectsUsed(kAll);
    EXPECT_NE(Apply(fx, in), in);
}

TEST(clsDSP, EchoLinesSweepAndBandsAtTheUsualRates) {
    struct Row { int32_t rate, line, freq[7]; };
    const Row rows[] = {{44100, 4410, {80, 191, 455, 1084, 2586, 6165, 14700}},
                        {22050, 2205, {80, 170, 361, 767, 1629, 3460, 7350}},
                        {11025, 1102, {80, 151, 287, 542, 1026, 1942, 3675}},
                        {8000, 800, {80, 144, 257, 462, 829, 1487, 2667}}};
    for (const Row& row : rows) {
        clsDSP fx = Chain(row.rate, 2, 0);
        EXPECT_EQ(fx.EchoLineLength(), row.line) << row.rate;
        for (int i = 0; i < 7; ++i) EXPECT_EQ(fx.EqualizerBandFrequency(i), row.freq[i]) << row.rate << " band " << i;
    }
    clsDSP fx = Chain(44100, 2, 0);
    EXPECT_NEAR(fx.SweepMinimum(), 0.0071238, 5e-8);
    EXPECT_NEAR(fx.SweepMaximum(), 0.1139807, 5e-8);
    EXPECT_NEAR(fx.SweepFactor(), 1.0001258, 5e-8);
    fx.EqualizerBands(1);  // a single band takes the first place of the row
    EXPECT_EQ(fx.EqualizerBandFrequency(0), 80);
}

TEST(clsDSP, AmplifierMatchesTheFormula) {
    clsDSP fx = Chain(44100, 2, clsDSP::FX_AMPLIFY);
    for (int32_t db : {0, 3, 6, -7, 12, -60, 200, -200, 1000, -1000000}) {
        fx.AmplifyDB(db);
        Samples want = ref::Joined(1000);
        const Samples got = Apply(fx, want);
        ASSERT_EQ(got, (ref::Amplify(want, db), want)) << db;
    }
    Samples s = {100, -100, 32767};
    clsDSP::ProcessAmplify(s, 150, clsDSP::AmplifyUnit::Percent);
    EXPECT_EQ(s, (Samples{150, -150, 32767}));
    clsDSP::ProcessAmplify(s, 0.25f, clsDSP::AmplifyUnit::Factor);
    EXPECT_EQ(s, (Samples{38, -38, 8192}));  // 37.5 and 8191.75: ties go to the even 38
}

TEST(clsDSP, EchoMatchesTheFormulaAndNeverWraps) {
    clsDSP fx = Chain(8000, 1, clsDSP::FX_ECHO);
    fx.EchoLength(1);
    Samples in(40, 0), want(40, 0);
    in[0] = 10000;
    want[0] = 10000, want[8] = 4000, want[16] = 1600, want[24] = 640, want[32] = 256;
    EXPECT_EQ(Apply(fx, in), want);
    fx.EchoAmp(0.9f);
    EXPECT_EQ(Apply(fx, Samples(80, 32767)), Samples(80, 32767));
    fx.EchoAmp(-1.0f);
    EXPECT_EQ(Apply(fx, Samples(80, -32768))[8], -1);  // -32768 + the echo clipped to 32767
    // In stereo the line counts values: an odd line lands the echo on the other channel.
    clsDSP st = Chain(1000, 2, clsDSP::FX_ECHO);
    st.EchoLength(3);
    EXPECT_EQ(Apply(st, {1000, 0, 0, 0, 0, 0, 0}), (Samples{1000, 0, 0, 400, 0, 0, 160}));

    for (float amp : {0.4f, 0.9f, -0.9f, -1.0f, -2.5f}) {
        clsDSP echo = Chain(11025, 2, clsDSP::FX_ECHO);
        echo.EchoLength(7);
        echo.EchoAmp(amp);
        ref::Echo r(11025, 7, echo.EchoAmp());
        Samples sig = ref::Joined(2000);
        const Samples got = Apply(echo, sig);
        ASSERT_EQ(got, (r.Run(sig), sig)) << amp;
    }
}

TEST(clsDSP, EchoLengthThatGivesNoLineIsRefused) {
    clsDSP fx = Chain(400, 1, clsDSP::FX_ECHO);  // 0.4 values per ms
    fx.EchoLength(3);                            // 1.2 -> one value
    EXPECT_EQ(Apply(fx, {1000}), (Samples{1000}));
    for (int32_t bad : {0, -5, 1, std::numeric_limits<int32_t>::max()})  // 1: 0.4 -> no value
        ExpectError([&] { fx.EchoLength(bad); }, 32000, "invalid echo length");
    EXPECT_EQ(fx.EchoLength(), 3);
    EXPECT_EQ(Apply(fx, {0, 0}), (Samples{400, 160}));  // the line and its contents stay
    // A rate at which the stored length gives no line: the echo passes samples through.
    clsDSP low = Chain(44100, 1, clsDSP::FX_ECHO);
    low.samplerate(4);
    const Samples in = ref::Random(50, 22);
    EXPECT_EQ(Apply(low, in), in);
    low.EchoLength(1000);
    EXPECT_EQ(low.EchoLineLength(), 4);
}

TEST(clsDSP, PhaserMatchesTheFormula) {
    struct P { float dry, wet, fb, rate, range, freq; };
    const P params[] = {{1, 1, 0.5f, 1, 4, 100}, {0.3f, -1, -0.9f, 1.5f, 6, 150}, {-1, 0.7f, 0.9f, 0.1f, 3, -10},
                        {1, 0, 0.5f, 1, 4, 100}};  // dry only: the input comes back
    for (int32_t rate : {44100, 8000}) {
        for (const P& p : params) {
            clsDSP fx = Chain(rate, 2, clsDSP::FX_PHASESHIFT);
            fx.PhaseShiftDry(p.dry), fx.PhaseShiftWet(p.wet), fx.PhaseShiftFeedback(p.fb);
            fx.PhaseShiftSweepRate(p.rate), fx.PhaseShiftSweepRange(p.range), fx.PhaseShiftFrequency(p.freq);
            ref::Phaser r;
            r.dry = p.dry, r.wet = p.wet, r.fb = p.fb;
            r.Setup(rate, p.freq, p.range, p.rate);
            EXPECT_TRUE(fx.SweepMinimum() == r.lo && fx.SweepMaximum() == r.hi && fx.SweepFactor() == r.factor);
            // Several sweeps long, all signals one after the other through one state.
            const Samples in = ref::Joined(12000);
            Samples want = in;
            r.Run(want);
            if (p.wet == 0) { EXPECT_EQ(want, in); }
            ASSERT_EQ(Apply(fx, in), want) << rate << " dry " << p.dry << " wet " << p.wet;
        }
    }
    // A phaser write restarts the sweep but keeps the stages.
    clsDSP fx = Chain(22050, 1, clsDSP::FX_PHASESHIFT);
    ref::Phaser r;
    r.Setup(22050);
    Samples a = ref::Random(5000, 31), b = ref::Random(3000, 32);
    const Samples gotA = Apply(fx, a);
    EXPECT_EQ(gotA, (r.Run(a), a));
    fx.PhaseShiftFeedback(0.25f);
    r.fb = 0.25f, r.pos = r.lo, r.step = r.factor;
    const Samples gotB = Apply(fx, b);
    EXPECT_EQ(gotB, (r.Run(b), b));
}

// Both kernels (2 and 4 doubles per vector), the equalizer alone and behind every other
// effect, every band count the row holds or not (more than 8 run one after another),
// mono and stereo, against the references run one after the other; in one buffer and
// cut into buffers shorter and longer than a sample takes to cross the row.
TEST(clsDSP, EveryKernelAndBandCountMatchesTheReferenceWhateverTheBufferSizes) {
    struct KernelChoice { bool saved = clsDSP::WideKernel(); ~KernelChoice() { clsDSP::WideKernel(saved); } } restore;
    for (bool wide : {false, true}) {
        clsDSP::WideKernel(wide);
        for (int32_t bands = 2; bands <= 10; ++bands) {
            const bool alone = bands % 3 == 1, seven = bands == 7;
            const int32_t rate = alone ? 11025 : 44100;
            clsDSP fx = Chain(rate, int16_t(1 + bands % 2), alone ? clsDSP::FX_EQUALIZER : kAll);
            fx.EqualizerBands(bands);
            if (seven) fx.EchoLength(33), fx.EchoAmp(0.6f);
            std::vector<float> gains;
            for (int32_t i = 0; i < bands; ++i) fx.EqualizerBandGainDB(i, gains.emplace_back(float((i * 7) % 25 - 12)));
            clsDSP pieces = fx;
            const Samples input = ref::Joined(2000);
            Samples want = input, got = input;
            if (!alone) {
                ref::Amplify(want, 3);
                ref::Echo(rate, seven ? 33 : 100, seven ? 0.6f : 0.4f).Run(want);
                ref::Phaser ph;
                ph.Setup(rate);
                ph.Run(want);
            }
            ref::Equalizer(rate, gains).Run(want);
            ASSERT_EQ(Apply(fx, input), want) << "wide " << wide << ", bands " << bands;
            for (size_t at = 0, len = 1; at < got.size(); at += len, len = len * 2 + 3) {
                len = std::min(len, got.size() - at);
                pieces.ProcessSamples(std::span<int16_t>(got).subspan(at, 0));  // empty: no effect
                pieces.ProcessSamples(std::span<int16_t>(got).subspan(at, len));
            }
            ASSERT_EQ(got, want) << "in pieces, wide " << wide << ", bands " << bands;
        }
    }
    clsDSP flat = Chain(44100, 2, clsDSP::FX_EQUALIZER);  // 0 dB bands change nothing
    for (const Samples& s : ref::Signals(4000)) EXPECT_EQ(Apply(flat, s), s);
}

TEST(clsDSP, WritesRebuildEchoAndBands) {
    // A gain write, even of the same value, clears every band's history.
    clsDSP fx = Chain(44100, 1, clsDSP::FX_EQUALIZER);
    fx.EqualizerBandGainDB(2, 10);
    Apply(fx, ref::Random(500, 41));
    fx.EqualizerBandGainDB(2, 10);
    Samples want = ref::Random(500, 42);
    const Samples got = Apply(fx, want);
    ref::Equalizer(44100, {0, 0, 10, 0, 0, 0, 0}).Run(want);
    EXPECT_EQ(got, want);
    fx.EqualizerBands(5);
    EXPECT_EQ(fx.EqualizerBandGainDB(2), 0.0f);
    EXPECT_EQ(fx.EqualizerBandFrequency(4), 14700);

    // A rate or channel write, even of the same value, empties the echo and clears the
    // bands; so does an EchoAmp write for the echo.
    const int32_t effects = clsDSP::FX_ECHO | clsDSP::FX_EQUALIZER;
    clsDSP used = Chain(8000, 1, effects), fresh = Chain(8000, 1, effects);
    for (clsDSP* c : {&used, &fresh}) c->EchoLength(1), c->EqualizerBandGainDB(0, 6);
    Apply(used, {10000, 0, 0, 0, 0, 0, 0, 0});
    used.Channels(1);
    const Samples next = ref::Random(64, 51);
    EXPECT_EQ(Apply(used, next), Apply(fresh, next));
    used.EffectsUsed(clsDSP::FX_ECHO);
    Apply(used, {10000});
    used.EchoAmp(0.5f);
    EXPECT_EQ(Apply(used, Samples(16, 0)), Samples(16, 0));
}

TEST(clsDSP, ExtremeSettingsNeverCrash) {
    for (int32_t rate : {1, 2, 100, 240, 96000}) {  // checked by the sanitizers
        clsDSP fx = Chain(rate, 2, kAll);
        fx.AmplifyDB(std::numeric_limits<int32_t>::max());
        fx.PhaseShiftSweepRange(1000), fx.PhaseShiftFeedback(5), fx.EqualizerBandGainDB(3, 1e30f);
        for (const Samples& s : ref::Signals(3000)) Apply(fx, s);
    }
}

}  // namespace
}  // namespace tavrino
