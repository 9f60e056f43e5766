// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion and writing speed of EncoderWAV, in seconds of audio per second of CPU
// (x-realtime), for ten minutes of audio fed in 10240-byte capture buffers. Each codec is
// compared with the ffmpeg command doing the same conversion on the same ten-minute file,
// run in the same repetitions: "encoder.X.ffmpeg" is ffmpeg's figure (its process CPU time)
// and "encoder.X/ffmpeg" the ratio of the medians (above 1: faster than ffmpeg).
// The file types besides WAV (FLAC, Ogg Opus, Ogg Vorbis, MP3 files) encode one minute, and
// their bytes per minute of audio are printed beside ffmpeg's ("encoder.X.bytes_per_minute",
// "encoder.X.ffmpeg.bytes_per_minute").
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "common/Figures.h"
#include "core/WaveFormat.h"
#include "encoder/EncoderWAV.h"
#include "platform/acm/AcmFormats.h"

namespace {

using tavrino::WaveFormat;
namespace bench = tavrino::bench;

constexpr int kSeconds = 600;
constexpr int kFileTypeSeconds = 60;

// A folder of the benchmark's own, removed at exit.
const std::filesystem::path& Folder() {
    static const std::filesystem::path dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavrino-bench-enc-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(Folder(), ec);
        });
        return std::filesystem::path(pattern);
    }();
    return dir;
}

// `seconds` of 16-bit stereo at `rate`: two tones and noise, like music at a fair level.
struct Input {
    std::vector<int16_t> samples;
    std::string wavPath;
};

