// SPDX-License-Identifier: GPL-3.0-or-later
// The file types besides WAV through the encoder: FLAC keeps every sample, also across the
// seam of a split recording; a full disk leaves a file of each type that decodes.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include "encoder/TestSupport.h"
#include "platform/acm/AcmFormats.h"

namespace tavrino {
namespace {

using test::TempDir;

void Use(EncoderWAV& enc, const WaveFormat& f) { enc.SetFormat(f.data(), static_cast<int32_t>(f.size()), "", ""); }

std::vector<int16_t> Samples16(const test::Decoded& d) {
    std::vector<int16_t> out;
    for (double v : d.samples) out.push_back(static_cast<int16_t>(v * 32768.0));
    return out;
}

TEST(FileTypes, FlacKeepsEverySampleAcrossASeam) {
    // Three seconds of every 16-bit value and more (a ramp with a large step), stereo.
    std::vector<int16_t> source(44100 * 3 * 2);
    for (size_t k = 0; k < source.size(); ++k) source[k] = static_cast<int16_t>(k * 7919);
    const size_t seam = 2 * 50001;  // inside a capture buffer and inside a FLAC frame
    TempDir dir;
    EncoderWAV enc;
    Use(enc, acm::FlacFileFormat(44100, 2));
    EXPECT_EQ(enc.Encoder_Extension(), "flac");
    std::vector<int16_t> joined;
    for (const auto& [from, to, name] : {std::tuple{size_t{0}, seam, "a.flac"}, std::tuple{seam, source.size(), "b.flac"}}) {
        ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, dir.File(name)), EncOK);
        EXPECT_EQ(test::EncodeAll(enc, std::vector<int16_t>(source.begin() + static_cast<ptrdiff_t>(from),
                                                               source.begin() + static_cast<ptrdiff_t>(to))),
                  EncOK);
        ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
        const test::Decoded d = test::DecodeFile(dir.File(name));
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.codec, "flac");
        const std::vector<int16_t> part = Samples16(d);
        joined.insert(joined.end(), part.begin(), part.end());
    }
    ASSERT_EQ(joined.size(), source.size());
    EXPECT_TRUE(joined == source) << "FLAC must give back exactly what was captured";
}

TEST(FileTypes, AFullDiskEndsWithWriteFailedAndAFileThatDecodes) {
    const auto pcm = test::Sine(44100, 2, 2560, 440, 8000);
    TempDir dir;
    if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
    const struct Unmount { std::string path; ~Unmount() { ::umount(path.c_str()); } } unmount{dir.path().string()};
    const WaveFormat rows[] = {acm::FlacFileFormat(44100, 2), acm::LossyFileFormat(FileType::Opus, 48000, 2, 128),
                               acm::LossyFileFormat(FileType::Vorbis, 44100, 2, 256),
                               acm::LossyFileFormat(FileType::Mp3, 44100, 2, 320)};
    for (const WaveFormat& f : rows) {
        const std::string path = dir.File("full");
        EncoderWAV enc;
        Use(enc, f);
        ASSERT_EQ(enc.Encoder_EncoderInit(44100, 2, path), EncOK) << acm::TagName(f.FormatTag());
        int32_t r = EncOK, used = 0;
        for (int buffers = 0; buffers < 4000 && r == EncOK; ++buffers) r = enc.Encoder_Encode(pcm.data(), 10240, used);
        EXPECT_EQ(r, EncWriteFailed) << acm::TagName(f.FormatTag());
        // The end of the file cannot reach the full disk either: a failed close.
        ASSERT_EQ(enc.Encoder_EncoderClose(), EncWriteFailed);
        const test::Decoded d = test::DecodeFile(path);
        EXPECT_TRUE(d.ok) << acm::TagName(f.FormatTag()) << ": " << d.error;
        EXPECT_GT(d.frames(), 44100) << acm::TagName(f.FormatTag());
        std::filesystem::remove(path);
    }
}

}  // namespace
}  // namespace tavrino
