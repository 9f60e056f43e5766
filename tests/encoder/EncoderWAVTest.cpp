// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV writer: file layout, operations and results, format selection, and keeping
// recordings whole on full disks, at the size limit and across crashes.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "core/Error.h"
#include "encoder/TestSupport.h"
#include "platform/acm/AcmFormats.h"

namespace tavrino {
namespace {

using test::EncodeAll;
using test::ExpectSizesMatch;
using test::ReadBytes;
using test::TempDir;

// Answers the chooser with a fixed choice, or cancels.
struct FakeChooser : FormatChooser {
    std::optional<ChosenFormat> answer;
    std::string title;
    WaveFormat input;
    uintptr_t owner = 0;
    std::optional<ChosenFormat> Choose(const std::string& t, const WaveFormat& pcm, uintptr_t o) override {
        title = t, input = pcm, owner = o;
        return answer;
    }
};

ChosenFormat Choice(const WaveFormat& f) {
    return {std::vector<uint8_t>(f.data(), f.data() + f.size()), acm::TagName(f.FormatTag()), acm::Describe(f)};
}

void Use(EncoderWAV& enc, const WaveFormat& f) { enc.SetFormat(f.data(), static_cast<int32_t>(f.size()), "", ""); }

TEST(EncoderWAV, EmptyDefaultRecordingIsTheListed46Bytes) {
    const std::vector<uint8_t> kEmptyDefaultFile = {
        0x52, 0x49, 0x46, 0x46, 0x26, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6D, 0x74, 0x20,
        0x12, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00,
        0x04, 0x00, 0x10, 0x00, 0x00, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00};
    TempDir dir;
    EncoderWAV enc;
    EXPECT_EQ(enc.FormatID(), "44.1 kHz 16 Bit Stereo");
    EXPECT_EQ(enc.FormatTag(), "PCM");
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("a.wav")), EncOK);
    EXPECT_EQ(ReadBytes(dir.File("a.wav")), kEmptyDefaultFile);  // already valid while open
    EXPECT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_EQ(ReadBytes(dir.File("a.wav")), kEmptyDefaultFile);
    EXPECT_EQ(enc.Encoder_EncoderClose(), EncFileError);
}

// PCM passes byte for byte, whatever the buffer length (odd ones end inside a frame whose
// first bytes wait for the rest), and every way of ending a file finalises it.
TEST(EncoderWAV, PcmPassesExactlyAndEveryEndFinalisesTheFile) {
    enum End { Close, NextInit, Destruction, FailedInit };
    struct Row { int32_t buffer; End end; const char* name; bool header; };
    const Row rows[] = {{10240, Close, "p.wav", true},         {1001, Close, "odd.wav", true},
                        {10240, NextInit, "1.wav", true},      {4410, Destruction, "录音1.wav", true},
                        {10240, FailedInit, "f.wav", true},    {777, Close, "raw.pcm", false}};
    const auto pcm = test::Chirp(44100, 2, 44100 + 77, 50, 15000, 20000);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string path = dir.File(row.name);
        {
            EncoderWAV enc;
            enc.WriteHeader(row.header);
            ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, path), EncOK);
            EXPECT_EQ(enc.Path(), path);
            ASSERT_EQ(EncodeAll(enc, pcm, row.buffer), EncOK);
            if (row.end == Close) { ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK); }
            if (row.end == NextInit) { ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("2.wav")), EncOK); }
            if (row.end == FailedInit) { ASSERT_EQ(enc.Encoder_EncoderInit(0, 2, dir.File("2.wav")), EncFormatError); }
            EXPECT_EQ(enc.IsOpen(), row.end == NextInit || row.end == Destruction);
        }
        const auto file = ReadBytes(path);
        const size_t header = row.header ? 46 : 0;
        ASSERT_EQ(file.size(), header + pcm.size() * 2);
        EXPECT_EQ(std::memcmp(file.data() + header, pcm.data(), pcm.size() * 2), 0);
        if (row.header) ExpectSizesMatch(path);
    }
}

