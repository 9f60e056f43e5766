// The WAV writer: file layout, operations and results, format selection, and keeping
// recordings whole on full disks, at the size limit and across crashes.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include "core/Error.h"
#include "encoder/EncoderWAV.h"
#include "encoder/TestSupport.h"
#include "platform/acm/AcmFormats.h"

namespace tavrino {
namespace {

using test::ReadBytes;
using test::TempDir;

const std::vector<uint8_t> kEmptyDefaultFile = {
    0x52, 0x49, 0x46, 0x46, 0x26, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6D, 0x74, 0x20,
    0x12, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00,
    0x04, 0x00, 0x10, 0x00, 0x00, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00};

// Answers the chooser with a fixed choice, or cancels.
class FakeChooser : public FormatChooser {
public:
    std::optional<ChosenFormat> answer;
    std::string title;
    WaveFormat input;
    uintptr_t owner = 0;
    int calls = 0;
    std::optional<ChosenFormat> Choose(const std::string& t, const WaveFormat& pcm, uintptr_t o) override {
        ++calls;
        title = t;
        input = pcm;
        owner = o;
        return answer;
    }
};

ChosenFormat Choice(const WaveFormat& f) { return {std::vector<uint8_t>(f.data(), f.data() + f.size()), acm::TagName(f.FormatTag()), acm::Describe(f)}; }

int32_t EncodeAll(EncoderWAV& enc, const std::vector<int16_t>& samples, int32_t bufferBytes = 10240) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    const auto total = static_cast<int32_t>(samples.size() * 2);
    for (int32_t off = 0; off < total; off += bufferBytes) {
        int32_t used = -1;
        const int32_t r = enc.Encoder_Encode(bytes + off, std::min(bufferBytes, total - off), used);
        if (r != EncOK) return r;
    }
    return EncOK;
}

void ExpectSizesMatch(const std::string& path) {
    const auto file = ReadBytes(path);
    ASSERT_GE(file.size(), 28u);
    const auto h = test::ReadHeaderSizes(file);
    EXPECT_EQ(h.riff + 8, file.size());
    EXPECT_EQ(h.data + 28 + h.fmt, file.size());
}

TEST(EncoderWAV, ConstructionDefaults) {
    EncoderWAV enc;
    EXPECT_TRUE(enc.WriteHeader());
    EXPECT_FALSE(enc.IsOpen());
    EXPECT_EQ(enc.FormatID(), "44.1 kHz 16 Bit Stereo");
    EXPECT_EQ(enc.FormatTag(), "PCM");
    EXPECT_EQ(enc.Encoder_Description(), "Wave ACM Encoder");
    EXPECT_EQ(enc.Encoder_Extension(), "wav");
    EXPECT_EQ(enc.OutputFormatCapacity(), 131072u);
    const WaveFormat pcm = WaveFormat::Pcm(44100, 2);
    EXPECT_TRUE(std::ranges::equal(enc.OutputFormat(), pcm.bytes()));
}

TEST(EncoderWAV, EmptyDefaultRecordingIsTheListed46Bytes) {
    TempDir dir;
    EncoderWAV enc;
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("a.wav")), EncOK);
    EXPECT_TRUE(enc.IsOpen());
    // Already valid while open, before any audio.
    EXPECT_EQ(ReadBytes(dir.File("a.wav")), kEmptyDefaultFile);
    EXPECT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_EQ(ReadBytes(dir.File("a.wav")), kEmptyDefaultFile);
    EXPECT_EQ(enc.Encoder_EncoderClose(), EncFileError);
}

TEST(EncoderWAV, PcmPassthroughIsExactAndSizesAgree) {
    TempDir dir;
    EncoderWAV enc;
    const auto pcm = test::Chirp(44100, 2, 44100 * 2 + 77, 50, 15000, 20000);
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("p.wav")), EncOK);
    ASSERT_EQ(EncodeAll(enc, pcm, 10240), EncOK);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    const auto file = ReadBytes(dir.File("p.wav"));
    ASSERT_EQ(file.size(), 46 + pcm.size() * 2);
    EXPECT_EQ(std::memcmp(file.data() + 46, pcm.data(), pcm.size() * 2), 0);
    ExpectSizesMatch(dir.File("p.wav"));
}

