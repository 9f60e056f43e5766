#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "Reference.h"
#include "core/Error.h"
#include "dsp/clsDSP.h"

namespace tavrino {
namespace {

using ref::Samples;

constexpr int32_t kAll = clsDSP::FX_AMPLIFY | clsDSP::FX_ECHO | clsDSP::FX_PHASESHIFT | clsDSP::FX_EQUALIZER;

Samples Apply(clsDSP& fx, Samples s) {
    fx.ProcessSamples(s);
    return s;
}

void ExpectError(const std::function<void()>& f, int32_t number, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "no error, expected " << text;
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), number);
        EXPECT_EQ(e.text(), text);
    }
}

clsDSP Chain(int32_t rate, int16_t channels, int32_t effects) {
    clsDSP fx;
    fx.samplerate(rate);
    fx.Channels(channels);
    fx.EffectsUsed(effects);
    return fx;
}

TEST(clsDSP, DefaultsAndRefusedWrites) {
    clsDSP fx;
    EXPECT_EQ(fx.EffectsUsed(), 0);
    EXPECT_EQ(fx.EchoLength(), 100);
    EXPECT_FLOAT_EQ(fx.EchoAmp(), 0.4f);
    EXPECT_EQ(fx.AmplifyDB(), 3);
    EXPECT_EQ(fx.PhaseShiftDry(), 1.0f);
    EXPECT_EQ(fx.PhaseShiftWet(), 1.0f);
    EXPECT_EQ(fx.PhaseShiftFeedback(), 0.5f);
    EXPECT_EQ(fx.PhaseShiftSweepRate(), 1.0f);
    EXPECT_EQ(fx.PhaseShiftSweepRange(), 4.0f);
    EXPECT_EQ(fx.PhaseShiftFrequency(), 100.0f);
    EXPECT_EQ(fx.EqualizerBands(), 7);
    EXPECT_EQ(fx.samplerate(), 0);
    EXPECT_EQ(fx.Channels(), 0);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(fx.EqualizerBandFrequency(i), 0);
        EXPECT_EQ(fx.EqualizerBandGainDB(i), 0.0f);
    }

    for (int32_t bad : {0, -1, 96001}) ExpectError([&] { fx.samplerate(bad); }, 32000, "invalid samplerate");
    for (int16_t bad : {0, 3, -1}) ExpectError([&] { fx.Channels(bad); }, 32000, "invalid channels");
    for (int32_t bad : {0, 11}) ExpectError([&] { fx.EqualizerBands(bad); }, 32000, "Out Of Bounds!");
    for (int32_t bad : {-1, 7}) {
        ExpectError([&] { fx.EqualizerBandFrequency(bad); }, 32000, "Out Of Bounds!");
        ExpectError([&] { fx.EqualizerBandGainDB(bad); }, 32000, "Out Of Bounds!");
        ExpectError([&] { fx.EqualizerBandGainDB(bad, 1); }, 32000, "Out Of Bounds!");
    }
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (float bad : {nan, inf, -inf}) {
        ExpectError([&] { fx.EchoAmp(bad); }, 32000, "invalid value");
        ExpectError([&] { fx.PhaseShiftWet(bad); }, 32000, "invalid value");
        ExpectError([&] { fx.PhaseShiftDry(bad); }, 32000, "invalid value");
        ExpectError([&] { fx.PhaseShiftFeedback(bad); }, 32000, "invalid value");
        ExpectError([&] { fx.PhaseShiftSweepRate(bad); }, 32000, "invalid value");
        ExpectError([&] { fx.PhaseShiftSweepRange(bad); }, 32000, "invalid value");
        ExpectError([&] { fx.PhaseShiftFrequency(bad); }, 32000, "invalid value");
        ExpectError([&] { fx.EqualizerBandGainDB(0, bad); }, 32000, "invalid value");
    }
    ExpectError([&] { fx.EchoLength(0); }, 32000, "invalid echo length");
    // Nothing changed.
    EXPECT_EQ(fx.samplerate(), 0);
    EXPECT_EQ(fx.Channels(), 0);
    EXPECT_EQ(fx.EqualizerBands(), 7);
    EXPECT_FLOAT_EQ(fx.EchoAmp(), 0.4f);
    EXPECT_EQ(fx.PhaseShiftWet(), 1.0f);
    EXPECT_EQ(fx.EqualizerBandGainDB(0), 0.0f);
    EXPECT_EQ(fx.EchoLength(), 100);

    fx.EchoAmp(1.5f);
    EXPECT_EQ(fx.EchoAmp(), 0.9f);
    fx.EchoAmp(-3.0f);  // no lower limit
    EXPECT_EQ(fx.EchoAmp(), -3.0f);
    fx.EffectsUsed(0x7FFF0005);  // other bits are stored
    EXPECT_EQ(fx.EffectsUsed(), 0x7FFF0005);
}

