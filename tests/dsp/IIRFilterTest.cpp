// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Reference.h"
#include "dsp/IIRFilter.h"

namespace tavrino {
namespace {

using ref::Samples;

Samples Apply(IIRFilter& f, Samples s) {
    f.ProcessSamples_16bit(s);
    return s;
}

std::vector<uint8_t> Apply8(IIRFilter& f, std::vector<uint8_t> b) {
    f.ProcessSamples_8bit(b);
    return b;
}

TEST(IIRFilter, ScalingByTheReciprocalEqualsTheDivision) {
    for (int s = -32768; s <= 32767; ++s)
        ASSERT_EQ(static_cast<float>(s * kInv32767), static_cast<float>(s / 32767.0)) << s;
}

// Every type, 16 and 8 bits, against the reference; the 16-bit run cut into buffers of
// many sizes, since the history carries over.
TEST(IIRFilter, EveryTypeMatchesTheFormulasWhateverTheBufferSizes) {
    struct Case { int type; float gain, freq, srate, bw; };
    const Case cases[] = {{0, 0, 1000, 44100, 1},          {1, 0, 300, 44100, 2},
                          {2, 0, 5000, 22050, 0.5f},       {3, 12, 1084, 44100, 1.303394f},
                          {3, -12, 80, 8000, 0.876671f},   {3, 7.5f, 14700, 44100, 1.3f},
                          {0, 0, 20000, 44100, 0.1f},      {3, 0.5f, 3000, 96000, 3}};
    for (const Case& c : cases) {
        for (const Samples& input : ref::Signals(3000)) {
            IIRFilter f;
            ref::Biquad r;
            f.CreateBiquadIIR(c.type, c.gain, c.freq, c.srate, c.bw);
            r.Create(c.type, c.gain, c.freq, c.srate, c.bw);
            Samples want = input, got = input;
            for (auto& v : want) v = r.Run16(v);
            for (size_t at = 0, len = 1; at < got.size(); at += len, len = len * 3 + 1) {
                len = std::min(len, got.size() - at);
                f.ProcessSamples_16bit(std::span<int16_t>(got).subspan(at, len));
            }
            ASSERT_EQ(got, want) << "type " << c.type << " freq " << c.freq;

            std::vector<uint8_t> bytes(input.size()), want8(input.size());
            for (size_t i = 0; i < input.size(); ++i) bytes[i] = uint8_t(input[i] >> 8 ^ 0x80);
            f.CreateBiquadIIR(c.type, c.gain, c.freq, c.srate, c.bw);
            r.Create(c.type, c.gain, c.freq, c.srate, c.bw);
            for (size_t i = 0; i < bytes.size(); ++i) want8[i] = r.Run8(bytes[i]);
            ASSERT_EQ(Apply8(f, bytes), want8) << "8-bit type " << c.type;
        }
    }
    // A 0 dB peaking band passes every signal unchanged.
    for (float srate : {8000.0f, 44100.0f}) {
        IIRFilter f;
        f.CreateBiquadIIR(IIRFilter::kPeaking, 0, 1000, srate, 1.3f);
        for (const Samples& input : ref::Signals(4000)) EXPECT_EQ(Apply(f, input), input);
    }
}

TEST(IIRFilter, OutputBeyondFullScaleClipsWithoutWrapping) {
    IIRFilter f;
    f.CreateBiquadIIR(IIRFilter::kPeaking, 12, 1000, 44100, 1);
    Samples sine(44100);
    for (size_t i = 0; i < sine.size(); ++i) sine[i] = int16_t(std::lround(32767 * std::sin(M_PI * double(i) / 22.05)));
    const Samples out = Apply(f, sine);
    int top = 0, bottom = 0;
    // Near its peaks the filtered 1 kHz sine is in phase with the input: a wrapped value
    // would have the opposite sign.
    for (size_t i = 2000; i < out.size(); ++i) {
        top += out[i] == 32767, bottom += out[i] == -32768;
        if (std::abs(sine[i]) > 30000) { ASSERT_EQ(out[i] > 0, sine[i] > 0) << i; }
    }
    EXPECT_TRUE(top > 1000 && bottom > 1000) << top << " " << bottom;
}

// A new filter outputs silence until designed; a disabled one or one of an unknown type
// passes samples and keeps its history; 0/0 coefficients (frequency 0) give silence.
TEST(IIRFilter, FiltersThatDoNotFilterNeverCrash) {
    IIRFilter f, r;
    EXPECT_EQ(Apply(f, ref::Random(256, 3)), Samples(256, 0));
    f.Frequency(1000), f.GainDB(6), f.Bandwidth(1);  // no sample rate yet: no design
    EXPECT_EQ(Apply(f, ref::Random(64, 4)), Samples(64, 0));

    f.CreateBiquadIIR(0, 0, 500, 44100, 1);
    r.CreateBiquadIIR(0, 0, 500, 44100, 1);
    const Samples a = ref::Random(300, 5), b = ref::Random(300, 6);
    EXPECT_EQ(Apply(f, a), Apply(r, a));
    f.Enabled(false);
    EXPECT_EQ(Apply(f, b), b);
    f.Enabled(true);
    EXPECT_EQ(Apply(f, b), Apply(r, b));

    const std::vector<uint8_t> bytes = {0, 1, 128, 255};
    for (int type : {-1, 4, 1000}) {
        f.CreateBiquadIIR(type, 6, 1000, 44100, 1);
        EXPECT_EQ(Apply(f, a), a);
        EXPECT_EQ(Apply8(f, bytes), bytes);
    }
    f.CreateBiquadIIR(3, 6, 0, 44100, 1);
    EXPECT_EQ(Apply(f, a), Samples(a.size(), 0));
    EXPECT_EQ(Apply8(f, {0, 255}), (std::vector<uint8_t>{128, 128}));
}

TEST(IIRFilter, PropertyWritesRecomputeAndClearTheHistory) {
    IIRFilter f;
    f.CreateBiquadIIR(3, 6, 1000, 44100, 1);
    Apply(f, ref::Random(50, 12));  // leaves a history behind
    const Samples input = ref::Random(200, 11);
    ref::Biquad r;
    const auto expect = [&](float gain, float freq, float srate, float bw) {
        r.Create(3, gain, freq, srate, bw);
        Samples want = input;
        for (auto& v : want) v = r.Run16(v);
        EXPECT_EQ(Apply(f, input), want) << gain << " " << freq << " " << srate << " " << bw;
    };
    f.GainDB(-3);
    expect(-3, 1000, 44100, 1);
    f.Frequency(2000);
    expect(-3, 2000, 44100, 1);
    f.Bandwidth(0.5f);
    expect(-3, 2000, 44100, 0.5f);
    f.samplerate(48000);
    expect(-3, 2000, 48000, 0.5f);

    // Refused writes change nothing.
    IIRFilter before = f;
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (float v : {nan, inf, -inf})
        for (auto write : std::initializer_list<void (IIRFilter::*)(float)>{&IIRFilter::GainDB, &IIRFilter::Frequency, &IIRFilter::Bandwidth})
            ref::ExpectError([&] { (f.*write)(v); }, 32000, "invalid value");
    // A rate with no 32-bit integer as a float: Overflow.
    ref::ExpectError([&] { f.samplerate(2147483647); }, kErrOverflow, "Overflow");
    ref::ExpectError([&] { f.CreateBiquadIIR(3, 0, 100, nan, 1); }, kErrOverflow, "Overflow");
    EXPECT_TRUE(f.samplerate() == 48000 && f.GainDB() == -3 && f.Frequency() == 2000 && f.Bandwidth() == 0.5f);
    EXPECT_EQ(Apply(f, input), Apply(before, input));

    // srate is rounded to the nearest integer, ties to even.
    f.CreateBiquadIIR(3, 0, 100, 22050.5f, 1);
    EXPECT_EQ(f.samplerate(), 22050);
}

}  // namespace
}  // namespace tavrino
