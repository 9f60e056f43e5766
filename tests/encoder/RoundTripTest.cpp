// SPDX-License-Identifier: GPL-3.0-or-later
// Every output format round-trips: a known signal goes through EncoderWAV in capture-sized
// buffers, FFmpeg's demuxer and decoder read the file back, and the result is compared with
// the input at a tolerance fit for the codec. ffprobe and sox (which does not read MPEG
// Layer-3 in WAV) must accept the files too.
//
// Tolerances: the SNR of a 440 Hz tone at -6 dBFS was measured for each case (in
// brackets) and the bar set about 5 dB below it, so that a real loss of quality fails:
//   - PCM 16/24/32 bit and float from 16-bit input: exact, sample for sample.
//   - PCM 8 bit: 8-bit quantisation, error below one 8-bit step.
//   - Rate changes, compared with the tone computed at the output rate: 70-80 dB
//     [81-92 dB]; stereo to mono, the mean rounded to 16 bits: 80 dB [88 dB].
//   - G.711 A-law/u-law: 34/32 dB [39/37 dB], the laws' 8-bit companding.
//   - IMA / Microsoft ADPCM: 40 dB at 44.1 kHz [45-46 dB], 34 dB at 22 kHz [40 dB],
//     25-27 dB at 8-11 kHz [30-32 dB]: 4-bit adaptive steps lose more at low rates.
//   - MPEG Layer-3: 20 dB [26 dB] at 128 kbit/s 44.1 kHz and 16 kbit/s 8 kHz, 15 dB
//     [19.5 dB] at 64 kbit/s 22 kHz, each after exactly the codec delay its descriptor
//     announces (1105 samples).
//   - GSM 6.10 is a speech vocoder that need not keep the waveform: a correlation of the
//     decoded signal with the input of at least 0.95 [0.9998 on the tone], and the level
//     within 6 dB.
// The chirp (100 Hz up to 0.4 x the rate, at -8.7 dBFS) is harder for the adaptive codecs:
// 17-18 dB [bar 13] for ADPCM, 13 dB at 128 kbit/s [bar 9] where the sweep passes LAME's
// 16 kHz low-pass; 37.7 dB [bar 32] for A-law.
// Silence must stay below -40 dBFS and a full-scale square must come back loud and finite.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "encoder/TestSupport.h"
#include "platform/acm/AcmFormats.h"