TEST(EncoderWAV, OddBufferLengthsKeepTheSplitSample) {
    // A buffer that ends inside a sample frame: the frame's first bytes wait for the rest.
    TempDir dir;
    EncoderWAV enc;
    const auto pcm = test::Sine(44100, 2, 30000, 440, 12000);
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("odd.wav")), EncOK);
    ASSERT_EQ(EncodeAll(enc, pcm, 1001), EncOK);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    const auto file = ReadBytes(dir.File("odd.wav"));
    ASSERT_EQ(file.size(), 46 + pcm.size() * 2);
    EXPECT_EQ(std::memcmp(file.data() + 46, pcm.data(), pcm.size() * 2), 0);
}

TEST(EncoderWAV, SecondInitFinalisesTheFirstFile) {
    TempDir dir;
    EncoderWAV enc;
    const auto pcm = test::Sine(44100, 2, 4410, 440, 8000);
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("1.wav")), EncOK);
    ASSERT_EQ(EncodeAll(enc, pcm), EncOK);
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("2.wav")), EncOK);
    ExpectSizesMatch(dir.File("1.wav"));
    EXPECT_EQ(ReadBytes(dir.File("1.wav")).size(), 46 + pcm.size() * 2);
    EXPECT_EQ(enc.Path(), dir.File("2.wav"));
    EXPECT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_EQ(enc.Path(), "");
}

TEST(EncoderWAV, DestructionFinalisesAnOpenFile) {
    TempDir dir;
    const auto pcm = test::Sine(44100, 2, 8000, 440, 8000);
    {
        EncoderWAV enc;
        ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("d.wav")), EncOK);
        ASSERT_EQ(EncodeAll(enc, pcm), EncOK);
    }
    ExpectSizesMatch(dir.File("d.wav"));
    EXPECT_EQ(ReadBytes(dir.File("d.wav")).size(), 46 + pcm.size() * 2);
}

TEST(EncoderWAV, BufferLimitsAndMetrics) {
    TempDir dir;
    EncoderWAV enc;
    EXPECT_EQ(enc.Encoder_EncoderMetrics(1), -1);
    EXPECT_EQ(enc.Encoder_EncoderMetrics(0), -1);
    EXPECT_EQ(enc.Encoder_EncoderMetrics(5), 0);
    std::vector<uint8_t> big(176401, 1);
    int32_t used = 1234;
    EXPECT_EQ(enc.Encoder_Encode(big.data(), 100, used), EncConvertFailed);  // not open

    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("m.wav")), EncOK);
    EXPECT_EQ(enc.Encoder_EncoderMetrics(1), 176400);
    EXPECT_EQ(enc.Encoder_EncoderMetrics(0), 4);
    EXPECT_EQ(enc.Encoder_EncoderMetrics(-1), 0);
    used = 1234;
    EXPECT_EQ(enc.Encoder_Encode(big.data(), 176401, used), EncBufferTooLarge);
    EXPECT_EQ(used, 1234);
    EXPECT_EQ(enc.Encoder_Encode(big.data(), -4, used), EncBufferTooLarge);
    EXPECT_EQ(ReadBytes(dir.File("m.wav")).size(), 46u);
    EXPECT_EQ(enc.Encoder_Encode(nullptr, 400, used), EncConvertFailed);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(enc.Encoder_Encode(big.data(), 176400, used), EncOK);
    EXPECT_EQ(used, 176400);
    EXPECT_EQ(enc.Encoder_Encode(big.data(), 0, used), EncOK);
    EXPECT_EQ(used, 0);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_EQ(ReadBytes(dir.File("m.wav")).size(), 46u + 176400u);
}

TEST(EncoderWAV, InitRefusals) {
    TempDir dir;
    EncoderWAV enc;
    EXPECT_EQ(enc.Encoder_EncoderInit(0, 2, dir.File("x.wav")), EncFormatError);
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 0, dir.File("x.wav")), EncFormatError);
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, -1, dir.File("x.wav")), EncFormatError);
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 300, dir.File("x.wav")), EncFormatError);  // stream refuses
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.wav")));
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("no/such/folder.wav")), EncFileError);
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.path().string()), EncFileError);  // a folder
    EXPECT_FALSE(enc.IsOpen());
    EXPECT_EQ(enc.Encoder_EncoderMetrics(1), -1);

    // A failing Init still finalises the file that was open.
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("open.wav")), EncOK);
    const auto pcm = test::Sine(44100, 2, 1000, 440, 8000);
    ASSERT_EQ(EncodeAll(enc, pcm), EncOK);
    EXPECT_EQ(enc.Encoder_EncoderInit(0, 2, dir.File("y.wav")), EncFormatError);
    EXPECT_FALSE(enc.IsOpen());
    ExpectSizesMatch(dir.File("open.wav"));
}

