// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers of the encoder tests: a private folder, signals (Signals.h), the encoder fed in buffers, an
// independent WAV reader (FFmpeg's demuxer and decoders, no code of the system under
// test) and measures.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Signals.h"
#include "core/WaveFormat.h"
#include "encoder/EncoderWAV.h"

namespace tavrino::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::vector<uint8_t> ReadBytes(const std::string& path);

// Feeds the samples to an open encoder in buffers of `bufferBytes`; the first result
// that is not EncOK, else EncOK.
int32_t EncodeAll(EncoderWAV& enc, const std::vector<int16_t>& samples, int32_t bufferBytes = 10240);

// The RIFF and data sizes of a WAV file agree with its length.
void ExpectSizesMatch(const std::string& path);

// What FFmpeg makes of a file.
struct Decoded {
    bool ok = false;
    std::string error;
    int rate = 0, channels = 0;
    std::string codec;            // FFmpeg's codec name, e.g. "adpcm_ima_wav"
    std::vector<double> samples;  // interleaved, full scale = 1.0
    int64_t frames() const { return channels ? static_cast<int64_t>(samples.size()) / channels : 0; }
};
Decoded DecodeFile(const std::string& path);

// Channel `ch` of interleaved samples, 16-bit ones scaled to full scale = 1.0.
template <class T>
std::vector<double> Channel(const std::vector<T>& interleaved, int channels, int ch) {
    std::vector<double> out;
    for (size_t i = static_cast<size_t>(ch); i < interleaved.size(); i += static_cast<size_t>(channels))
        out.push_back(sizeof(T) == 2 ? interleaved[i] / 32768.0 : static_cast<double>(interleaved[i]));
    return out;
}

// Signal-to-noise ratio (dB) of `actual` against `reference` after shifting `actual` by
// the delay in delay - maxLag .. delay + maxLag that matches best (keep maxLag below half a
// period of a tone); the first and last `margin` samples are left out. `lagOut` receives
// the delay found.
double AlignedSnr(const std::vector<double>& reference, const std::vector<double>& actual, int delay, int maxLag,
                  int margin, int* lagOut = nullptr);

// RIFF size, "fmt " length and data size of a WAV file's header.
struct HeaderSizes {
    uint32_t riff = 0, fmt = 0, data = 0;
};
HeaderSizes ReadHeaderSizes(const std::vector<uint8_t>& file);

}  // namespace tavrino::test