namespace tavrino {
namespace {

enum class Quality { Exact, Pcm8, Snr, Correlation };

struct Case {
    std::string name;
    WaveFormat format;
    int32_t inRate;
    int16_t inChannels;
    std::string codec;   // FFmpeg's decoder name
    Quality quality;
    double minSnr;       // tone: dB (Snr), or the correlation (Correlation)
    double minChirpSnr;  // chirp, same rate only: dB (Snr); 0: not compared
    int blockFrames;     // frames one output block may add at the end (padding, codec delay)
    int delay;           // the codec's delay in output frames (MPEG Layer-3: as its descriptor says)
    int maxLag;          // output frames around it to search (resampler, vocoder)
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

// The test tone: the same sine in every channel, each channel quieter by half than the one
// before, so a channel swap or a wrong mix shows.
double Tone(int ch, double t, double amp) { return amp * std::pow(0.5, ch) * std::sin(2 * std::numbers::pi * 440 * t); }

// What output channel `c` should hold, at the output rate: the input mixed as the stream
// mixes (stereo to mono the mean, mono to both), or the tone computed at a new rate.
std::vector<double> Expected(const Case& k, const std::vector<int16_t>& input, int c, int64_t frames, double amp) {
    const int outCh = k.format.Channels(), inCh = k.inChannels;
    const bool mean = outCh == 1 && inCh == 2;
    if (k.format.SamplesPerSec() == k.inRate) {
        auto e = test::Channel(input, inCh, outCh == inCh ? c : 0);
        if (mean) {
            const auto r = test::Channel(input, inCh, 1);
            for (size_t i = 0; i < e.size(); ++i) e[i] = (e[i] + r[i]) / 2;
        }
        return e;
    }
    std::vector<double> e(static_cast<size_t>(frames));
    for (size_t i = 0; i < e.size(); ++i) {
        const double t = static_cast<double>(i) / k.format.SamplesPerSec();
        e[i] = (mean ? (Tone(0, t, amp) + Tone(1, t, amp)) / 2 : Tone(outCh == inCh ? c : 0, t, amp)) / 32768.0;
    }
    return e;
}

double Correlation(const std::vector<double>& a, const std::vector<double>& b, int maxLag, int margin) {
    double best = 0;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (long i = margin, j = margin + lag; i < static_cast<long>(a.size()) - margin; ++i, ++j) {
            if (j < 0 || j >= static_cast<long>(b.size())) continue;
            ab += a[i] * b[j], aa += a[i] * a[i], bb += b[j] * b[j];
        }
        if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
    }
    return best;
}

double Rms(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x * x;
    return std::sqrt(s / static_cast<double>(std::max<size_t>(v.size(), 1)));
}

// Whether a shell command succeeds (its output discarded).
bool RunsOk(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A path as one word for the shell.
std::string Quoted(const std::string& path) {
    std::string q = "'";
    for (char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class RoundTrip : public ::testing::TestWithParam<Case> {
protected:
    // Encodes `input` in 10240-byte buffers (the capture's), closes the file, reads it back
    // and checks format, header sizes and length.
    test::Decoded WriteAndRead(const std::vector<int16_t>& input, const std::string& path) {
        const Case& k = GetParam();
        {
            EncoderWAV enc;
            enc.SetFormat(k.format.data(), static_cast<int32_t>(k.format.size()), "", "");
            EXPECT_EQ(enc.Encoder_EncoderInit(k.inRate, k.inChannels, path), EncOK);
            EXPECT_EQ(test::EncodeAll(enc, input), EncOK);
            EXPECT_EQ(enc.Encoder_EncoderClose(), EncOK);
        }
        test::ExpectSizesMatch(path);
        EXPECT_EQ(test::ReadHeaderSizes(test::ReadBytes(path)).fmt, k.format.size());
        test::Decoded d = test::DecodeFile(path);
        EXPECT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.codec, k.codec);
        EXPECT_EQ(d.rate, k.format.SamplesPerSec());
        EXPECT_EQ(d.channels, k.format.Channels());
        // Every sample arrives: the length is the input's (at the output rate), plus at most
        // what one block or the codec's delay adds.
        const int64_t inFrames = static_cast<int64_t>(input.size()) / k.inChannels;
        const auto expected = std::llround(static_cast<double>(inFrames) * k.format.SamplesPerSec() / k.inRate);
        const int64_t slack = k.format.SamplesPerSec() == k.inRate ? 0 : 2;
        EXPECT_GE(d.frames(), expected - slack);
        EXPECT_LE(d.frames(), expected + slack + k.blockFrames);
        return d;
    }

    // Compares one decoded channel with what it should hold, at the case's tolerance.
    void Compare(const std::vector<double>& want, const std::vector<double>& got, double minSnr, const char* what) {
        const Case& k = GetParam();
        SCOPED_TRACE(what);
        if (k.quality == Quality::Exact || k.quality == Quality::Pcm8) {
            ASSERT_GE(got.size(), want.size());
            const double tolerance = k.quality == Quality::Exact ? 0 : 1.0 / 128;
            for (size_t i = 0; i < want.size(); ++i) ASSERT_LE(std::abs(got[i] - want[i]), tolerance) << i;
        } else if (k.quality == Quality::Snr) {
            int lag = 0;
            EXPECT_GE(test::AlignedSnr(want, got, k.delay, k.maxLag, 1200, &lag), minSnr) << "delay " << lag;
            // MPEG Layer-3: the delay found is the one its descriptor announces.
            if (k.format.FormatTag() == WAVE_FORMAT_MPEGLAYER3) { EXPECT_EQ(lag, WaveFormat::ReadU16(k.format.Extra(), 10)); }
        } else {
            EXPECT_GE(Correlation(want, got, k.maxLag, 400), minSnr);
            EXPECT_LT(std::abs(20 * std::log10(Rms(got) / Rms(want))), 6.0);
        }
    }
};

TEST_P(RoundTrip, SignalsKeepTheirShape) {
    const Case& k = GetParam();
    const bool sameRate = k.format.SamplesPerSec() == k.inRate;
    test::TempDir dir;
    const int frames = k.inRate * 3 / 2;
    const double amp = 16384;  // -6 dBFS
    std::vector<int16_t> tone(static_cast<size_t>(frames) * k.inChannels);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(std::lround(Tone(static_cast<int>(i % k.inChannels), static_cast<double>(i / k.inChannels) / k.inRate, amp)));
    const auto d = WriteAndRead(tone, dir.File("tone.wav"));
    const std::string quoted = Quoted(dir.File("tone.wav"));
    EXPECT_TRUE(RunsOk("ffprobe -v error " + quoted));
    if (k.format.FormatTag() != WAVE_FORMAT_MPEGLAYER3) {
        EXPECT_TRUE(RunsOk("sox --i " + quoted));
    }
    for (int c = 0; c < d.channels && d.ok; ++c)
        Compare(Expected(k, tone, c, d.frames(), amp), test::Channel(d.samples, d.channels, c), k.minSnr, "tone");

    // A chirp over most of the band: more high-frequency content, a lower bar.
    const auto chirp = test::Chirp(k.inRate, k.inChannels, frames, 100, 0.4 * std::min(k.inRate, k.format.SamplesPerSec()), 12000);
    const auto dc = WriteAndRead(chirp, dir.File("chirp.wav"));
    if (dc.ok && sameRate && (k.quality != Quality::Snr || k.minChirpSnr > 0) && k.quality != Quality::Correlation)
        Compare(Expected(k, chirp, 0, dc.frames(), 0), test::Channel(dc.samples, dc.channels, 0), k.minChirpSnr, "chirp");

    const auto quiet = WriteAndRead(std::vector<int16_t>(static_cast<size_t>(frames / 3) * k.inChannels, 0), dir.File("0.wav"));
    for (double v : quiet.samples) ASSERT_LT(std::abs(v), 0.01);  // no noise, no clicks

    const auto full = test::FullScale(k.inChannels, frames / 3);
    const auto loud = WriteAndRead(full, dir.File("full.wav"));
    double peak = 0;
    for (double v : loud.samples) peak = std::isfinite(v) ? std::max(peak, std::abs(v)) : INFINITY;
    EXPECT_TRUE(peak > 0.5 && std::isfinite(peak)) << peak;
    if (k.quality == Quality::Exact)
        Compare(Expected(k, full, 0, loud.frames(), 0), test::Channel(loud.samples, loud.channels, 0), 0, "full scale");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RoundTrip,
    ::testing::Values(
        Case{"Pcm16", WaveFormat::Pcm(44100, 2), 44100, 2, "pcm_s16le", Quality::Exact, 0, 0, 0, 0, 0},
        Case{"Pcm16From22050", WaveFormat::Pcm(44100, 2), 22050, 2, "pcm_s16le", Quality::Snr, 70, 0, 0, 0, 8},
        Case{"Pcm16MonoFromStereo", WaveFormat::Pcm(44100, 1), 44100, 2, "pcm_s16le", Quality::Snr, 80, 80, 0, 0, 0},
        Case{"Pcm8", acm::PcmFormat(44100, 2, 8), 44100, 2, "pcm_u8", Quality::Pcm8, 0, 0, 0, 0, 0},
        Case{"Pcm24", acm::PcmFormat(44100, 2, 24), 44100, 2, "pcm_s24le", Quality::Exact, 0, 0, 0, 0, 0},
        Case{"Pcm24At48k", acm::PcmFormat(48000, 2, 24), 44100, 2, "pcm_s24le", Quality::Snr, 75, 0, 0, 0, 8},
        Case{"Pcm32Mono", acm::PcmFormat(8000, 1, 32), 8000, 1, "pcm_s32le", Quality::Exact, 0, 0, 0, 0, 0},
        Case{"Float", acm::FloatFormat(44100, 2), 44100, 2, "pcm_f32le", Quality::Exact, 0, 0, 0, 0, 0},
        Case{"FloatFrom8kMono", acm::FloatFormat(96000, 2), 8000, 1, "pcm_f32le", Quality::Snr, 80, 0, 0, 0, 8},
        Case{"ALaw", acm::ALawFormat(44100, 2), 44100, 2, "pcm_alaw", Quality::Snr, 34, 32, 0, 0, 0},
        Case{"MuLaw8kMono", acm::MuLawFormat(8000, 1), 44100, 2, "pcm_mulaw", Quality::Snr, 32, 0, 0, 0, 8},
        Case{"ImaAdpcm", acm::ImaAdpcmFormat(44100, 2), 44100, 2, "adpcm_ima_wav", Quality::Snr, 40, 13, 2041, 0, 0},
        Case{"ImaAdpcm22kMono", acm::ImaAdpcmFormat(22050, 1), 44100, 2, "adpcm_ima_wav", Quality::Snr, 34, 0, 2041, 0, 8},
        Case{"ImaAdpcm8kMono", acm::ImaAdpcmFormat(8000, 1), 8000, 1, "adpcm_ima_wav", Quality::Snr, 25, 13, 505, 0, 0},
        Case{"MsAdpcm", acm::MsAdpcmFormat(44100, 2), 44100, 2, "adpcm_ms", Quality::Snr, 40, 13, 2036, 0, 0},
        Case{"MsAdpcm11kStereo", acm::MsAdpcmFormat(11025, 2), 11025, 2, "adpcm_ms", Quality::Snr, 27, 13, 500, 0, 0},
        Case{"Gsm8kMono", acm::Gsm610Format(), 8000, 1, "gsm_ms", Quality::Correlation, 0.95, 0, 320, 0, 400},
        Case{"GsmFrom44kStereo", acm::Gsm610Format(), 44100, 2, "gsm_ms", Quality::Correlation, 0.95, 0, 320, 0, 400},
        Case{"Mp3", acm::Mp3Format(44100, 2, 128), 44100, 2, "mp3", Quality::Snr, 20, 9, 1105 + 3 * 1152, 1105, 8},
        Case{"Mp3At22kMono", acm::Mp3Format(22050, 1, 64), 44100, 2, "mp3", Quality::Snr, 15, 0, 1105 + 3 * 576, 1105, 8},
        Case{"Mp3At8kMono", acm::Mp3Format(8000, 1, 16), 8000, 1, "mp3", Quality::Snr, 20, 20, 1105 + 3 * 576, 1105, 8}),
    [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace tavrino