TEST(EncoderWAV, WriteHeaderRefusedWhileOpenAndOffWritesBareStream) {
    TempDir dir;
    EncoderWAV enc;
    enc.WriteHeader(false);
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("raw.pcm")), EncOK);
    try {
        enc.WriteHeader(true);
        ADD_FAILURE() << "no error raised";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 90);
        EXPECT_EQ(e.text(), "Encoder already running!");
    }
    EXPECT_FALSE(enc.WriteHeader());
    const auto pcm = test::Sine(44100, 2, 12345, 1000, 9000);
    ASSERT_EQ(EncodeAll(enc, pcm), EncOK);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    const auto file = ReadBytes(dir.File("raw.pcm"));
    ASSERT_EQ(file.size(), pcm.size() * 2);
    EXPECT_EQ(std::memcmp(file.data(), pcm.data(), file.size()), 0);
    enc.WriteHeader(true);
    EXPECT_TRUE(enc.WriteHeader());
}

TEST(EncoderWAV, Utf8ChinesePath) {
    TempDir dir;
    const std::string path = dir.File("录音1.wav");
    EncoderWAV enc;
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, path), EncOK);
    ASSERT_EQ(EncodeAll(enc, test::Sine(44100, 2, 4410, 440, 8000)), EncOK);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(path)));
    const auto d = test::DecodeFile(path);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.frames(), 4410);
}

TEST(EncoderWAV, SetFormatArrayAndLength) {
    EncoderWAV enc;
    std::vector<uint8_t> bytes(200000, 0);
    const WaveFormat pcm = WaveFormat::Pcm(22050, 1);
    std::copy(pcm.data(), pcm.data() + pcm.size(), bytes.begin());
    enc.SetFormat(bytes.data(), 200000, "x", "y");
    EXPECT_EQ(enc.OutputFormatCapacity(), 200000u);
    EXPECT_EQ(enc.OutputFormat().size(), 200000u);
    enc.SetFormat(pcm.data(), 18, "22 kHz", "PCM");
    EXPECT_EQ(enc.OutputFormatCapacity(), 200000u);
    EXPECT_EQ(enc.OutputFormat().size(), 18u);
    EXPECT_EQ(enc.FormatID(), "22 kHz");
    // An unreadable descriptor changes nothing.
    enc.SetFormat(nullptr, 18, "a", "b");
    enc.SetFormat(pcm.data(), -1, "a", "b");
    EXPECT_EQ(enc.FormatID(), "22 kHz");
    EXPECT_EQ(enc.OutputFormat().size(), 18u);
}

TEST(EncoderWAV, SetPcmFormatTexts) {
    EncoderWAV enc;
    enc.SetPCMFormat(44100, 2, "", "");
    EXPECT_EQ(enc.FormatID(), "44.1 16 Bit stereo");
    EXPECT_EQ(enc.FormatTag(), "PCM");
    EXPECT_TRUE(std::ranges::equal(enc.OutputFormat(), WaveFormat::Pcm(44100, 2).bytes()));
    enc.SetPCMFormat(8000, 1, "", "");
    EXPECT_EQ(enc.FormatID(), "8 16 Bit mono");
    enc.SetPCMFormat(22050, 1, "", "");  // 22.05 is a half: to the even 22.0
    EXPECT_EQ(enc.FormatID(), "22 16 Bit mono");
    enc.SetPCMFormat(11025, 2, "", "");
    EXPECT_EQ(enc.FormatID(), "11 16 Bit stereo");
    enc.SetPCMFormat(32150, 2, "", "");  // 32.15: a half, to the even 32.2
    EXPECT_EQ(enc.FormatID(), "32.2 16 Bit stereo");
    enc.SetPCMFormat(48000, 3, "own", "tag");
    EXPECT_EQ(enc.FormatID(), "own");
    EXPECT_EQ(enc.FormatTag(), "tag");
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
    EXPECT_EQ(enc.OutputFormat().size(), 50u);
    EXPECT_EQ(enc.OutputFormatCapacity(), 131072u);

    chooser.answer.reset();
    EXPECT_EQ(enc.SelectFormat(44100, 2, 0, "t"), EncNoFormatChosen);
    EXPECT_EQ(chooser.calls, 2);
    EXPECT_EQ(enc.FormatTag(), "Microsoft ADPCM");
    EXPECT_TRUE(std::ranges::equal(enc.OutputFormat(), ms.bytes()));

    // The chosen format reaches the file: a 50-byte "fmt " chunk with the descriptor.
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("ms.wav")), EncOK);
    ASSERT_EQ(EncodeAll(enc, test::Sine(44100, 2, 20000, 440, 8000)), EncOK);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    const auto file = ReadBytes(dir.File("ms.wav"));
    EXPECT_EQ(WaveFormat::ReadU32(file, 16), 50u);
    EXPECT_EQ(std::memcmp(file.data() + 20, ms.data(), 50), 0);
    ExpectSizesMatch(dir.File("ms.wav"));

    // A PCM choice: length 18, an 18-byte chunk.
    chooser.answer = Choice(acm::PcmFormat(22050, 1, 8));
    ASSERT_EQ(enc.SelectFormat(22050, 1, 0, "t"), EncOK);
    EXPECT_EQ(enc.OutputFormat().size(), 18u);
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("p8.wav")), EncOK);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_EQ(WaveFormat::ReadU32(ReadBytes(dir.File("p8.wav")), 16), 18u);
}

