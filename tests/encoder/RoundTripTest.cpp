// Every output format round-trips: a known signal goes through EncoderWAV in capture-sized
// buffers, FFmpeg's demuxer and decoder read the file back, and the result is compared with
// the input at a tolerance fit for the codec. sox and ffprobe must accept the files.
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
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "encoder/EncoderWAV.h"
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
    std::string codec;      // FFmpeg's decoder name
    Quality quality;
    double minSnr;          // tone: dB (Snr), or the correlation (Correlation)
    double minChirpSnr;     // chirp, same rate only: dB (Snr)
    int blockFrames;        // frames one output block may add at the end (padding, codec delay)
    int delay;              // the codec's delay in output frames (MPEG Layer-3: as its descriptor says)
    int maxLag;             // output frames around it to search (resampler, vocoder)
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

// The test tone: the same sine in every channel, each channel quieter by half than the one
// before, so a channel swap or a wrong mix shows.
double Tone(int ch, double t, double amp) { return amp * std::pow(0.5, ch) * std::sin(2 * std::numbers::pi * 440 * t); }

std::vector<int16_t> ToneSamples(int32_t rate, int channels, int frames, double amp) {
    std::vector<int16_t> s(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            s[static_cast<size_t>(i) * channels + c] =
                static_cast<int16_t>(std::lround(Tone(c, static_cast<double>(i) / rate, amp)));
    return s;
}

// What output channel `c` should hold, at the output rate, for the input signal.
std::vector<double> Expected(const Case& k, const std::vector<int16_t>& input, int c, int64_t frames, bool tone,
                             double amp) {
    const int outCh = k.format.Channels();
    const int inCh = k.inChannels;
    if (k.format.SamplesPerSec() == k.inRate) {
        if (outCh == inCh) return test::Channel(input, inCh, c);
        if (outCh == 1) {  // mean of the two
            auto l = test::Channel(input, inCh, 0), r = test::Channel(input, inCh, 1);
            for (size_t i = 0; i < l.size(); ++i) l[i] = (l[i] + r[i]) / 2;
            return l;
        }
        return test::Channel(input, inCh, 0);  // mono to both
    }
    // A rate change: the tone computed at the output rate.
    EXPECT_TRUE(tone);
    std::vector<double> e(static_cast<size_t>(frames));
    const int32_t rate = k.format.SamplesPerSec();
    for (int64_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        double v;
        if (outCh == inCh) v = Tone(c, t, amp);
        else if (outCh == 1) v = (Tone(0, t, amp) + Tone(1, t, amp)) / 2;
        else v = Tone(0, t, amp);
        e[static_cast<size_t>(i)] = v / 32768.0;
    }
    return e;
}

double Correlation(const std::vector<double>& a, const std::vector<double>& b, int maxLag, int margin) {
    double best = 0;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (long i = margin; i < static_cast<long>(a.size()) - margin; ++i) {
            const long j = i + lag;
            if (j < 0 || j >= static_cast<long>(b.size())) continue;
            ab += a[i] * b[j];
            aa += a[i] * a[i];
            bb += b[j] * b[j];
        }
        if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
    }
    return best;
}

double Rms(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x * x;
    return v.empty() ? 0 : std::sqrt(s / static_cast<double>(v.size()));
}

class RoundTrip : public ::testing::TestWithParam<Case> {
protected:
    // Encodes `input` in 10240-byte buffers (the capture's) and closes the file.
    void Write(const std::vector<int16_t>& input, const std::string& path) {
        const Case& k = GetParam();
        EncoderWAV enc;
        enc.SetFormat(k.format.data(), static_cast<int32_t>(k.format.size()), acm::Describe(k.format),
                      acm::TagName(k.format.FormatTag()));
        ASSERT_EQ(enc.Encoder_EncoderInit(k.inRate, k.inChannels, path), EncOK);
        const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
        const auto total = static_cast<int32_t>(input.size() * 2);
        for (int32_t off = 0; off < total; off += 10240) {
            int32_t used = 0;
            ASSERT_EQ(enc.Encoder_Encode(bytes + off, std::min(10240, total - off), used), EncOK);
        }
        ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    }