TEST(clsDSP, PassesBuffersUnchangedUntilRateAndChannelsAreSet) {
    const Samples input = ref::Random(2000, 21);
    clsDSP fx;
    fx.EffectsUsed(kAll);
    EXPECT_EQ(Apply(fx, input), input);
    fx.samplerate(44100);
    EXPECT_EQ(Apply(fx, input), input);
    clsDSP other;
    other.EffectsUsed(kAll);
    other.Channels(2);
    EXPECT_EQ(Apply(other, input), input);
    fx.Channels(2);
    fx.EffectsUsed(0x70);  // only unknown bits
    EXPECT_EQ(Apply(fx, input), input);
    fx.EffectsUsed(kAll);
    EXPECT_NE(Apply(fx, input), input);
}

TEST(clsDSP, EchoLinesAndSweepAtTheUsualRates) {
    const std::pair<int32_t, int32_t> lines[] = {{44100, 4410}, {22050, 2205}, {11025, 1102}, {8000, 800}};
    for (auto [rate, length] : lines) EXPECT_EQ(Chain(rate, 2, 0).EchoLineLength(), length) << rate;

    clsDSP fx = Chain(44100, 2, 0);
    EXPECT_NEAR(fx.SweepMinimum(), 0.0071238, 5e-8);
    EXPECT_NEAR(fx.SweepMaximum(), 0.1139807, 5e-8);
    EXPECT_NEAR(fx.SweepFactor(), 1.0001258, 5e-8);
    // About 22050 values from the minimum to the maximum.
    const double values = std::log(fx.SweepMaximum() / fx.SweepMinimum()) / std::log(double(fx.SweepFactor()));
    EXPECT_NEAR(values, 22050, 30);
}

TEST(clsDSP, BandFrequencyTables) {
    struct Row { int32_t rate; int32_t freq[7]; };
    const Row rows[] = {{44100, {80, 191, 455, 1084, 2586, 6165, 14700}},
                        {22050, {80, 170, 361, 767, 1629, 3460, 7350}},
                        {11025, {80, 151, 287, 542, 1026, 1942, 3675}},
                        {8000, {80, 144, 257, 462, 829, 1487, 2667}}};
    for (const Row& row : rows) {
        clsDSP fx = Chain(row.rate, 1, 0);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(fx.EqualizerBandFrequency(i), row.freq[i]) << row.rate << " band " << i;
    }
    clsDSP fx = Chain(44100, 1, 0);
    fx.EqualizerBands(1);  // a single band takes the first place of the row
    EXPECT_EQ(fx.EqualizerBandFrequency(0), 80);
    fx.EqualizerBands(10);
    EXPECT_EQ(fx.EqualizerBandFrequency(0), 80);
    EXPECT_EQ(fx.EqualizerBandFrequency(9), 14700);
}

TEST(clsDSP, AmplifierMatchesTheFormula) {
    clsDSP fx = Chain(44100, 2, clsDSP::FX_AMPLIFY);
    fx.AmplifyDB(0);
    for (const Samples& s : ref::Signals(1000)) EXPECT_EQ(Apply(fx, s), s);
    fx.AmplifyDB(6);
    EXPECT_EQ(Apply(fx, {20000, -20000, 32767, -32768, 0}), (Samples{32767, -32768, 32767, -32768, 0}));
    for (int32_t db : {3, -7, 12, -60, 200, -200, 1000, -1000000}) {
        fx.AmplifyDB(db);
        for (const Samples& s : ref::Signals(1000)) {
            Samples want = s;
            ref::Amplify(want, db);
            ASSERT_EQ(Apply(fx, s), want) << db;
        }
    }
    Samples s = {100, -100, 32767};
    clsDSP::ProcessAmplify(s, 150, clsDSP::AmplifyUnit::Percent);
    EXPECT_EQ(s, (Samples{150, -150, 32767}));
    clsDSP::ProcessAmplify(s, 0.25f, clsDSP::AmplifyUnit::Factor);
    EXPECT_EQ(s, (Samples{38, -38, 8192}));  // 37.5 and 8191.75: ties go to the even 38
}