TEST(EncoderWAV, BufferLimitsMetricsAndRefusals) {
    TempDir dir;
    EncoderWAV enc;
    EXPECT_EQ(enc.Encoder_EncoderMetrics(1), -1);
    EXPECT_EQ(enc.Encoder_EncoderMetrics(0), -1);
    std::vector<uint8_t> big(176401, 1);
    int32_t used = 1234;
    EXPECT_EQ(enc.Encoder_Encode(big.data(), 100, used), EncConvertFailed);  // not open
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("no/such/folder.wav")), EncFileError);
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.path().string()), EncFileError);  // a folder
    EXPECT_FALSE(enc.IsOpen());

    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("m.wav")), EncOK);
    EXPECT_EQ(enc.Encoder_EncoderMetrics(1), 176400);
    EXPECT_EQ(enc.Encoder_EncoderMetrics(0), 4);
    used = 1234;
    EXPECT_EQ(enc.Encoder_Encode(big.data(), 176401, used), EncBufferTooLarge);
    EXPECT_EQ(enc.Encoder_Encode(big.data(), -4, used), EncBufferTooLarge);
    EXPECT_EQ(used, 1234);
    EXPECT_EQ(enc.Encoder_Encode(nullptr, 400, used), EncConvertFailed);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(enc.Encoder_Encode(big.data(), 176400, used), EncOK);
    EXPECT_EQ(used, 176400);
    try {
        enc.WriteHeader(false);
        ADD_FAILURE() << "no error raised";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 90);
        EXPECT_EQ(e.text(), "Encoder already running!");
    }
    EXPECT_TRUE(enc.WriteHeader());
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_EQ(ReadBytes(dir.File("m.wav")).size(), 46u + 176400u);
}

TEST(EncoderWAV, SetFormatGrowsTheArrayAndPcmFormatTexts) {
    EncoderWAV enc;
    EXPECT_EQ(enc.OutputFormatCapacity(), 131072u);
    std::vector<uint8_t> bytes(200000, 0);
    const WaveFormat pcm = WaveFormat::Pcm(22050, 1);
    std::copy(pcm.data(), pcm.data() + pcm.size(), bytes.begin());
    enc.SetFormat(bytes.data(), 200000, "x", "y");
    EXPECT_EQ(enc.OutputFormatCapacity(), 200000u);
    EXPECT_EQ(enc.OutputFormat().size(), 200000u);
    enc.SetFormat(pcm.data(), 18, "22 kHz", "PCM");  // never shrinks
    EXPECT_EQ(enc.OutputFormatCapacity(), 200000u);
    EXPECT_EQ(enc.OutputFormat().size(), 18u);
    enc.SetFormat(nullptr, 18, "a", "b");  // an unreadable descriptor changes nothing
    enc.SetFormat(pcm.data(), -1, "a", "b");
    EXPECT_EQ(enc.FormatID(), "22 kHz");
    EXPECT_EQ(enc.OutputFormat().size(), 18u);

    // The rate in kHz to one decimal, halves to even.
    struct Text { int32_t rate; int16_t channels; const char* id; };
    const Text texts[] = {{44100, 2, "44.1 16 Bit stereo"}, {8000, 1, "8 16 Bit mono"}, {22050, 1, "22 16 Bit mono"},
                          {11025, 2, "11 16 Bit stereo"},   {32150, 2, "32.2 16 Bit stereo"}};
    for (const Text& t : texts) {
        enc.SetPCMFormat(t.rate, t.channels, "", "");
        EXPECT_EQ(enc.FormatID(), t.id);
        EXPECT_EQ(enc.FormatTag(), "PCM");
        EXPECT_TRUE(std::ranges::equal(enc.OutputFormat(), WaveFormat::Pcm(t.rate, t.channels).bytes()));
    }
    enc.SetPCMFormat(48000, 3, "own", "tag");
    EXPECT_EQ(enc.FormatID() + enc.FormatTag(), "owntag");
}