    // Reads the file back and checks format, header sizes and length.
    test::Decoded ReadBack(const std::string& path, int64_t inFrames) {
        const Case& k = GetParam();
        const auto file = test::ReadBytes(path);
        const auto h = test::ReadHeaderSizes(file);
        EXPECT_EQ(h.riff + 8, file.size());
        EXPECT_EQ(h.fmt, k.format.size());
        EXPECT_EQ(h.data + 28 + h.fmt, file.size());
        test::Decoded d = test::DecodeFile(path);
        EXPECT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.codec, k.codec);
        EXPECT_EQ(d.rate, k.format.SamplesPerSec());
        EXPECT_EQ(d.channels, k.format.Channels());
        // Every sample arrives: the length is the input's (at the output rate), plus at most
        // what one block or the codec's delay adds.
        const auto expected = static_cast<int64_t>(
            std::llround(static_cast<double>(inFrames) * k.format.SamplesPerSec() / k.inRate));
        const int64_t slack = k.format.SamplesPerSec() == k.inRate ? 0 : 2;
        EXPECT_GE(d.frames(), expected - slack);
        EXPECT_LE(d.frames(), expected + slack + k.blockFrames);
        return d;
    }
};

TEST_P(RoundTrip, ToneAndChirpKeepTheirShape) {
    const Case& k = GetParam();
    test::TempDir dir;
    const int frames = k.inRate * 3 / 2;
    const double amp = 16384;  // -6 dBFS
    const auto input = ToneSamples(k.inRate, k.inChannels, frames, amp);
    const std::string path = dir.File("tone.wav");
    Write(input, path);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(test::RunsOk("ffprobe -v error " + test::Quote(path)));
    if (k.format.FormatTag() != WAVE_FORMAT_MPEGLAYER3) {
        EXPECT_TRUE(test::RunsOk("sox --i " + test::Quote(path)));
    }
    const auto d = ReadBack(path, frames);
    if (!d.ok) return;

    for (int c = 0; c < d.channels; ++c) {
        const auto got = test::Channel(d.samples, d.channels, c);
        const auto want = Expected(k, input, c, d.frames(), true, amp);
        switch (k.quality) {
            case Quality::Exact:
                ASSERT_GE(got.size(), want.size());
                for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << "channel " << c << " at " << i;
                break;
            case Quality::Pcm8:
                for (size_t i = 0; i < want.size(); ++i)
                    ASSERT_LE(std::abs(got[i] - want[i]), 1.0 / 128) << "channel " << c << " at " << i;
                break;
            case Quality::Snr: {
                int lag = 0;
                const double snr = test::AlignedSnr(want, got, k.delay, k.maxLag, 1200, &lag);
                EXPECT_GE(snr, k.minSnr) << "channel " << c << ", delay " << lag;
                if (k.format.FormatTag() == WAVE_FORMAT_MPEGLAYER3) {
                    EXPECT_EQ(lag, WaveFormat::ReadU16(k.format.Extra(), 10));  // nCodecDelay is true
                }
                RecordProperty("snr_ch" + std::to_string(c), std::to_string(snr));
                break;
            }
            case Quality::Correlation: {
                const double r = Correlation(want, got, k.maxLag, 400);
                RecordProperty("correlation_ch" + std::to_string(c), std::to_string(r));
                EXPECT_GE(r, k.minSnr) << "channel " << c;
                const double levelDb = 20 * std::log10(Rms(got) / Rms(want));
                EXPECT_LT(std::abs(levelDb), 6.0);
                break;
            }
        }
    }

    // A chirp over most of the band: same checks of format and length; for the codecs
    // that keep the waveform, a lower bar than the tone (more high-frequency content).
    const auto chirp = test::Chirp(k.inRate, k.inChannels, frames, 100,
                                   0.4 * std::min(k.inRate, k.format.SamplesPerSec()), 12000);
    const std::string chirpPath = dir.File("chirp.wav");
    Write(chirp, chirpPath);
    if (HasFatalFailure()) return;
    const auto dc = ReadBack(chirpPath, frames);
    if (dc.ok && k.format.SamplesPerSec() == k.inRate) {
        const auto got = test::Channel(dc.samples, dc.channels, 0);
        const auto want = Expected(k, chirp, 0, dc.frames(), false, 0);
        if (k.quality == Quality::Exact) {
            for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << i;
        } else if (k.quality == Quality::Snr) {
            const double snr = test::AlignedSnr(want, got, k.delay, k.maxLag, 1200);
            RecordProperty("chirp_snr", std::to_string(snr));
            EXPECT_GE(snr, k.minChirpSnr);
        }
    }
}