const Input& Audio(int32_t rate, int seconds) {
    static std::map<std::pair<int32_t, int>, Input> inputs;
    auto it = inputs.find({rate, seconds});
    if (it != inputs.end()) return it->second;
    Input in;
    const size_t frames = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
    in.samples.resize(frames * 2);
    uint32_t noise = 12345;
    // One second of each tone, repeated (both complete whole periods in a second).
    std::vector<double> a(static_cast<size_t>(rate)), b(static_cast<size_t>(rate));
    for (int32_t i = 0; i < rate; ++i) {
        a[static_cast<size_t>(i)] = 9000 * std::sin(2 * std::numbers::pi * 220 * i / rate);
        b[static_cast<size_t>(i)] = 5000 * std::sin(2 * std::numbers::pi * 1760 * i / rate);
    }
    for (size_t i = 0; i < frames; ++i) {
        const size_t k = i % static_cast<size_t>(rate);
        noise = noise * 1664525u + 1013904223u;
        const double n = (static_cast<int32_t>(noise >> 16) - 32768) * 0.05;
        in.samples[2 * i] = static_cast<int16_t>(a[k] + n);
        in.samples[2 * i + 1] = static_cast<int16_t>(b[k] - n);
    }
    in.wavPath = (Folder() / ("in" + std::to_string(rate) + "-" + std::to_string(seconds) + ".wav")).string();
    const WaveFormat f = WaveFormat::Pcm(rate, 2);
    const auto dataBytes = static_cast<uint32_t>(in.samples.size() * 2);
    uint8_t h[44];
    std::memcpy(h, "RIFF", 4);
    WaveFormat::WriteU32(h + 4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    WaveFormat::WriteU32(h + 16, 16);
    std::memcpy(h + 20, f.data(), 16);
    std::memcpy(h + 36, "data", 4);
    WaveFormat::WriteU32(h + 40, dataBytes);
    std::ofstream out(in.wavPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(h), 44);
    out.write(reinterpret_cast<const char*>(in.samples.data()), static_cast<std::streamsize>(dataBytes));
    return inputs.emplace(std::pair{rate, seconds}, std::move(in)).first->second;
}

double ChildrenCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Seconds of CPU that EncoderWAV takes for the whole input; the file's size in `bytes`.
double EncodeSeconds(const Input& in, int32_t rate, const WaveFormat& out, uintmax_t& bytes) {
    const std::string path = (Folder() / "out.wav").string();
    const double start = bench::ProcessCpuSeconds();
    {
        tavrino::EncoderWAV enc;
        enc.SetFormat(out.data(), static_cast<int32_t>(out.size()), "", "");
        if (enc.Encoder_EncoderInit(rate, 2, path) != tavrino::EncOK) return NAN;
        const auto* bytes = reinterpret_cast<const uint8_t*>(in.samples.data());
        const size_t total = in.samples.size() * 2;
        for (size_t off = 0; off < total; off += 10240) {
            int32_t used = 0;
            if (enc.Encoder_Encode(bytes + off, static_cast<int32_t>(std::min<size_t>(10240, total - off)), used) !=
                tavrino::EncOK)
                return NAN;
        }
        enc.Encoder_EncoderClose();
    }
    const double seconds = bench::ProcessCpuSeconds() - start;
    bytes = std::filesystem::file_size(path);
    std::filesystem::remove(path);
    return seconds;
}

struct Conversion {
    const char* figure;
    int32_t inRate;
    WaveFormat out;
    const char* ffmpegArgs;  // nullptr: no comparison
    int seconds = kSeconds;
    const char* extension = "wav";  // of ffmpeg's output: its muxer
};

// Prints a median of bytes per file as bytes per minute of audio.
void PrintBytesPerMinute(const std::string& name, const std::vector<double>& bytes, int seconds) {
    if (!bytes.empty()) bench::PrintFigure(name, bench::Median(bytes) * 60 / seconds, "bytes/minute");
}

void Run(benchmark::State& state, const Conversion& c) {
    struct Runs {
        std::vector<double> mine, theirs, myBytes, theirBytes;
    };
    static std::map<std::string, Runs> runs;
    const Input& in = Audio(c.inRate, c.seconds);
    const bool compare = c.ffmpegArgs && bench::HaveProgram("ffmpeg");
    const bool fileType = c.seconds != kSeconds;
    for (auto _ : state) {
        uintmax_t bytes = 0;
        const double ours = c.seconds / EncodeSeconds(in, c.inRate, c.out, bytes);
        bench::SetFigure(state, ours, "x-realtime");
        Runs& r = runs[c.figure];
        r.mine.push_back(ours);
        r.myBytes.push_back(static_cast<double>(bytes));
        const bool last = r.mine.size() == static_cast<size_t>(bench::kRepetitions);
        if (last && fileType) PrintBytesPerMinute(std::string(c.figure) + ".bytes_per_minute", r.myBytes, c.seconds);
        if (!compare) continue;
        const std::string out = (Folder() / (std::string("ffmpeg.") + c.extension)).string();
        const double start = ChildrenCpuSeconds();
        const int status = bench::RunQuiet("ffmpeg -nostdin -v error -y -i '" + in.wavPath + "' " + c.ffmpegArgs +
                                           " '" + out + "'");
        const double seconds = ChildrenCpuSeconds() - start;
        std::error_code ec;
        const uintmax_t theirBytes = std::filesystem::file_size(out, ec);
        std::filesystem::remove(out, ec);
        if (status != 0) continue;
        r.theirs.push_back(c.seconds / seconds);
        r.theirBytes.push_back(static_cast<double>(theirBytes));
        if (r.theirs.size() == static_cast<size_t>(bench::kRepetitions)) {
            const double median = bench::Median(r.theirs);
            bench::PrintFigure(std::string(c.figure) + ".ffmpeg", median, "x-realtime");
            bench::PrintFigure(std::string(c.figure) + "/ffmpeg", bench::Median(r.mine) / median, "ratio");
            if (fileType)
                PrintBytesPerMinute(std::string(c.figure) + ".ffmpeg.bytes_per_minute", r.theirBytes, c.seconds);
        }
    }
}

const Conversion kPcm{"encoder.pcm16", 44100, WaveFormat::Pcm(44100, 2), nullptr};
const Conversion kResample{"encoder.pcm_22050_to_44100", 22050, WaveFormat::Pcm(44100, 2),
                           "-ar 44100 -c:a pcm_s16le"};
const Conversion kIma{"encoder.ima_adpcm", 44100, tavrino::acm::ImaAdpcmFormat(44100, 2),
                      "-c:a adpcm_ima_wav -block_size 2048"};
const Conversion kMs{"encoder.ms_adpcm", 44100, tavrino::acm::MsAdpcmFormat(44100, 2),
                     "-c:a adpcm_ms -block_size 2048"};
const Conversion kGsm{"encoder.gsm610", 44100, tavrino::acm::Gsm610Format(), "-ar 8000 -ac 1 -c:a libgsm_ms"};
const Conversion kMp3{"encoder.mp3_128k", 44100, tavrino::acm::Mp3Format(44100, 2, 128),
                      "-c:a libmp3lame -b:a 128k"};
using tavrino::FileType;
const Conversion kFlac{"encoder.flac", 44100, tavrino::acm::FlacFileFormat(44100, 2), "-c:a flac",
                       kFileTypeSeconds, "flac"};
const Conversion kOpus{"encoder.opus", 44100, tavrino::acm::LossyFileFormat(FileType::Opus, 48000, 2, 96),
                       "-ar 48000 -c:a libopus -b:a 96k", kFileTypeSeconds, "opus"};
const Conversion kVorbis{"encoder.vorbis", 44100, tavrino::acm::LossyFileFormat(FileType::Vorbis, 44100, 2, 128),
                         "-c:a libvorbis -b:a 128k", kFileTypeSeconds, "ogg"};
const Conversion kMp3File{"encoder.mp3file", 44100, tavrino::acm::LossyFileFormat(FileType::Mp3, 44100, 2, 128),
                          "-c:a libmp3lame -b:a 128k", kFileTypeSeconds, "mp3"};

}  // namespace

BENCHMARK_CAPTURE(Run, pcm16, kPcm)->Name("encoder.pcm16")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Run, resample, kResample)->Name("encoder.pcm_22050_to_44100")->Iterations(1);
BENCHMARK_CAPTURE(Run, ima, kIma)->Name("encoder.ima_adpcm")->Iterations(1);
BENCHMARK_CAPTURE(Run, ms, kMs)->Name("encoder.ms_adpcm")->Iterations(1);
BENCHMARK_CAPTURE(Run, gsm, kGsm)->Name("encoder.gsm610")->Iterations(1);
BENCHMARK_CAPTURE(Run, mp3, kMp3)->Name("encoder.mp3_128k")->Iterations(1);
BENCHMARK_CAPTURE(Run, flac, kFlac)->Name("encoder.flac")->Iterations(1);
BENCHMARK_CAPTURE(Run, opus, kOpus)->Name("encoder.opus")->Iterations(1);
BENCHMARK_CAPTURE(Run, vorbis, kVorbis)->Name("encoder.vorbis")->Iterations(1);
BENCHMARK_CAPTURE(Run, mp3file, kMp3File)->Name("encoder.mp3file")->Iterations(1);