TEST(clsDSP, EchoImpulseAtEightKilohertz) {
    clsDSP fx = Chain(8000, 1, clsDSP::FX_ECHO);
    fx.EchoLength(1);
    EXPECT_EQ(fx.EchoLineLength(), 8);
    Samples in(40, 0);
    in[0] = 10000;
    Samples out = Apply(fx, in);
    Samples want(40, 0);
    want[0] = 10000, want[8] = 4000, want[16] = 1600, want[24] = 640, want[32] = 256;
    EXPECT_EQ(out, want);
}

TEST(clsDSP, StereoEchoOfAnOddLineLandsOnTheOtherChannel) {
    clsDSP fx = Chain(1000, 2, clsDSP::FX_ECHO);
    fx.EchoLength(3);  // three values
    Samples in(12, 0);
    in[0] = 1000;  // left
    const Samples out = Apply(fx, in);
    EXPECT_EQ(out[3], 400);  // index 3 is a right value
    EXPECT_EQ(out[6], 160);  // and back on the left
    EXPECT_EQ(out[1], 0);
}

TEST(clsDSP, EchoMatchesTheFormulaAndNeverWraps) {
    for (float amp : {0.4f, 0.9f, -0.9f, -1.0f, -2.5f}) {
        clsDSP fx = Chain(11025, 2, clsDSP::FX_ECHO);
        fx.EchoLength(7);
        fx.EchoAmp(amp);
        for (const Samples& s : ref::Signals(2000)) {
            ref::Echo r(11025, 7, fx.EchoAmp());
            clsDSP fresh = fx;
            Samples want = s;
            r.Run(want);
            ASSERT_EQ(Apply(fresh, s), want) << amp;
        }
    }
    clsDSP fx = Chain(8000, 1, clsDSP::FX_ECHO);
    fx.EchoLength(1);
    fx.EchoAmp(0.9f);
    Samples full(80, 32767);
    for (int16_t v : Apply(fx, full)) EXPECT_EQ(v, 32767);
    fx.EchoAmp(-1.0f);
    Samples low(80, -32768);
    const Samples out = Apply(fx, low);
    EXPECT_EQ(out[8], -1);  // -32768 + the echo clipped to 32767
}

TEST(clsDSP, EchoLengthThatGivesNoLineIsRefused) {
    clsDSP fx = Chain(400, 1, clsDSP::FX_ECHO);  // 0.4 values per ms
    for (int32_t bad : {0, -5}) ExpectError([&] { fx.EchoLength(bad); }, 32000, "invalid echo length");
    fx.EchoLength(3);  // 1.2 -> one value
    EXPECT_EQ(fx.EchoLineLength(), 1);
    EXPECT_EQ(Apply(fx, {1000}), (Samples{1000}));
    ExpectError([&] { fx.EchoLength(1); }, 32000, "invalid echo length");  // 0.4 -> no value
    ExpectError([&] { fx.EchoLength(std::numeric_limits<int32_t>::max()); }, 32000, "invalid echo length");
    EXPECT_EQ(fx.EchoLength(), 3);
    // The line and its contents stay: the echo of the first buffer comes back.
    EXPECT_EQ(Apply(fx, {0, 0}), (Samples{400, 160}));

    // A rate at which the stored length gives no line: the echo passes samples through.
    clsDSP low = Chain(44100, 1, clsDSP::FX_ECHO);
    low.samplerate(4);
    EXPECT_EQ(low.EchoLineLength(), 0);
    const Samples in = ref::Random(50, 22);
    EXPECT_EQ(Apply(low, in), in);
    low.EchoLength(1000);
    EXPECT_EQ(low.EchoLineLength(), 4);
}

TEST(clsDSP, PhaserMatchesTheFormula) {
    struct P { float dry, wet, fb, rate, range, freq; };
    const P params[] = {{1, 1, 0.5f, 1, 4, 100}, {0.3f, -1, -0.9f, 1.5f, 6, 150}, {-1, 0.7f, 0.9f, 0.1f, 3, -10}};
    for (int32_t rate : {44100, 8000}) {
        for (const P& p : params) {
            clsDSP fx = Chain(rate, 2, clsDSP::FX_PHASESHIFT);
            fx.PhaseShiftDry(p.dry);
            fx.PhaseShiftWet(p.wet);
            fx.PhaseShiftFeedback(p.fb);
            fx.PhaseShiftSweepRate(p.rate);
            fx.PhaseShiftSweepRange(p.range);
            fx.PhaseShiftFrequency(p.freq);
            ref::Phaser r;
            r.dry = p.dry, r.wet = p.wet, r.fb = p.fb;
            r.Setup(rate, p.freq, p.range, p.rate);
            EXPECT_EQ(fx.SweepMinimum(), r.lo);
            EXPECT_EQ(fx.SweepMaximum(), r.hi);
            EXPECT_EQ(fx.SweepFactor(), r.factor);
            // Several sweeps long, all signals one after the other through one state.
            for (const Samples& s : ref::Signals(12000)) {
                Samples want = s;
                r.Run(want);
                ASSERT_EQ(Apply(fx, s), want) << rate << " dry " << p.dry;
            }
        }
    }
}

