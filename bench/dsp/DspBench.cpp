// SPDX-License-Identifier: GPL-3.0-or-later
// The effects chain runs on every captured buffer: 5120 values (44100 Hz stereo) each.
// Figures: CPU nanoseconds per value for each effect and the whole chain, the chain's
// speed as a multiple of real time, and the same over a 10-minute file next to sox
// applying the nearest equivalent chain to that file.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/Figures.h"
#include "dsp/clsDSP.h"

namespace {

using tavrino::clsDSP;
namespace fs = std::filesystem;

constexpr size_t kBuffer = 5120;
constexpr int32_t kRate = 44100;
constexpr double kValuesPerSecond = kRate * 2.0;  // stereo
const float kGains[7] = {3, -3, 6, -6, 2, 4, -9};

clsDSP MakeChain(int32_t effects) {
    clsDSP fx;
    fx.samplerate(kRate);
    fx.Channels(2);
    fx.EffectsUsed(effects);
    for (int i = 0; i < 7; ++i) fx.EqualizerBandGainDB(i, kGains[i]);
    return fx;
}

// Speech-like test signal: a few tones and noise at about -12 dBFS.
std::vector<int16_t> Signal(size_t n) {
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0, 1500);
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i / 2) / kRate;
        s[i] = static_cast<int16_t>(4000 * std::sin(2 * M_PI * 220 * t) + 2500 * std::sin(2 * M_PI * 1750 * t) +
                                    noise(rng));
    }
    return s;
}

void SetNsPerValue(benchmark::State& state, double values_per_iteration, double divide = 1) {
    state.counters["value"] = benchmark::Counter(values_per_iteration * divide * 1e-9,
                                                 benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
    state.SetLabel(divide == 1 ? "ns/sample" : "ns/sample/band");
}

void Effect(benchmark::State& state, int32_t effects, double divide) {
    clsDSP fx = MakeChain(effects);
    const std::vector<int16_t> input = Signal(kBuffer * 16);
    std::vector<int16_t> buf(kBuffer);
    size_t at = 0;
    for (auto _ : state) {
        std::copy_n(input.begin() + static_cast<long>(at), kBuffer, buf.begin());
        at = (at + kBuffer) % input.size();
        fx.ProcessSamples(buf);
        benchmark::DoNotOptimize(buf.data());
    }
    SetNsPerValue(state, kBuffer, divide);
}

void Amplify(benchmark::State& s) { Effect(s, clsDSP::FX_AMPLIFY, 1); }
void Echo(benchmark::State& s) { Effect(s, clsDSP::FX_ECHO, 1); }
void Phaser(benchmark::State& s) { Effect(s, clsDSP::FX_PHASESHIFT, 1); }
void Equalizer(benchmark::State& s) { Effect(s, clsDSP::FX_EQUALIZER, 1); }
void EqualizerBand(benchmark::State& s) { Effect(s, clsDSP::FX_EQUALIZER, 7); }
constexpr int32_t kAll = clsDSP::FX_AMPLIFY | clsDSP::FX_ECHO | clsDSP::FX_PHASESHIFT | clsDSP::FX_EQUALIZER;
void Chain(benchmark::State& s) { Effect(s, kAll, 1); }

void ChainRealtime(benchmark::State& state) {
    clsDSP fx = MakeChain(kAll);
    const std::vector<int16_t> input = Signal(kBuffer * 16);
    std::vector<int16_t> buf(kBuffer);
    size_t at = 0;
    for (auto _ : state) {
        std::copy_n(input.begin() + static_cast<long>(at), kBuffer, buf.begin());
        at = (at + kBuffer) % input.size();
        fx.ProcessSamples(buf);
        benchmark::DoNotOptimize(buf.data());
    }
    // Audio seconds per CPU second.
    state.counters["value"] =
        benchmark::Counter(static_cast<double>(kBuffer) / kValuesPerSecond, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel("x-realtime");
}

double ChildCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// sox on a 10-minute file in a temporary folder, and the chain on the same file.
void VersusSox(benchmark::State& state) {
    using tavrino::bench::PrintFigure;
    if (!tavrino::bench::HaveProgram("sox")) {
        state.SkipWithError("sox not found");
        return;
    }
    const fs::path dir = fs::temp_directory_path() / ("tavrino-dsp-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string raw = (dir / "in.raw").string();
    const std::string fmt = "-t s16 -r 44100 -c 2 ";
    const double seconds = 600;
    if (tavrino::bench::RunQuiet("sox -n " + fmt + raw +
                                 " synth 600 pinknoise sine 220 gain -6") != 0) {
        state.SkipWithError("sox could not make the test file");
        fs::remove_all(dir);
        return;
    }
    std::vector<int16_t> file(static_cast<size_t>(fs::file_size(raw) / 2));
    std::ifstream(raw, std::ios::binary).read(reinterpret_cast<char*>(file.data()),
                                              static_cast<std::streamsize>(file.size() * 2));

    std::string sox = "sox -D " + fmt + raw + " " + fmt + "/dev/null gain 3 echo 0.8 1 50 0.4 phaser";
    {
        clsDSP fx = MakeChain(kAll);
        for (int i = 0; i < 7; ++i) {
            sox += " equalizer " + std::to_string(fx.EqualizerBandFrequency(i)) + " 1.3o " +
                   std::to_string(static_cast<int>(kGains[i]));
        }
    }

    std::vector<double> sox_x, ours_x;
    for (auto _ : state) {
        for (int run = 0; run < 3; ++run) {
            const double before = ChildCpuSeconds();
            if (tavrino::bench::RunQuiet(sox) != 0) {
                state.SkipWithError("sox failed");
                break;
            }
            sox_x.push_back(seconds / (ChildCpuSeconds() - before));

            std::vector<int16_t> work = file;
            clsDSP fx = MakeChain(kAll);
            const double t0 = tavrino::bench::ProcessCpuSeconds();
            for (size_t at = 0; at < work.size(); at += kBuffer) {
                fx.ProcessSamples(std::span<int16_t>(work).subspan(at, std::min(kBuffer, work.size() - at)));
            }
            ours_x.push_back(seconds / (tavrino::bench::ProcessCpuSeconds() - t0));
            benchmark::DoNotOptimize(work.data());
        }
    }
    fs::remove_all(dir);
    if (sox_x.empty() || ours_x.empty()) return;
    const double s = tavrino::bench::Median(sox_x), o = tavrino::bench::Median(ours_x);
    PrintFigure("dsp.chain.sox", s, "x-realtime");
    PrintFigure("dsp.chain/sox", o / s, "ratio");
    tavrino::bench::SetFigure(state, o, "x-realtime");
}

}  // namespace

BENCHMARK(Amplify)->Name("dsp.amplify");
BENCHMARK(Echo)->Name("dsp.echo");
BENCHMARK(Phaser)->Name("dsp.phaser");
BENCHMARK(Equalizer)->Name("dsp.equalizer");
BENCHMARK(EqualizerBand)->Name("dsp.equalizer.band");
BENCHMARK(Chain)->Name("dsp.chain.per_sample");
BENCHMARK(ChainRealtime)->Name("dsp.chain");
BENCHMARK(VersusSox)->Name("dsp.chain.file")->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);
