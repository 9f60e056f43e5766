// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/WaveFormat.h"

#include <algorithm>

namespace tavrino {

WaveFormat::WaveFormat() : bytes_(kBaseSize, 0) {}

WaveFormat::WaveFormat(std::span<const uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}

WaveFormat WaveFormat::Pcm(int32_t samplesPerSec, int16_t channels, int16_t bitsPerSample) {
    WaveFormat f;
    f.FormatTag(WAVE_FORMAT_PCM);
    f.Channels(channels);
    f.SamplesPerSec(samplesPerSec);
    const auto align = static_cast<int16_t>(bitsPerSample / 8 * channels);
    f.BlockAlign(align);
    f.AvgBytesPerSec(static_cast<int32_t>(static_cast<uint32_t>(align) * static_cast<uint32_t>(samplesPerSec)));
    f.BitsPerSample(bitsPerSample);
    return f;
}

void WaveFormat::SetExtra(std::span<const uint8_t> extra) {
    bytes_.resize(kBaseSize + extra.size());
    std::copy(extra.begin(), extra.end(), bytes_.begin() + kBaseSize);
    SetU16(16, static_cast<uint16_t>(extra.size()));
}

std::span<const uint8_t> WaveFormat::Extra() const {
    if (bytes_.size() <= kBaseSize) return {};
    const size_t n = std::min<size_t>(U16(16), bytes_.size() - kBaseSize);
    return std::span<const uint8_t>(bytes_).subspan(kBaseSize, n);
}

bool WaveFormat::IsWellFormed() const {
    return bytes_.size() >= kBaseSize && bytes_.size() >= kBaseSize + U16(16);
}

uint16_t WaveFormat::ReadU16(std::span<const uint8_t> b, size_t off) {
    if (off + 2 > b.size()) return 0;
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

uint32_t WaveFormat::ReadU32(std::span<const uint8_t> b, size_t off) {
    if (off + 4 > b.size()) return 0;
    return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
           (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

void WaveFormat::WriteU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void WaveFormat::WriteU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void WaveFormat::SetU16(size_t off, uint16_t v) {
    if (bytes_.size() < off + 2) bytes_.resize(off + 2, 0);
    WriteU16(bytes_.data() + off, v);
}

void WaveFormat::SetU32(size_t off, uint32_t v) {
    if (bytes_.size() < off + 4) bytes_.resize(off + 4, 0);
    WriteU32(bytes_.data() + off, v);
}

}  // namespace tavrino