TEST(EncoderWAV, SelectFormatChoosesAndCancelKeepsTheChoice) {
    TempDir dir;
    EncoderWAV enc;
    EXPECT_EQ(enc.SelectFormat(44100, 2, 0, "t"), EncNoFormatChosen);  // no chooser
    FakeChooser chooser;
    enc.Chooser(&chooser);
    const WaveFormat ms = acm::MsAdpcmFormat(44100, 2);
    chooser.answer = Choice(ms);
    ASSERT_EQ(enc.SelectFormat(44100, 2, 0x1234, "选择声音输出格式"), EncOK);
    EXPECT_EQ(chooser.title, "选择声音输出格式");
    EXPECT_EQ(chooser.owner, 0x1234u);
    EXPECT_EQ(chooser.input, WaveFormat::Pcm(44100, 2));
    EXPECT_EQ(enc.FormatTag(), "Microsoft ADPCM");
    EXPECT_EQ(enc.FormatID(), "44.100 kHz, 4 Bit, Stereo");
    EXPECT_EQ(enc.OutputFormatCapacity(), 131072u);
    chooser.answer.reset();
    EXPECT_EQ(enc.SelectFormat(44100, 2, 0, "t"), EncNoFormatChosen);
    EXPECT_EQ(enc.FormatTag(), "Microsoft ADPCM");
    EXPECT_TRUE(std::ranges::equal(enc.OutputFormat(), ms.bytes()));

    // The chosen format reaches the file: a 50-byte "fmt " chunk with the descriptor. A
    // format changed while the file is open does not reach its header.
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("ms.wav")), EncOK);
    ASSERT_EQ(EncodeAll(enc, test::Sine(44100, 2, 20000, 440, 8000)), EncOK);
    enc.SetPCMFormat(8000, 1, "", "");
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    const auto file = ReadBytes(dir.File("ms.wav"));
    EXPECT_EQ(WaveFormat::ReadU32(file, 16), 50u);
    EXPECT_EQ(std::memcmp(file.data() + 20, ms.data(), 50), 0);
    ExpectSizesMatch(dir.File("ms.wav"));
}

// Descriptors that are malformed or that the stream cannot produce, and input formats
// it cannot read: Init refuses them with 7 and creates no file; a good one opens after.
TEST(EncoderWAV, MalformedOrImpossibleFormatsRefusedAtInit) {
    TempDir dir;
    EncoderWAV enc;
    const WaveFormat ima = acm::ImaAdpcmFormat(44100, 2), pcm = WaveFormat::Pcm(44100, 2);
    auto bytes = [](const WaveFormat& f) { return std::vector<uint8_t>(f.data(), f.data() + f.size()); };
    auto patched = [&](const WaveFormat& f, size_t off, uint16_t v) {
        auto c = bytes(f);
        WaveFormat::WriteU16(c.data() + off, v);
        return c;
    };
    WaveFormat gsm11k = acm::Gsm610Format(), ima5Hz = ima;
    gsm11k.SamplesPerSec(11025);
    ima5Hz.SamplesPerSec(5);
    struct Row { std::vector<uint8_t> bytes; int32_t len; const char* why; int32_t rate = 44100; int16_t ch = 2; };
    const Row rows[] = {
        {bytes(ima), 19, "shorter than 18 + extra size"},
        {bytes(ima), 10, "shorter than 18"},
        {bytes(ima), 0, "empty"},
        {patched(ima, 0, 0x1234), 20, "unknown tag"},
        {patched(ima, 2, 0), 20, "no channels"},
        {patched(ima, 2, 3), 20, "IMA ADPCM has at most two channels"},
        {bytes(ima5Hz), 20, "rate below the stream's"},
        {patched(ima, 12, 2000), 20, "block alignment not of the format"},
        {patched(ima, 18, 100), 20, "samples per block do not fit the block"},
        {patched(ima, 16, 0xFFFF), 20, "extra size beyond the bytes"},
        {patched(pcm, 12, 3), 18, "block alignment 3 for 16-bit stereo"},
        {patched(pcm, 14, 12), 18, "12-bit PCM"},
        {patched(acm::MsAdpcmFormat(44100, 2), 30, 0x0101), 50, "a Microsoft ADPCM coefficient not used"},
        {bytes(gsm11k), 20, "GSM at 11025 Hz"},
        {bytes(acm::Mp3Format(44100, 2, 100)), 30, "MP3 at 100 kbit/s"},
        {bytes(acm::Mp3Format(8000, 1, 128)), 30, "MP3 at 128 kbit/s, 8 kHz"},
        {bytes(pcm), 18, "input rate 0", 0},
        {bytes(pcm), 18, "input rate 500", 500},
        {bytes(pcm), 18, "no input channels", 44100, 0},
        {bytes(pcm), 18, "300 input channels", 44100, 300}};
    for (const Row& row : rows) {
        enc.SetFormat(row.bytes.data(), row.len, "bad", "bad");
        EXPECT_EQ(enc.Encoder_EncoderInit(row.rate, row.ch, dir.File("bad.wav")), EncFormatError) << row.why;
        EXPECT_FALSE(std::filesystem::exists(dir.File("bad.wav"))) << row.why;
    }
    // A chooser answer with a negative extra size gives a length below 18: refused too.
    FakeChooser chooser;
    enc.Chooser(&chooser);
    chooser.answer = ChosenFormat{patched(ima, 16, 0xFFF0), "x", "y"};
    ASSERT_EQ(enc.SelectFormat(44100, 2, 0, "t"), EncOK);
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("neg.wav")), EncFormatError);
    enc.SetFormat(ima.data(), 20, "ok", "IMA ADPCM");
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("ok.wav")), EncOK);
}