TEST(EncoderWAV, MalformedOrImpossibleDescriptorsRefusedAtInit) {
    TempDir dir;
    EncoderWAV enc;
    auto refused = [&](std::vector<uint8_t> bytes, int32_t len) {
        enc.SetFormat(bytes.data(), len, "bad", "bad");
        const int32_t r = enc.Encoder_EncoderInit(44100, 2, dir.File("bad.wav"));
        enc.Encoder_EncoderClose();
        return r == EncFormatError && !std::filesystem::exists(dir.File("bad.wav"));
    };
    const WaveFormat ima = acm::ImaAdpcmFormat(44100, 2);
    std::vector<uint8_t> b(ima.data(), ima.data() + ima.size());
    EXPECT_TRUE(refused(b, 19));  // shorter than 18 + extra size
    EXPECT_TRUE(refused(b, 10));
    EXPECT_TRUE(refused(b, 0));
    auto patched = [&](size_t off, uint16_t v) {
        auto c = b;
        WaveFormat::WriteU16(c.data() + off, v);
        return c;
    };
    EXPECT_TRUE(refused(patched(0, 0x1234), 20));  // unknown tag
    EXPECT_TRUE(refused(patched(2, 0), 20));       // no channels
    EXPECT_TRUE(refused(patched(2, 3), 20));       // IMA ADPCM has at most two
    EXPECT_TRUE(refused(patched(12, 2000), 20));   // block alignment not of the format
    EXPECT_TRUE(refused(patched(18, 100), 20));    // samples per block do not fit the block
    EXPECT_TRUE(refused(patched(16, 0xFFFF), 20)); // extra size beyond the bytes
    auto rate = b;
    WaveFormat::WriteU32(rate.data() + 4, 5);
    EXPECT_TRUE(refused(rate, 20));
    const WaveFormat pcm = WaveFormat::Pcm(44100, 2);
    std::vector<uint8_t> p(pcm.data(), pcm.data() + pcm.size());
    WaveFormat::WriteU16(p.data() + 12, 3);  // block alignment of 3 for 16-bit stereo
    EXPECT_TRUE(refused(p, 18));
    WaveFormat::WriteU16(p.data() + 12, 4);
    WaveFormat::WriteU16(p.data() + 14, 12);  // 12-bit PCM
    EXPECT_TRUE(refused(p, 18));

    // A chooser answer with a negative extra size gives a length below 18: refused too.
    FakeChooser chooser;
    enc.Chooser(&chooser);
    auto neg = b;
    WaveFormat::WriteU16(neg.data() + 16, 0xFFF0);
    chooser.answer = ChosenFormat{neg, "x", "y"};
    ASSERT_EQ(enc.SelectFormat(44100, 2, 0, "t"), EncOK);
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("neg.wav")), EncFormatError);

    // And a good one still opens afterwards.
    enc.SetFormat(ima.data(), 20, "ok", "IMA ADPCM");
    EXPECT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("ok.wav")), EncOK);
}

TEST(EncoderWAV, FormatChangedWhileOpenDoesNotCorruptTheHeader) {
    TempDir dir;
    EncoderWAV enc;
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("f.wav")), EncOK);
    ASSERT_EQ(EncodeAll(enc, test::Sine(44100, 2, 5000, 440, 8000)), EncOK);
    const WaveFormat ms = acm::MsAdpcmFormat(44100, 2);
    enc.SetFormat(ms.data(), static_cast<int32_t>(ms.size()), "ms", "ms");
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    const auto file = ReadBytes(dir.File("f.wav"));
    EXPECT_EQ(WaveFormat::ReadU32(file, 16), 18u);
    EXPECT_EQ(WaveFormat::ReadU16(file, 20), WAVE_FORMAT_PCM);
    ExpectSizesMatch(dir.File("f.wav"));
}

