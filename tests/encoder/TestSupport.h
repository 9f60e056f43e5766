#pragma once
// Helpers of the encoder tests: a private folder, signals, an independent WAV reader
// (FFmpeg's demuxer and decoders, no code of the system under test) and measures.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/WaveFormat.h"

namespace tavrino::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::vector<uint8_t> ReadBytes(const std::string& path);

// Interleaved 16-bit signals of `frames` frames.
std::vector<int16_t> Sine(int32_t rate, int channels, int frames, double hz, double amplitude);
std::vector<int16_t> Chirp(int32_t rate, int channels, int frames, double fromHz, double toHz, double amplitude);
std::vector<int16_t> FullScale(int channels, int frames);  // a square wave at 32767 / -32768, period 64

// What FFmpeg makes of a file.
struct Decoded {
    bool ok = false;
    std::string error;
    int rate = 0;
    int channels = 0;
    std::string codec;             // FFmpeg's codec name, e.g. "adpcm_ima_wav"
    std::vector<double> samples;   // interleaved, full scale = 1.0
    int64_t frames() const { return channels ? static_cast<int64_t>(samples.size()) / channels : 0; }
};
Decoded DecodeFile(const std::string& path);

// Channel `ch` of interleaved 16-bit samples, scaled to full scale = 1.0.
std::vector<double> Channel(const std::vector<int16_t>& interleaved, int channels, int ch);
std::vector<double> Channel(const std::vector<double>& interleaved, int channels, int ch);

// Signal-to-noise ratio (dB) of `actual` against `reference` after shifting `actual` by
// the delay in delay - maxLag .. delay + maxLag that matches best (keep maxLag below half a
// period of a tone); the first and last `margin` samples are left out. `lagOut` receives
// the delay found.
double AlignedSnr(const std::vector<double>& reference, const std::vector<double>& actual, int delay, int maxLag,
                  int margin, int* lagOut = nullptr);

// RIFF size, "fmt " length and data size of a WAV file's header.
struct HeaderSizes {
    uint32_t riff = 0;
    uint32_t fmt = 0;
    uint32_t data = 0;
};
HeaderSizes ReadHeaderSizes(const std::vector<uint8_t>& file);

// Runs a command line; true if it exits with 0. Output is discarded.
bool RunsOk(const std::string& command);
std::string Quote(const std::string& path);

}  // namespace tavrino::test
