// The conversion stream's contract and the format catalogue.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "encoder/TestSupport.h"
#include "platform/acm/AcmFormats.h"
#include "platform/acm/AcmStream.h"

namespace tavrino::acm {
namespace {

std::vector<uint8_t> Bytes(const std::vector<int16_t>& s) {
    std::vector<uint8_t> b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

std::unique_ptr<AcmStream> OpenOk(const WaveFormat& src, const WaveFormat& dst) {
    std::unique_ptr<AcmStream> s;
    EXPECT_EQ(AcmStream::Open(s, src, dst.bytes()), MMSYSERR_NOERROR) << Describe(dst);
    return s;
}

// Feeds `input` in pieces of the given sizes (cycled) as the encoder does: block-aligned,
// keeping what was not taken in front of the next piece, then the end flag. Checks the
// worst-case size on every call.
std::vector<uint8_t> ConvertAll(const WaveFormat& src, const WaveFormat& dst, const std::vector<uint8_t>& input,
                         const std::vector<size_t>& pieces) {
    auto s = OpenOk(src, dst);
    if (!s) return {};
    std::vector<uint8_t> out, pending;
    size_t off = 0, k = 0;
    for (;;) {
        const bool end = off >= input.size();
        const size_t n = end ? 0 : std::min(pieces[k++ % pieces.size()], input.size() - off);
        pending.insert(pending.end(), input.begin() + static_cast<long>(off), input.begin() + static_cast<long>(off + n));
        off += n;
        uint32_t worst = 0;
        EXPECT_EQ(s->Size(static_cast<uint32_t>(pending.size()), worst), MMSYSERR_NOERROR);
        std::vector<uint8_t> dstBuf(worst);
        AcmStreamHeader h;
        h.pbSrc = pending.data();
        h.cbSrcLength = static_cast<uint32_t>(pending.size());
        h.pbDst = dstBuf.data();
        h.cbDstLength = worst;
        EXPECT_EQ(s->Convert(h, end ? ACM_STREAMCONVERTF_END : ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
        EXPECT_LE(h.cbDstLengthUsed, worst);
        EXPECT_EQ(h.cbDstLengthUsed % std::max<uint32_t>(1, static_cast<uint16_t>(dst.BlockAlign())), 0u);
        EXPECT_LT(pending.size() - h.cbSrcLengthUsed, std::max<uint32_t>(s->SourceBlockBytes(), 1));
        out.insert(out.end(), dstBuf.begin(), dstBuf.begin() + h.cbDstLengthUsed);
        pending.erase(pending.begin(), pending.begin() + h.cbSrcLengthUsed);
        if (end) break;
    }
    EXPECT_TRUE(pending.empty());
    return out;
}

TEST(AcmFormats, DescriptorsAreByteExact) {
    auto bytes = [](const WaveFormat& f) { return std::vector<uint8_t>(f.data(), f.data() + f.size()); };
    // IMA ADPCM 44.1 kHz stereo: 2048-byte blocks of 2041 samples.
    EXPECT_EQ(bytes(ImaAdpcmFormat(44100, 2)),
              (std::vector<uint8_t>{0x11, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0xDB, 0xAC, 0x00, 0x00, 0x00, 0x08,
                                    0x04, 0x00, 0x02, 0x00, 0xF9, 0x07}));
    // Microsoft ADPCM 44.1 kHz stereo: 2036 samples per block and the seven coefficient pairs.
    EXPECT_EQ(bytes(MsAdpcmFormat(44100, 2)),
              (std::vector<uint8_t>{0x02, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x47, 0xAD, 0x00, 0x00, 0x00,
                                    0x08, 0x04, 0x00, 0x20, 0x00, 0xF4, 0x07, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00,
                                    0x00, 0x02, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x40, 0x00, 0xF0,
                                    0x00, 0x00, 0x00, 0xCC, 0x01, 0x30, 0xFF, 0x88, 0x01, 0x18, 0xFF}));
    EXPECT_EQ(bytes(Gsm610Format()), (std::vector<uint8_t>{0x31, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0x59, 0x06,
                                                           0x00, 0x00, 0x41, 0x00, 0x00, 0x00, 0x02, 0x00, 0x40, 0x01}));
    EXPECT_EQ(bytes(Mp3Format(44100, 2, 128)),
              (std::vector<uint8_t>{0x55, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x01, 0x00,
                                    0x00, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA1, 0x01, 0x01, 0x00,
                                    0x51, 0x04}));
    EXPECT_EQ(bytes(ALawFormat(8000, 1)), (std::vector<uint8_t>{0x06, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0x40,
                                                                0x1F, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 0x00}));
    EXPECT_EQ(MuLawFormat(8000, 2).FormatTag(), WAVE_FORMAT_MULAW);
    EXPECT_EQ(FloatFormat(48000, 2).BlockAlign(), 8);
    EXPECT_EQ(FloatFormat(48000, 2).size(), 18u);
    // Smaller blocks at lower rates: 8 kHz mono IMA has 256-byte blocks of 505 samples.
    EXPECT_EQ(ImaAdpcmFormat(8000, 1).BlockAlign(), 256);
    EXPECT_EQ(WaveFormat::ReadU16(ImaAdpcmFormat(8000, 1).bytes(), 18), 505);
}

TEST(AcmFormats, CatalogueOffersWhatOpens) {
    const auto tags = EnumerateFormats(WaveFormat::Pcm(44100, 2));
    std::vector<std::string> names;
    for (const auto& t : tags) names.push_back(t.name);
    EXPECT_EQ(names, (std::vector<std::string>{"PCM", "IEEE Float", "CCITT A-Law", "CCITT u-Law", "IMA ADPCM",
                                               "Microsoft ADPCM", "GSM 6.10", "MPEG Layer-3"}));
    bool found = false;
    size_t entries = 0;
    for (const auto& t : tags) {
        for (const auto& c : t.formats) {
            ++entries;
            EXPECT_EQ(c.format.FormatTag(), t.tag);
            EXPECT_EQ(c.bytesPerSecond, c.format.AvgBytesPerSec());
            EXPECT_EQ(c.description, Describe(c.format));
            if (c.description == "44.100 kHz, 16 Bit, Stereo" && t.tag == WAVE_FORMAT_PCM) {
                found = true;
                EXPECT_EQ(c.format, WaveFormat::Pcm(44100, 2));
                EXPECT_EQ(c.bytesPerSecond, 176400);
            }
            // Every offered format really opens from this input.
            std::unique_ptr<AcmStream> s;
            EXPECT_EQ(AcmStream::Open(s, WaveFormat::Pcm(44100, 2), c.format.bytes()), MMSYSERR_NOERROR)
                << t.name << " " << c.description;
        }
    }
    EXPECT_TRUE(found);
    EXPECT_GT(entries, 150u);
    EXPECT_EQ(Describe(Gsm610Format()), "8.000 kHz, Mono");
    EXPECT_EQ(Describe(Mp3Format(22050, 1, 64)), "22.050 kHz, 64 kBit/s, Mono");
    EXPECT_EQ(Describe(ImaAdpcmFormat(11025, 2)), "11.025 kHz, 4 Bit, Stereo");

    // Nothing for an input the stream cannot read.
    EXPECT_TRUE(EnumerateFormats(WaveFormat::Pcm(44100, 0)).empty());
    EXPECT_TRUE(EnumerateFormats(WaveFormat::Pcm(44100, 2, 24)).empty());
    EXPECT_TRUE(EnumerateFormats(ImaAdpcmFormat(44100, 2)).empty());
}

TEST(AcmStream, BlockAlignTakesWholeBlocksOnly) {
    const WaveFormat src = WaveFormat::Pcm(44100, 2);
    auto s = OpenOk(src, ImaAdpcmFormat(44100, 2));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->SourceBlockBytes(), 2041u * 4);
    const auto in = Bytes(test::Sine(44100, 2, 2560, 440, 8000));
    uint32_t worst = 0;
    ASSERT_EQ(s->Size(10240, worst), MMSYSERR_NOERROR);
    std::vector<uint8_t> out(worst);
    AcmStreamHeader h{in.data(), 10240, 0, out.data(), worst, 0};
    ASSERT_EQ(s->Convert(h, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, 8164u);  // one block of 2041 frames
    EXPECT_EQ(h.cbDstLengthUsed, 2048u);

    // Too small a destination: refused before anything is taken.
    AcmStreamHeader small{in.data(), 10240, 0, out.data(), 100, 0};
    EXPECT_EQ(s->Convert(small, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_INVALPARAM);
    EXPECT_EQ(small.cbSrcLengthUsed, 0u);

    // Without block alignment everything is taken and the partial block held.
    AcmStreamHeader all{in.data(), 10240, 0, out.data(), worst, 0};
    ASSERT_EQ(s->Convert(all, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(all.cbSrcLengthUsed, 10240u);
    EXPECT_EQ(all.cbDstLengthUsed, 2048u);
    // The end emits the held frames as one padded block; after it the stream is finished.
    AcmStreamHeader end{in.data(), 0, 0, out.data(), worst, 0};
    ASSERT_EQ(s->Convert(end, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
    EXPECT_EQ(end.cbDstLengthUsed, 2048u);
    EXPECT_EQ(s->Convert(end, ACM_STREAMCONVERTF_END), ACMERR_NOTPOSSIBLE);

    AcmStreamHeader nullSrc{nullptr, 4, 0, out.data(), worst, 0};
    auto pcm = OpenOk(src, src);
    EXPECT_EQ(pcm->Convert(nullSrc, 0), MMSYSERR_INVALPARAM);
}

TEST(AcmStream, OutputDoesNotDependOnHowInputIsSplit) {
    const WaveFormat src = WaveFormat::Pcm(44100, 2);
    const auto input = Bytes(test::Chirp(44100, 2, 30000, 100, 10000, 12000));
    const std::vector<WaveFormat> outputs = {
        WaveFormat::Pcm(44100, 2), WaveFormat::Pcm(22050, 1),   PcmFormat(48000, 2, 24), FloatFormat(8000, 2),
        ALawFormat(44100, 2),      MuLawFormat(11025, 1),       ImaAdpcmFormat(44100, 2), ImaAdpcmFormat(22050, 1),
        MsAdpcmFormat(44100, 2),   MsAdpcmFormat(8000, 1),      Gsm610Format(),          Mp3Format(44100, 2, 128),
        Mp3Format(16000, 1, 32)};
    std::mt19937 rng(11);
    std::uniform_int_distribution<size_t> size(1, 20000);
    std::vector<size_t> randomPieces(64);
    for (auto& p : randomPieces) p = size(rng);
    for (const WaveFormat& dst : outputs) {
        SCOPED_TRACE(TagName(dst.FormatTag()) + " " + Describe(dst));
        const auto whole = ConvertAll(src, dst, input, {input.size()});
        ASSERT_FALSE(whole.empty());
        EXPECT_EQ(ConvertAll(src, dst, input, {10240}), whole);
        EXPECT_EQ(ConvertAll(src, dst, input, {1, 16, 127, 4093}), whole);
        EXPECT_EQ(ConvertAll(src, dst, input, randomPieces), whole);
    }
}

TEST(AcmStream, PcmConversionsAreExact) {
    const auto s16 = test::Sine(44100, 2, 1000, 997, 32000);
    const auto in = Bytes(s16);
    auto convert = [&](const WaveFormat& dst) { return ConvertAll(WaveFormat::Pcm(44100, 2), dst, in, {in.size()}); };
    const auto p24 = convert(PcmFormat(44100, 2, 24));
    const auto p32 = convert(PcmFormat(44100, 2, 32));
    const auto f32 = convert(FloatFormat(44100, 2));
    const auto p8 = convert(PcmFormat(44100, 2, 8));
    ASSERT_EQ(p24.size(), s16.size() * 3);
    ASSERT_EQ(p32.size(), s16.size() * 4);
    ASSERT_EQ(f32.size(), s16.size() * 4);
    ASSERT_EQ(p8.size(), s16.size());
    for (size_t i = 0; i < s16.size(); ++i) {
        const int32_t v24 = static_cast<int32_t>(static_cast<uint32_t>(p24[3 * i]) << 8 |
                                                 static_cast<uint32_t>(p24[3 * i + 1]) << 16 |
                                                 static_cast<uint32_t>(p24[3 * i + 2]) << 24) >> 8;
        ASSERT_EQ(v24, s16[i] * 256) << i;
        int32_t v32;
        std::memcpy(&v32, &p32[4 * i], 4);
        ASSERT_EQ(v32, s16[i] * 65536) << i;
        float vf;
        std::memcpy(&vf, &f32[4 * i], 4);
        ASSERT_EQ(vf, s16[i] / 32768.0f) << i;
        ASSERT_LE(std::abs((p8[i] - 128) * 256 - s16[i]), 256) << i;
    }
}

TEST(AcmStream, ChannelChangesAsThePlatformConverter) {
    // Mono to stereo copies the channel; stereo to mono takes the mean.
    const auto mono = test::Sine(44100, 1, 500, 440, 30000);
    const auto up = ConvertAll(WaveFormat::Pcm(44100, 1), WaveFormat::Pcm(44100, 2), Bytes(mono), {777});
    ASSERT_EQ(up.size(), mono.size() * 4);
    std::vector<int16_t> st(up.size() / 2);
    std::memcpy(st.data(), up.data(), up.size());
    for (size_t i = 0; i < mono.size(); ++i) {
        ASSERT_EQ(st[2 * i], mono[i]);
        ASSERT_EQ(st[2 * i + 1], mono[i]);
    }
    std::vector<int16_t> stereo = {1000, 3000, -32768, -32768, 32767, 32767, 101, -99};
    const auto down = ConvertAll(WaveFormat::Pcm(44100, 2), WaveFormat::Pcm(44100, 1), Bytes(stereo), {16});
    ASSERT_EQ(down.size(), 8u);
    std::vector<int16_t> m(4);
    std::memcpy(m.data(), down.data(), 8);
    EXPECT_EQ(m[0], 2000);
    EXPECT_EQ(m[1], -32768);
    EXPECT_EQ(m[2], 32767);
    EXPECT_LE(std::abs(m[3] - 1), 1);
}

TEST(AcmStream, RefusesWhatItCannotProduce) {
    std::unique_ptr<AcmStream> s;
    const WaveFormat pcm = WaveFormat::Pcm(44100, 2);
    EXPECT_EQ(AcmStream::Open(s, pcm, Gsm610Format().bytes().first(19)), ACMERR_NOTPOSSIBLE);
    WaveFormat gsm11k = Gsm610Format();
    gsm11k.SamplesPerSec(11025);
    EXPECT_EQ(AcmStream::Open(s, pcm, gsm11k.bytes()), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(AcmStream::Open(s, pcm, Mp3Format(44100, 2, 100).bytes()), ACMERR_NOTPOSSIBLE);  // no such rate
    EXPECT_EQ(AcmStream::Open(s, pcm, Mp3Format(8000, 1, 128).bytes()), ACMERR_NOTPOSSIBLE);   // not at 8 kHz
    WaveFormat msBad = MsAdpcmFormat(44100, 2);
    auto bytes = std::vector<uint8_t>(msBad.data(), msBad.data() + msBad.size());
    bytes[30] ^= 1;  // a coefficient that the encoder does not use
    EXPECT_EQ(AcmStream::Open(s, pcm, bytes), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(AcmStream::Open(s, WaveFormat::Pcm(44100, 2, 24), pcm.bytes()), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(AcmStream::Open(s, WaveFormat::Pcm(500, 2), pcm.bytes()), ACMERR_NOTPOSSIBLE);
    EXPECT_FALSE(s);
}

}  // namespace
}  // namespace tavrino::acm