// The sizes in the header follow the data within one second of audio at any moment, in
// PCM and in a block format.
TEST(EncoderWAV, SizesStayTrueWhileRecording) {
    const auto pcm = test::Sine(44100, 2, 2560, 440, 8000);  // one 10240-byte capture buffer
    for (const WaveFormat& f : {WaveFormat::Pcm(44100, 2), acm::ImaAdpcmFormat(44100, 2)}) {
        TempDir dir;
        EncoderWAV enc;
        Use(enc, f);
        ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("live.wav")), EncOK);
        for (int i = 0; i < 60; ++i) {  // about 3.5 s
            ASSERT_EQ(EncodeAll(enc, pcm), EncOK);
            const auto file = ReadBytes(dir.File("live.wav"));
            const auto h = test::ReadHeaderSizes(file);
            const uint64_t dataOnDisk = file.size() - 28 - h.fmt;
            EXPECT_LE(h.data, dataOnDisk);
            EXPECT_LE(dataOnDisk - h.data, static_cast<uint64_t>(f.AvgBytesPerSec())) << "buffer " << i;
            EXPECT_EQ(h.riff, h.data + 20 + h.fmt);
        }
        ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
        ExpectSizesMatch(dir.File("live.wav"));
    }
}

// The size limit (lowered here from 4 GiB - 1), a full device and a full disk: the write
// fails with 10, the encoder stays open, and the file left is valid with whole blocks.
TEST(EncoderWAV, SizeLimitAndFullDisksGiveWriteFailedAndAValidFile) {
    const auto pcm = test::Sine(44100, 2, 2560, 440, 8000);
    int32_t used = 0;
    TempDir dir;
    EncoderWAV enc;
    EXPECT_EQ(enc.MaxFileSize(), 0xFFFFFFFFu);
    enc.MaxFileSize(46 + 10240 * 3 + 100);
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("lim.wav")), EncOK);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(enc.Encoder_Encode(pcm.data(), 10240, used), EncOK);
    EXPECT_EQ(enc.Encoder_Encode(pcm.data(), 10240, used), EncWriteFailed);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_EQ(ReadBytes(dir.File("lim.wav")).size(), 46u + 3 * 10240);
    ExpectSizesMatch(dir.File("lim.wav"));

    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, "/dev/full"), EncOK);
    EXPECT_EQ(enc.Encoder_Encode(pcm.data(), 10240, used), EncWriteFailed);
    EXPECT_EQ(used, 10240);
    EXPECT_TRUE(enc.IsOpen());
    EXPECT_EQ(enc.Encoder_EncoderClose(), EncWriteFailed);  // nor its header
    EXPECT_EQ(enc.LastWriteError(), ENOSPC);

    // A small tmpfs that fills up; needs the right to mount.
    if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
    const struct Unmount { std::string path; ~Unmount() { ::umount(path.c_str()); } } unmount{dir.path().string()};
    for (const WaveFormat& f : {WaveFormat::Pcm(44100, 2), acm::ImaAdpcmFormat(44100, 2)}) {
        const std::string path = dir.File("full.wav");
        EncoderWAV small;
        Use(small, f);
        ASSERT_EQ(small.Encoder_EncoderInit(44100, 2, path), EncOK);
        int32_t r = EncOK;
        for (int buffers = 0; buffers < 2000 && r == EncOK; ++buffers) r = small.Encoder_Encode(pcm.data(), 10240, used);
        EXPECT_EQ(r, EncWriteFailed);
        // The header fits in place; a last block of kept input does not.
        ASSERT_EQ(small.Encoder_EncoderClose(), small.Encoder_KeptBytes() > 0 ? EncWriteFailed : EncOK);
        ExpectSizesMatch(path);
        const auto h = test::ReadHeaderSizes(ReadBytes(path));
        EXPECT_EQ(h.data % static_cast<uint32_t>(f.BlockAlign()), 0u);  // whole blocks only
        const auto d = test::DecodeFile(path);
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_GT(d.frames(), 0);
        if (f.FormatTag() == WAVE_FORMAT_PCM) { EXPECT_EQ(static_cast<uint64_t>(d.frames()) * 4, h.data); }
        std::filesystem::remove(path);
    }
}

}  // namespace
}  // namespace tavrino
