#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Reference.h"
#include "core/Error.h"
#include "dsp/IIRFilter.h"

namespace tavrino {
namespace {

using ref::Samples;

Samples Apply(IIRFilter& f, Samples s) {
    f.ProcessSamples_16bit(s);
    return s;
}

TEST(IIRFilter, ScalingByTheReciprocalEqualsTheDivision) {
    for (int s = -32768; s <= 32767; ++s) {
        ASSERT_EQ(static_cast<float>(s * kInv32767), static_cast<float>(s / 32767.0)) << s;
    }
}

TEST(IIRFilter, NewFilterOutputsSilence) {
    IIRFilter f;
    EXPECT_TRUE(f.Enabled());
    EXPECT_EQ(f.IIRType(), IIRFilter::kLowPass);
    EXPECT_EQ(f.samplerate(), 0);
    Samples out = Apply(f, ref::Random(256, 3));
    EXPECT_EQ(out, Samples(256, 0));
    // Writing parameters before a sample rate computes nothing.
    f.Frequency(1000);
    f.GainDB(6);
    f.Bandwidth(1);
    EXPECT_EQ(Apply(f, ref::Random(64, 4)), Samples(64, 0));
}

TEST(IIRFilter, EveryTypeMatchesTheFormulas) {
    struct Case { int type; float gain, freq, srate, bw; };
    const Case cases[] = {
        {0, 0, 1000, 44100, 1}, {1, 0, 300, 44100, 2},  {2, 0, 5000, 22050, 0.5f},
        {3, 12, 1084, 44100, 1.303394f}, {3, -12, 80, 8000, 0.876671f}, {3, 7.5f, 14700, 44100, 1.3f},
        {0, 0, 20000, 44100, 0.1f}, {3, 0.5f, 3000, 96000, 3}};
    for (const Case& c : cases) {
        for (const Samples& input : ref::Signals(3000)) {
            IIRFilter f;
            f.CreateBiquadIIR(c.type, c.gain, c.freq, c.srate, c.bw);
            ref::Biquad r;
            r.Create(c.type, c.gain, c.freq, c.srate, c.bw);
            Samples want = input;
            for (auto& v : want) v = r.Run16(v);
            ASSERT_EQ(Apply(f, input), want) << "type " << c.type << " freq " << c.freq;

            std::vector<uint8_t> bytes(input.size()), want8(input.size());
            for (size_t i = 0; i < input.size(); ++i) bytes[i] = uint8_t(input[i] >> 8 ^ 0x80);
            f.CreateBiquadIIR(c.type, c.gain, c.freq, c.srate, c.bw);
            r.Create(c.type, c.gain, c.freq, c.srate, c.bw);
            for (size_t i = 0; i < bytes.size(); ++i) want8[i] = r.Run8(bytes[i]);
            f.ProcessSamples_8bit(bytes);
            ASSERT_EQ(bytes, want8) << "8-bit type " << c.type;
        }
    }
}

TEST(IIRFilter, HistoryCarriesOverWhateverTheBufferSizes) {
    IIRFilter whole, pieces;
    whole.CreateBiquadIIR(3, 9, 455, 44100, 1.3f);
    pieces.CreateBiquadIIR(3, 9, 455, 44100, 1.3f);
    const Samples input = ref::Random(5000, 9);
    const Samples want = Apply(whole, input);
    Samples got = input;
    size_t at = 0;
    for (size_t len : {1, 2, 127, 1000, 3, 4096}) {
        len = std::min(len, got.size() - at);
        pieces.ProcessSamples_16bit(std::span<int16_t>(got).subspan(at, len));
        at += len;
    }
    EXPECT_EQ(at, got.size());
    EXPECT_EQ(got, want);
}

TEST(IIRFilter, ZeroDbPeakingPassesTheSignal) {
    for (float srate : {8000.0f, 44100.0f}) {
        IIRFilter f;
        f.CreateBiquadIIR(IIRFilter::kPeaking, 0, 1000, srate, 1.3f);
        for (const Samples& input : ref::Signals(4000)) EXPECT_EQ(Apply(f, input), input);
    }
}

TEST(IIRFilter, DisabledLeavesSamplesAndHistory) {
    IIRFilter f, r;
    f.CreateBiquadIIR(0, 0, 500, 44100, 1);
    r.CreateBiquadIIR(0, 0, 500, 44100, 1);
    const Samples a = ref::Random(300, 5), b = ref::Random(300, 6);
    EXPECT_EQ(Apply(f, a), Apply(r, a));
    f.Enabled(false);
    EXPECT_EQ(Apply(f, b), b);
    f.Enabled(true);
    EXPECT_EQ(Apply(f, b), Apply(r, b));
}

TEST(IIRFilter, OutputBeyondFullScaleClipsWithoutWrapping) {
    IIRFilter f;
    f.CreateBiquadIIR(IIRFilter::kPeaking, 12, 1000, 44100, 1);
    Samples sine(44100);
    for (size_t i = 0; i < sine.size(); ++i)
        sine[i] = int16_t(std::lround(32767 * std::sin(2 * M_PI * 1000 * double(i) / 44100)));
    const Samples out = Apply(f, sine);
    int top = 0, bottom = 0;
    for (size_t i = 2000; i < out.size(); ++i) {
        top += out[i] == 32767;
        bottom += out[i] == -32768;
        // The filtered sine stays in phase with the input near its peaks: a wrapped
        // value would have the opposite sign.
        if (std::abs(sine[i]) > 30000) {
            EXPECT_EQ(out[i] > 0, sine[i] > 0) << i;
        }
    }
    EXPECT_GT(top, 1000);
    EXPECT_GT(bottom, 1000);
}

TEST(IIRFilter, PropertyWritesRecomputeAndClearTheHistory) {
    IIRFilter f;
    f.CreateBiquadIIR(3, 6, 1000, 44100, 1);
    EXPECT_EQ(f.samplerate(), 44100);
    EXPECT_EQ(f.IIRType(), 3);
    EXPECT_FLOAT_EQ(f.GainDB(), 6);
    EXPECT_FLOAT_EQ(f.Frequency(), 1000);
    EXPECT_FLOAT_EQ(f.Bandwidth(), 1);
    const Samples input = ref::Random(200, 11);
    Apply(f, ref::Random(50, 12));  // leaves a history behind

    struct Write { void (*apply)(IIRFilter&); ref::Biquad want; };
    ref::Biquad g, fr, bw, sr;
    g.Create(3, -3, 1000, 44100, 1);
    fr.Create(3, 6, 2000, 44100, 1);
    bw.Create(3, 6, 1000, 44100, 0.5f);
    sr.Create(3, 6, 1000, 48000, 1);
    Write writes[] = {{[](IIRFilter& x) { x.GainDB(-3); }, g},
                      {[](IIRFilter& x) { x.Frequency(2000); }, fr},
                      {[](IIRFilter& x) { x.Bandwidth(0.5f); }, bw},
                      {[](IIRFilter& x) { x.samplerate(48000); }, sr}};
    for (Write& w : writes) {
        IIRFilter copy = f;
        w.apply(copy);
        Samples want = input;
        for (auto& v : want) v = w.want.Run16(v);
        EXPECT_EQ(Apply(copy, input), want);
    }
    // srate is rounded to the nearest integer, ties to even.
    f.CreateBiquadIIR(3, 0, 100, 22050.5f, 1);
    EXPECT_EQ(f.samplerate(), 22050);
}

TEST(IIRFilter, RefusedValuesChangeNothing) {
    IIRFilter f;
    f.CreateBiquadIIR(3, 6, 1000, 44100, 1);
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (float v : bad) {
        using Write = void (IIRFilter::*)(float);
        const Write writes[] = {&IIRFilter::GainDB, &IIRFilter::Frequency, &IIRFilter::Bandwidth};
        for (Write write : writes) {
            try {
                (f.*write)(v);
                FAIL() << "accepted " << v;
            } catch (const Error& e) {
                EXPECT_EQ(e.number(), 32000);
                EXPECT_STREQ(e.what(), "invalid value");
            }
        }
    }
    EXPECT_FLOAT_EQ(f.GainDB(), 6);
    EXPECT_FLOAT_EQ(f.Frequency(), 1000);
    EXPECT_FLOAT_EQ(f.Bandwidth(), 1);
    // A rate with no 32-bit integer as a float: Overflow, and the old rate stays.
    try {
        f.samplerate(2147483647);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), kErrOverflow);
    }
    EXPECT_EQ(f.samplerate(), 44100);
    EXPECT_THROW(f.CreateBiquadIIR(3, 0, 100, std::numeric_limits<float>::quiet_NaN(), 1), Error);
    EXPECT_EQ(f.samplerate(), 44100);
}

TEST(IIRFilter, UnknownTypeOrUndefinedCoefficientsNeverCrash) {
    for (int type : {-1, 4, 1000}) {
        IIRFilter f;
        f.CreateBiquadIIR(type, 6, 1000, 44100, 1);
        EXPECT_EQ(f.IIRType(), type);
        const Samples input = ref::Random(100, 13);
        EXPECT_EQ(Apply(f, input), input);
        std::vector<uint8_t> bytes = {0, 1, 128, 255};
        f.ProcessSamples_8bit(bytes);
        EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 1, 128, 255}));
    }
    // Frequency 0 gives 0/0 coefficients: the filter outputs silence, no error.
    IIRFilter f;
    f.CreateBiquadIIR(3, 6, 0, 44100, 1);
    EXPECT_EQ(Apply(f, ref::Random(100, 14)), Samples(100, 0));
    std::vector<uint8_t> bytes = {0, 255};
    f.ProcessSamples_8bit(bytes);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{128, 128}));
}

}  // namespace
}  // namespace tavrino
