// SPDX-License-Identifier: GPL-3.0-or-later
// libavcodec and libavformat stay out of the process until a format needs them. This test
// program links neither (tests/encoder/CMakeLists.txt), so its own map shows what the
// recorder loads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Signals.h"
#include "encoder/EncoderWAV.h"
#include "platform/acm/AcmFormats.h"

namespace tavrino {
namespace {

std::string Maps() {
    std::ifstream in("/proc/self/maps");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Mapped(const char* library) { return Maps().find(library) != std::string::npos; }

// Half a second of a tone at `rate`, stereo, in one buffer.
void Record(EncoderWAV& enc, const std::string& path, int32_t rate) {
    ASSERT_EQ(enc.Encoder_EncoderInit(rate, 2, path), EncOK) << path;
    const std::vector<int16_t> tone = test::Sine(rate, 2, rate / 2, 440, 8000);
    int32_t used = 0;
    EXPECT_EQ(enc.Encoder_Encode(tone.data(), static_cast<int32_t>(tone.size() * 2), used), EncOK);
    EXPECT_EQ(enc.Encoder_EncoderClose(), EncOK);
}

TEST(CodecLoading, CodecLibrariesLoadOnlyWhenAFormatNeedsThem) {
    ASSERT_FALSE(Mapped("libavcodec")) << "linked into the test program itself";
    std::string folder = (std::filesystem::temp_directory_path() / "codecs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    auto file = [&](const char* name) { return folder + "/" + name; };
    EncoderWAV enc;
    Record(enc, file("pcm.wav"), 44100);     // the default: PCM as it comes
    Record(enc, file("rate.wav"), 22050);    // PCM resampled: libswresample only
    const WaveFormat pcm8 = acm::PcmFormat(8000, 1, 8);
    enc.SetFormat(pcm8.data(), static_cast<int32_t>(pcm8.size()), "", "");
    Record(enc, file("pcm8.wav"), 44100);
    EXPECT_EQ(acm::CodecLibraryProblem(pcm8.bytes()), "");
    EXPECT_FALSE(acm::EnumerateFormats(acm::PcmFormat(44100, 2, 16), WAVE_FORMAT_PCM).empty());  // --format pcm
    for (const char* library : {"libavcodec", "libavformat", "tavrino-codecs"}) EXPECT_FALSE(Mapped(library)) << library;

    const WaveFormat ima = acm::ImaAdpcmFormat(44100, 2);
    EXPECT_EQ(acm::CodecLibraryProblem(ima.bytes()), "");  // chosen: loads
    enc.SetFormat(ima.data(), static_cast<int32_t>(ima.size()), "", "");
    Record(enc, file("ima.wav"), 44100);
    // Half a second of IMA ADPCM: 11 blocks of 2048 bytes after a 48-byte header.
    EXPECT_EQ(std::filesystem::file_size(file("ima.wav")), 48u + 11u * 2048u);
    EXPECT_TRUE(Mapped("libavcodec"));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tavrino