TEST_P(RoundTrip, SilenceAndFullScale) {
    const Case& k = GetParam();
    test::TempDir dir;
    const int frames = k.inRate / 2;
    const std::string quiet = dir.File("silence.wav");
    Write(std::vector<int16_t>(static_cast<size_t>(frames) * k.inChannels, 0), quiet);
    if (HasFatalFailure()) return;
    const auto d = ReadBack(quiet, frames);
    double peak = 0;
    for (double v : d.samples) peak = std::max(peak, std::abs(v));
    EXPECT_LT(peak, 0.01);  // below -40 dBFS: no noise, no clicks

    const std::string loud = dir.File("full.wav");
    const auto full = test::FullScale(k.inChannels, frames);
    Write(full, loud);
    if (HasFatalFailure()) return;
    const auto f = ReadBack(loud, frames);
    double loudPeak = 0;
    for (double v : f.samples) {
        ASSERT_TRUE(std::isfinite(v));
        loudPeak = std::max(loudPeak, std::abs(v));
    }
    EXPECT_GT(loudPeak, 0.5);
    if (k.quality == Quality::Exact) {
        const auto want = Expected(k, full, 0, f.frames(), false, 0);
        const auto got = test::Channel(f.samples, f.channels, 0);
        for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << i;
    }
}

const int kImaStereo = 2041, kMsStereo = 2036;

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
        Case{"ImaAdpcm", acm::ImaAdpcmFormat(44100, 2), 44100, 2, "adpcm_ima_wav", Quality::Snr, 40, 13, kImaStereo, 0, 0},
        Case{"ImaAdpcm22kMono", acm::ImaAdpcmFormat(22050, 1), 44100, 2, "adpcm_ima_wav", Quality::Snr, 34, 0, 2041, 0, 8},
        Case{"ImaAdpcm8kMono", acm::ImaAdpcmFormat(8000, 1), 8000, 1, "adpcm_ima_wav", Quality::Snr, 25, 13, 505, 0, 0},
        Case{"MsAdpcm", acm::MsAdpcmFormat(44100, 2), 44100, 2, "adpcm_ms", Quality::Snr, 40, 13, kMsStereo, 0, 0},
        Case{"MsAdpcm11kStereo", acm::MsAdpcmFormat(11025, 2), 11025, 2, "adpcm_ms", Quality::Snr, 27, 13, 500, 0, 0},
        Case{"Gsm8kMono", acm::Gsm610Format(), 8000, 1, "gsm_ms", Quality::Correlation, 0.95, 0, 320, 0, 400},
        Case{"GsmFrom44kStereo", acm::Gsm610Format(), 44100, 2, "gsm_ms", Quality::Correlation, 0.95, 0, 320, 0, 400},
        Case{"Mp3", acm::Mp3Format(44100, 2, 128), 44100, 2, "mp3", Quality::Snr, 20, 9, 1105 + 3 * 1152, 1105, 8},
        Case{"Mp3At22kMono", acm::Mp3Format(22050, 1, 64), 44100, 2, "mp3", Quality::Snr, 15, 0, 1105 + 3 * 576, 1105, 8},
        Case{"Mp3At8kMono", acm::Mp3Format(8000, 1, 16), 8000, 1, "mp3", Quality::Snr, 20, 20, 1105 + 3 * 576, 1105, 8}),
    [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace tavrino