TEST(clsDSP, DryOnlyPhaserReturnsTheInput) {
    clsDSP fx = Chain(44100, 2, clsDSP::FX_PHASESHIFT);
    fx.PhaseShiftWet(0);
    fx.PhaseShiftDry(1);
    for (const Samples& s : ref::Signals(3000)) EXPECT_EQ(Apply(fx, s), s);
}

TEST(clsDSP, PhaserWriteRestartsTheSweepButKeepsTheStages) {
    clsDSP fx = Chain(22050, 1, clsDSP::FX_PHASESHIFT);
    ref::Phaser r;
    r.Setup(22050, 100, 4, 1);
    const Samples a = ref::Random(5000, 31), b = ref::Random(3000, 32);
    Samples want = a;
    r.Run(want);
    EXPECT_EQ(Apply(fx, a), want);
    fx.PhaseShiftFeedback(0.25f);
    r.fb = 0.25f;
    r.pos = r.lo, r.step = r.factor;  // the sweep restarts; x1..y4 stay
    want = b;
    r.Run(want);
    EXPECT_EQ(Apply(fx, b), want);
}

TEST(clsDSP, EqualizerMatchesTheFormula) {
    for (int32_t rate : {44100, 11025}) {
        clsDSP fx = Chain(rate, 2, clsDSP::FX_EQUALIZER);
        std::vector<float> gains = {12, -12, 3.5f, 0, -6, 9, -1};
        for (int i = 0; i < 7; ++i) fx.EqualizerBandGainDB(i, gains[size_t(i)]);
        ref::Equalizer r(rate, gains);
        for (const Samples& s : ref::Signals(4000)) {
            Samples want = s;
            r.Run(want);
            ASSERT_EQ(Apply(fx, s), want) << rate;
        }
    }
    clsDSP flat = Chain(44100, 2, clsDSP::FX_EQUALIZER);
    for (const Samples& s : ref::Signals(4000)) EXPECT_EQ(Apply(flat, s), s);
}

TEST(clsDSP, GainWriteClearsEveryBandHistory) {
    clsDSP fx = Chain(44100, 1, clsDSP::FX_EQUALIZER);
    std::vector<float> gains(7, 0.0f);
    gains[2] = 10;
    fx.EqualizerBandGainDB(2, 10);
    Apply(fx, ref::Random(500, 41));
    fx.EqualizerBandGainDB(2, 10);  // the same value: still a rebuild
    ref::Equalizer r(44100, gains);
    Samples want = ref::Random(500, 42);
    const Samples got = Apply(fx, want);
    r.Run(want);
    EXPECT_EQ(got, want);
    fx.EqualizerBands(5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(fx.EqualizerBandGainDB(i), 0.0f);
    EXPECT_EQ(fx.EqualizerBandFrequency(4), 14700);
}

// The whole chain against the references run one after the other, in mono and stereo,
// and cut into buffers of many sizes: the state carries over.
TEST(clsDSP, WholeChainDoesNotDependOnBufferSizes) {
    for (int16_t channels : {1, 2}) {
        clsDSP fx = Chain(44100, channels, kAll);
        fx.EchoLength(33);
        fx.EchoAmp(0.6f);
        std::vector<float> gains = {3, -3, 6, -6, 2, 0, -9};
        for (int i = 0; i < 7; ++i) fx.EqualizerBandGainDB(i, gains[size_t(i)]);
        clsDSP pieces = fx;

        Samples input;
        for (const Samples& s : ref::Signals(6000)) input.insert(input.end(), s.begin(), s.end());
        Samples want = input;
        ref::Amplify(want, 3);
        ref::Echo echo(44100, 33, 0.6f);
        echo.Run(want);
        ref::Phaser ph;
        ph.Setup(44100, 100, 4, 1);
        ph.Run(want);
        ref::Equalizer(44100, gains).Run(want);

        EXPECT_EQ(Apply(fx, input), want);
        Samples got = input;
        size_t at = 0;
        for (size_t len = 1; at < got.size(); len = len * 3 + 1) {
            len = std::min(len, got.size() - at);
            pieces.ProcessSamples(std::span<int16_t>(got).subspan(at, 0));  // empty: no effect
            pieces.ProcessSamples(std::span<int16_t>(got).subspan(at, len));
            at += len;
        }
        EXPECT_EQ(got, want);
    }
}

TEST(clsDSP, RateOrChannelWriteRebuildsEchoSweepAndBands) {
    clsDSP fx = Chain(8000, 1, clsDSP::FX_ECHO | clsDSP::FX_EQUALIZER);
    fx.EchoLength(1);
    fx.EqualizerBandGainDB(0, 6);
    Samples in(8, 0);
    in[0] = 10000;
    Apply(fx, in);
    fx.Channels(1);  // the same value still rebuilds: the echo tail is gone
    clsDSP fresh = Chain(8000, 1, clsDSP::FX_ECHO | clsDSP::FX_EQUALIZER);
    fresh.EchoLength(1);
    fresh.EqualizerBandGainDB(0, 6);
    const Samples next = ref::Random(64, 51);
    EXPECT_EQ(Apply(fx, next), Apply(fresh, next));
    fx.EffectsUsed(clsDSP::FX_ECHO);
    fx.EchoAmp(0.5f);  // also empties the line
    Apply(fx, in);
    fx.EchoAmp(0.5f);
    EXPECT_EQ(Apply(fx, Samples(16, 0)), Samples(16, 0));
}

TEST(clsDSP, ExtremeSettingsNeverCrash) {
    for (int32_t rate : {1, 2, 100, 240, 96000}) {
        clsDSP fx = Chain(rate, 2, kAll);
        fx.AmplifyDB(std::numeric_limits<int32_t>::max());
        fx.PhaseShiftSweepRange(1000);
        fx.PhaseShiftFeedback(5);
        fx.EqualizerBandGainDB(3, 1e30f);
        for (const Samples& s : ref::Signals(3000)) {
            Samples out = Apply(fx, s);
            EXPECT_EQ(out.size(), s.size());
        }
    }
}

}  // namespace
}  // namespace tavrino

