// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <vector>

#include "core/WaveFormat.h"

namespace tavrino {
namespace {

TEST(WaveFormat, DefaultPcmDescriptorBytes) {
    const WaveFormat f = WaveFormat::Pcm(44100, 2);
    const std::vector<uint8_t> expected = {0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10,
                                           0xB1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(f.data(), f.data() + f.size()), expected);
    EXPECT_TRUE(f.IsWellFormed());
}

TEST(WaveFormat, PcmFieldsForOtherShapes) {
    const WaveFormat mono8k = WaveFormat::Pcm(8000, 1);
    EXPECT_EQ(mono8k.FormatTag(), WAVE_FORMAT_PCM);
    EXPECT_EQ(mono8k.Channels(), 1);
    EXPECT_EQ(mono8k.SamplesPerSec(), 8000);
    EXPECT_EQ(mono8k.BlockAlign(), 2);
    EXPECT_EQ(mono8k.AvgBytesPerSec(), 16000);
    EXPECT_EQ(mono8k.BitsPerSample(), 16);
    EXPECT_EQ(mono8k.ExtraSize(), 0);

    const WaveFormat pcm24 = WaveFormat::Pcm(96000, 2, 24);
    EXPECT_EQ(pcm24.BlockAlign(), 6);
    EXPECT_EQ(pcm24.AvgBytesPerSec(), 576000);
}

TEST(WaveFormat, ExtraBytesAndFieldWrites) {
    WaveFormat f = WaveFormat::Pcm(22050, 1);
    f.FormatTag(WAVE_FORMAT_IMA_ADPCM);
    f.BitsPerSample(4);
    f.BlockAlign(512);
    const std::vector<uint8_t> extra = {0xF9, 0x03};  // 1017 samples per block
    f.SetExtra(extra);
    EXPECT_EQ(f.size(), 20u);
    EXPECT_EQ(f.ExtraSize(), 2);
    EXPECT_EQ(WaveFormat::ReadU16(f.Extra(), 0), 1017);
    EXPECT_EQ(f.BlockAlign(), 512);
    EXPECT_EQ(f.SamplesPerSec(), 22050);
    EXPECT_TRUE(f.IsWellFormed());
}

TEST(WaveFormat, MalformedBlocksAreNeverReadPastTheirEnd) {
    const std::vector<uint8_t> shortBlock = {0x01, 0x00, 0x02};
    const WaveFormat s(shortBlock);
    EXPECT_FALSE(s.IsWellFormed());
    EXPECT_EQ(s.FormatTag(), 1);
    EXPECT_EQ(s.Channels(), 0);  // lies past the end
    EXPECT_EQ(s.SamplesPerSec(), 0);
    EXPECT_TRUE(s.Extra().empty());

    // Claims 32 extra bytes but carries 4.
    std::vector<uint8_t> lying(22, 0);
    lying[16] = 32;
    const WaveFormat l(lying);
    EXPECT_FALSE(l.IsWellFormed());
    EXPECT_EQ(l.ExtraSize(), 32);
    EXPECT_EQ(l.Extra().size(), 4u);
}

}  // namespace
}  // namespace tavrino