TEST(EncoderWAV, SizesStayTrueWhileRecording) {
    // Within one second of audio at any moment, in the PCM and in a block format.
    for (const WaveFormat& f : {WaveFormat::Pcm(44100, 2), acm::ImaAdpcmFormat(44100, 2)}) {
        TempDir dir;
        EncoderWAV enc;
        enc.SetFormat(f.data(), static_cast<int32_t>(f.size()), "", "");
        ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("live.wav")), EncOK);
        const auto pcm = test::Sine(44100, 2, 2560, 440, 8000);  // one 10240-byte capture buffer
        const uint64_t oneSecond = static_cast<uint64_t>(f.AvgBytesPerSec());
        for (int i = 0; i < 60; ++i) {  // about 3.5 s
            ASSERT_EQ(EncodeAll(enc, pcm), EncOK);
            const auto file = ReadBytes(dir.File("live.wav"));
            const auto h = test::ReadHeaderSizes(file);
            const uint64_t dataOnDisk = file.size() - 28 - h.fmt;
            EXPECT_LE(h.data, dataOnDisk);
            EXPECT_LE(dataOnDisk - h.data, oneSecond) << "buffer " << i;
            EXPECT_EQ(h.riff, h.data + 20 + h.fmt);
        }
        ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
        ExpectSizesMatch(dir.File("live.wav"));
    }
}

TEST(EncoderWAV, FullDeviceGivesWriteFailed) {
    EncoderWAV enc;
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, "/dev/full"), EncOK);
    const auto pcm = test::Sine(44100, 2, 2560, 440, 8000);
    int32_t used = 0;
    EXPECT_EQ(enc.Encoder_Encode(pcm.data(), 10240, used), EncWriteFailed);
    EXPECT_EQ(used, 10240);
    EXPECT_TRUE(enc.IsOpen());
    EXPECT_EQ(enc.Encoder_EncoderClose(), EncOK);
}

TEST(EncoderWAV, SizeLimitStopsWithAValidFile) {
    TempDir dir;
    EncoderWAV enc;
    enc.MaxFileSize(46 + 10240 * 3 + 100);
    ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File("lim.wav")), EncOK);
    const auto pcm = test::Sine(44100, 2, 2560, 440, 8000);
    int32_t used = 0;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(enc.Encoder_Encode(pcm.data(), 10240, used), EncOK);
    EXPECT_EQ(enc.Encoder_Encode(pcm.data(), 10240, used), EncWriteFailed);
    ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
    EXPECT_EQ(ReadBytes(dir.File("lim.wav")).size(), 46u + 3 * 10240);
    ExpectSizesMatch(dir.File("lim.wav"));
}

// A small tmpfs that fills up during a recording. Needs the right to mount; skipped
// where the test runs without it.
class SmallDisk : public ::testing::Test {
protected:
    void SetUp() override {
        mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=256k") == 0;
        if (!mounted_) GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    void TearDown() override {
        if (mounted_) ::umount(dir_.path().c_str());
    }
    TempDir dir_;
    bool mounted_ = false;
};

TEST_F(SmallDisk, FileLeftOnAFullDiskIsValid) {
    for (const WaveFormat& f : {WaveFormat::Pcm(44100, 2), acm::ImaAdpcmFormat(44100, 2)}) {
        const std::string path = dir_.File(f.FormatTag() == WAVE_FORMAT_PCM ? "full.wav" : "full-ima.wav");
        EncoderWAV enc;
        enc.SetFormat(f.data(), static_cast<int32_t>(f.size()), "", "");
        ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, path), EncOK);
        const auto pcm = test::Sine(44100, 2, 2560, 440, 8000);
        int32_t r = EncOK;
        int buffers = 0;
        for (; buffers < 2000 && r == EncOK; ++buffers) {
            int32_t used = 0;
            r = enc.Encoder_Encode(pcm.data(), 10240, used);
        }
        EXPECT_EQ(r, EncWriteFailed);
        ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
        ExpectSizesMatch(path);
        const auto file = ReadBytes(path);
        const auto h = test::ReadHeaderSizes(file);
        EXPECT_EQ(h.data % static_cast<uint32_t>(f.BlockAlign()), 0u);  // whole blocks only
        const auto d = test::DecodeFile(path);
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_GT(d.frames(), 0);
        if (f.FormatTag() == WAVE_FORMAT_PCM) {
            EXPECT_EQ(static_cast<uint64_t>(d.frames()) * 4, h.data);
        }
        std::filesystem::remove(path);
    }
}

}  // namespace
}  // namespace tavrino