namespace tavrino {
namespace {

// Restores the kernel choice when a test ends.
struct KernelChoice {
    bool saved = clsDSP::WideKernel();
    ~KernelChoice() { clsDSP::WideKernel(saved); }
};

// Both loops (2 and 4 doubles per vector) and every band count the row can hold or not
// (more than 8 bands run one after another), against the reference, cut into buffers
// shorter and longer than the time a sample takes to cross the row.
TEST(clsDSP, EveryKernelAndBandCountMatchesTheReference) {
    KernelChoice restore;
    for (bool wide : {false, true}) {
        clsDSP::WideKernel(wide);
        for (int32_t bands = 2; bands <= 10; ++bands) {
            clsDSP fx = Chain(44100, 2, kAll);
            fx.EqualizerBands(bands);
            std::vector<float> gains;
            for (int32_t i = 0; i < bands; ++i) {
                gains.push_back(static_cast<float>((i * 7) % 25 - 12));
                fx.EqualizerBandGainDB(i, gains.back());
            }
            Samples input;
            for (const Samples& s : ref::Signals(2000)) input.insert(input.end(), s.begin(), s.end());
            Samples want = input;
            ref::Amplify(want, 3);
            ref::Echo(44100, 100, 0.4f).Run(want);
            ref::Phaser ph;
            ph.Setup(44100, 100, 4, 1);
            ph.Run(want);
            ref::Equalizer(44100, gains).Run(want);

            Samples got = input;
            size_t at = 0;
            for (size_t len = 1; at < got.size(); len = len * 2 + 3) {
                len = std::min(len, got.size() - at);
                fx.ProcessSamples(std::span<int16_t>(got).subspan(at, len));
                at += len;
            }
            ASSERT_EQ(got, want) << "wide " << wide << ", bands " << bands;
        }
    }
}

// The narrow loop on its own, equalizer only (no other effect ahead of it), against
// the bands run one by one.
TEST(clsDSP, NarrowKernelEqualizerMatchesTheBandsOneByOne) {
    KernelChoice restore;
    clsDSP::WideKernel(false);
    EXPECT_FALSE(clsDSP::WideKernel());
    clsDSP fx = Chain(11025, 1, clsDSP::FX_EQUALIZER);
    std::vector<float> gains = {-12, 12, 0, 6, -3, 9, -9};
    for (int i = 0; i < 7; ++i) fx.EqualizerBandGainDB(i, gains[size_t(i)]);
    ref::Equalizer r(11025, gains);
    for (const Samples& s : ref::Signals(5120)) {
        Samples want = s;
        r.Run(want);
        ASSERT_EQ(Apply(fx, s), want);
    }
}

}  // namespace
}  // namespace tavrino
