// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The wave format descriptor: a WAVEFORMATEX as a little-endian byte block of
// 18 + extra size bytes, always handled together with its length.
//
//   offset size field
//   0      2    format tag (1 = PCM, 3 = IEEE float, 6 = A-law, 7 = u-law, ...)
//   2      2    channels
//   4      4    samples per second
//   8      4    average bytes per second
//   12     2    block alignment
//   14     2    bits per sample
//   16     2    extra size: the number of format-specific bytes that follow
//   18     n    format-specific bytes
//
// The block may be shorter than its fields claim (a malformed descriptor from outside):
// reading a field that lies past the end gives 0, writing one grows the block, and
// IsWellFormed() tells whether the block holds 18 + extra size bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavrino {

inline constexpr uint16_t WAVE_FORMAT_PCM = 0x0001;
inline constexpr uint16_t WAVE_FORMAT_ADPCM = 0x0002;       // Microsoft ADPCM
inline constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr uint16_t WAVE_FORMAT_ALAW = 0x0006;
inline constexpr uint16_t WAVE_FORMAT_MULAW = 0x0007;
inline constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;
inline constexpr uint16_t WAVE_FORMAT_GSM610 = 0x0031;
inline constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;

class WaveFormat {
public:
    static constexpr size_t kBaseSize = 18;

    // An 18-byte block of zeros.
    WaveFormat();
    // A copy of the given bytes, whatever they hold.
    explicit WaveFormat(std::span<const uint8_t> bytes);

    // The PCM descriptor: tag 1, the given channels and rate, 16 bits unless given,
    // block alignment = bits / 8 x channels, average bytes per second = alignment x rate,
    // extra size 0, length 18.
    static WaveFormat Pcm(int32_t samplesPerSec, int16_t channels, int16_t bitsPerSample = 16);

    uint16_t FormatTag() const { return U16(0); }
    int16_t Channels() const { return static_cast<int16_t>(U16(2)); }
    int32_t SamplesPerSec() const { return static_cast<int32_t>(U32(4)); }
    int32_t AvgBytesPerSec() const { return static_cast<int32_t>(U32(8)); }
    int16_t BlockAlign() const { return static_cast<int16_t>(U16(12)); }
    int16_t BitsPerSample() const { return static_cast<int16_t>(U16(14)); }
    // Read as a signed 16-bit value, as the format chooser's callers do.
    int16_t ExtraSize() const { return static_cast<int16_t>(U16(16)); }

    void FormatTag(uint16_t v) { SetU16(0, v); }
    void Channels(int16_t v) { SetU16(2, static_cast<uint16_t>(v)); }
    void SamplesPerSec(int32_t v) { SetU32(4, static_cast<uint32_t>(v)); }
    void AvgBytesPerSec(int32_t v) { SetU32(8, static_cast<uint32_t>(v)); }
    void BlockAlign(int16_t v) { SetU16(12, static_cast<uint16_t>(v)); }
    void BitsPerSample(int16_t v) { SetU16(14, static_cast<uint16_t>(v)); }
    // Sets the extra size field and resizes the block to 18 + n bytes (new bytes zero).
    void SetExtra(std::span<const uint8_t> extra);

    // The format-specific bytes actually present (at most extra size of them).
    std::span<const uint8_t> Extra() const;

    bool IsWellFormed() const;

    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    std::span<const uint8_t> bytes() const { return bytes_; }

    bool operator==(const WaveFormat&) const = default;

    // Little-endian helpers for other byte blocks (file headers, codec extras).
    static uint16_t ReadU16(std::span<const uint8_t> b, size_t off);
    static uint32_t ReadU32(std::span<const uint8_t> b, size_t off);
    static void WriteU16(uint8_t* p, uint16_t v);
    static void WriteU32(uint8_t* p, uint32_t v);

private:
    uint16_t U16(size_t off) const { return ReadU16(bytes_, off); }
    uint32_t U32(size_t off) const { return ReadU32(bytes_, off); }
    void SetU16(size_t off, uint16_t v);
    void SetU32(size_t off, uint32_t v);

    std::vector<uint8_t> bytes_;
};

}  // namespace tavrino
