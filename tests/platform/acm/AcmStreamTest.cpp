// SPDX-License-Identifier: GPL-3.0-or-later
// The conversion stream's contract and the format catalogue.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "Signals.h"
#include "core/WaveFormat.h"
#include "platform/acm/AcmFormats.h"
#include "platform/acm/AcmStream.h"

namespace tavrino::acm {
namespace {

using test::Bytes;

std::unique_ptr<AcmStream> OpenOk(const WaveFormat& src, const WaveFormat& dst) {
    std::unique_ptr<AcmStream> s;
    EXPECT_EQ(AcmStream::Open(s, src, dst.bytes()), MMSYSERR_NOERROR) << Describe(dst);
    return s;
}

// Feeds `input` in pieces of the given sizes (cycled) as the encoder does: block-aligned,
// keeping what was not taken in front of the next piece, then the end flag. Checks the
// worst-case size, whole output blocks and what is left on every call.
std::vector<uint8_t> ConvertAll(const WaveFormat& dst, const std::vector<uint8_t>& input,
                                const std::vector<size_t>& pieces, const WaveFormat& src = WaveFormat::Pcm(44100, 2)) {
    auto s = OpenOk(src, dst);
    if (!s) return {};
    std::vector<uint8_t> out, pending;
    for (size_t off = 0, k = 0;;) {
        const bool end = off >= input.size();
        const size_t n = end ? 0 : std::min(pieces[k++ % pieces.size()], input.size() - off);
        pending.insert(pending.end(), input.begin() + static_cast<long>(off), input.begin() + static_cast<long>(off + n));
        off += n;
        uint32_t worst = 0;
        EXPECT_EQ(s->Size(static_cast<uint32_t>(pending.size()), worst), MMSYSERR_NOERROR);
        std::vector<uint8_t> dstBuf(worst);
        AcmStreamHeader h{pending.data(), static_cast<uint32_t>(pending.size()), 0, dstBuf.data(), worst, 0};
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

std::vector<uint8_t> Hex(const char* text) {
    std::vector<uint8_t> b;
    for (const char* p = text; p[0] && p[1]; p += p[0] == ' ' ? 1 : 2)
        if (p[0] != ' ') b.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    return b;
}

TEST(AcmFormats, DescriptorsAreByteExact) {
    auto bytes = [](const WaveFormat& f) { return std::vector<uint8_t>(f.data(), f.data() + f.size()); };
    // IMA ADPCM 44.1 kHz stereo: 2048-byte blocks of 2041 samples.
    EXPECT_EQ(bytes(ImaAdpcmFormat(44100, 2)), Hex("1100 0200 44AC0000 DBAC0000 0008 0400 0200 F907"));
    // Microsoft ADPCM 44.1 kHz stereo: 2036 samples per block and the seven coefficient pairs.
    EXPECT_EQ(bytes(MsAdpcmFormat(44100, 2)), Hex("0200 0200 44AC0000 47AD0000 0008 0400 2000 F407 0700 "
                                                  "00010000 0002 00FF 00000000 C0004000 F0000000 CC0130FF 880118FF"));
    EXPECT_EQ(bytes(Gsm610Format()), Hex("3100 0100 401F0000 59060000 4100 0000 0200 4001"));
    EXPECT_EQ(bytes(Mp3Format(44100, 2, 128)), Hex("5500 0200 44AC0000 803E0000 0100 0000 0C00 0100 00000000 A101 0100 5104"));
    EXPECT_EQ(bytes(ALawFormat(8000, 1)), Hex("0600 0100 401F0000 401F0000 0100 0800 0000"));
    // Smaller blocks at lower rates: 8 kHz mono IMA has 256-byte blocks of 505 samples.
    EXPECT_EQ(ImaAdpcmFormat(8000, 1).BlockAlign(), 256);
    EXPECT_EQ(WaveFormat::ReadU16(ImaAdpcmFormat(8000, 1).bytes(), 18), 505);
}

TEST(AcmFormats, CatalogueOffersWhatOpens) {
    const auto tags = EnumerateFormats(WaveFormat::Pcm(44100, 2));
    std::string names;
    size_t entries = 0;
    for (const auto& t : tags) {
        names += t.name + ";";
        for (const auto& c : t.formats) {
            ++entries;
            EXPECT_EQ(c.format.FormatTag(), t.tag);
            EXPECT_EQ(c.bytesPerSecond, c.format.AvgBytesPerSec());
            EXPECT_EQ(c.description, Describe(c.format));
            std::unique_ptr<AcmStream> s;  // every offered WAV format really opens from this input
            const MMRESULT opened = AcmStream::Open(s, WaveFormat::Pcm(44100, 2), c.format.bytes());
            EXPECT_EQ(opened, FileTypeOfTag(t.tag) == FileType::Wav ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE) << c.description;
        }
    }
    EXPECT_EQ(names, "PCM;IEEE Float;CCITT A-Law;CCITT u-Law;IMA ADPCM;Microsoft ADPCM;GSM 6.10;MPEG Layer-3;FLAC;Opus;Vorbis;MP3;");
    EXPECT_GT(entries, 150u);
    EXPECT_EQ(tags[0].formats[0].description, "8.000 kHz, 8 Bit, Mono");
    EXPECT_EQ(Describe(Gsm610Format()), "8.000 kHz, Mono");
    EXPECT_EQ(Describe(Mp3Format(22050, 1, 64)), "22.050 kHz, 64 kBit/s, Mono");
    EXPECT_EQ(Describe(ImaAdpcmFormat(11025, 2)), "11.025 kHz, 4 Bit, Stereo");
    // Nothing for an input the stream cannot read.
    EXPECT_TRUE(EnumerateFormats(WaveFormat::Pcm(44100, 0)).empty());
    EXPECT_TRUE(EnumerateFormats(WaveFormat::Pcm(44100, 2, 24)).empty());
    EXPECT_TRUE(EnumerateFormats(ImaAdpcmFormat(44100, 2)).empty());
}

TEST(AcmStream, BlockAlignTakesWholeBlocksOnly) {
    auto s = OpenOk(WaveFormat::Pcm(44100, 2), ImaAdpcmFormat(44100, 2));
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
    AcmStreamHeader small{in.data(), 10240, 0, out.data(), 100, 0};  // refused before anything is taken
    EXPECT_EQ(s->Convert(small, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_INVALPARAM);
    EXPECT_EQ(small.cbSrcLengthUsed, 0u);
    // Without block alignment everything is taken and the partial block held; the end
    // emits it as one padded block, and after it the stream is finished.
    AcmStreamHeader all{in.data(), 10240, 0, out.data(), worst, 0};
    ASSERT_EQ(s->Convert(all, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(all.cbSrcLengthUsed, 10240u);
    EXPECT_EQ(all.cbDstLengthUsed, 2048u);
    AcmStreamHeader end{in.data(), 0, 0, out.data(), worst, 0};
    ASSERT_EQ(s->Convert(end, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
    EXPECT_EQ(end.cbDstLengthUsed, 2048u);
    EXPECT_EQ(s->Convert(end, ACM_STREAMCONVERTF_END), ACMERR_NOTPOSSIBLE);
    AcmStreamHeader nullSrc{nullptr, 4, 0, out.data(), worst, 0};
    EXPECT_EQ(OpenOk(WaveFormat::Pcm(44100, 2), WaveFormat::Pcm(44100, 2))->Convert(nullSrc, 0), MMSYSERR_INVALPARAM);
}

TEST(AcmStream, OutputDoesNotDependOnHowInputIsSplit) {
    const auto input = Bytes(test::Chirp(44100, 2, 30000, 100, 10000, 12000));
    std::mt19937 rng(11);
    std::vector<size_t> randomPieces(64);
    for (auto& p : randomPieces) p = std::uniform_int_distribution<size_t>(1, 20000)(rng);
    for (const WaveFormat& dst : {WaveFormat::Pcm(44100, 2), WaveFormat::Pcm(22050, 1), PcmFormat(48000, 2, 24),
                                  FloatFormat(8000, 2), ALawFormat(44100, 2), MuLawFormat(11025, 1),
                                  ImaAdpcmFormat(44100, 2), ImaAdpcmFormat(22050, 1), MsAdpcmFormat(44100, 2),
                                  MsAdpcmFormat(8000, 1), Gsm610Format(), Mp3Format(44100, 2, 128), Mp3Format(16000, 1, 32)}) {
        SCOPED_TRACE(TagName(dst.FormatTag()) + " " + Describe(dst));
        const auto whole = ConvertAll(dst, input, {input.size()});
        ASSERT_FALSE(whole.empty());
        EXPECT_EQ(ConvertAll(dst, input, {10240}), whole);
        EXPECT_EQ(ConvertAll(dst, input, {1, 16, 127, 4093}), whole);
        EXPECT_EQ(ConvertAll(dst, input, randomPieces), whole);
    }
}

TEST(AcmStream, StereoToMonoIsTheMeanWithoutOverflow) {
    const std::vector<int16_t> stereo = {1000, 3000, -32768, -32768, 32767, 32767, 101, -99};
    const auto down = ConvertAll(WaveFormat::Pcm(44100, 1), Bytes(stereo), {16});
    ASSERT_EQ(down.size(), 8u);
    std::vector<int16_t> m(4);
    std::memcpy(m.data(), down.data(), 8);
    EXPECT_EQ(m[0], 2000);
    EXPECT_EQ(m[1], -32768);
    EXPECT_EQ(m[2], 32767);
    EXPECT_LE(std::abs(m[3] - 1), 1);
}

}  // namespace
}  // namespace tavrino::acm
