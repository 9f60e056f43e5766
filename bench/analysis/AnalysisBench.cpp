// SPDX-License-Identifier: GPL-3.0-or-later
// The live display: the 1024-point transform against FFTW's time for the same complex
// transform, and one whole display tick as the main window runs it every 25 ms.
#include <fftw3.h>

#include <time.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "analysis/clsDraw.h"
#include "analysis/clsFourier.h"
#include "analysis/clsSmooth.h"
#include "analysis/modDraw.h"
#include "common/Figures.h"
#include "core/Nearest.h"

namespace {

constexpr int kN = 1024;

// One figure per repetition, for the ratio.
std::vector<double> gOurs;
std::vector<double> gFftw;

// Stereo capture buffer of the default size (5120 samples): two tones and some noise.
std::vector<int16_t> CaptureBuffer(unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1500.0);
    std::vector<int16_t> buffer(5120);
    for (size_t i = 0; i < buffer.size(); i += 2) {
        const double t = static_cast<double>(i / 2) / 44100.0;
        buffer[i] = tavrino::ToSample(12000 * std::sin(2 * M_PI * 440 * t) + noise(rng));
        buffer[i + 1] = tavrino::ToSample(9000 * std::sin(2 * M_PI * 2500 * t) + noise(rng));
    }
    return buffer;
}

// CPU time of this thread, seconds; read once per block of iterations, so its own cost
// (a system call) does not count.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

constexpr int kBlock = 64;

// Time of the transform alone (the part Timing measures), in CPU time: blocks of
// 1024 writes followed by a transform alternate with blocks of the same writes alone,
// and the difference is the transform's.
void Transform(benchmark::State& state) {
    const std::vector<int16_t> input = CaptureBuffer(1);
    tavrino::clsFourier fourier;
    fourier.NumberOfSamples(kN);
    fourier.WithTimeWindow(1);
    auto writeAll = [&] {
        for (int32_t i = 0; i < kN; ++i) fourier.RealIn(i + 1, input[static_cast<size_t>(i)]);
    };
    double withTransform = 0;
    double writesOnly = 0;
    int64_t blocks = 0;
    for (auto _ : state) {
        double t0 = ThreadCpuSeconds();
        for (int k = 0; k < kBlock; ++k) {
            writeAll();
            benchmark::DoNotOptimize(fourier.ComplexOut(1));
        }
        double t1 = ThreadCpuSeconds();
        withTransform += t1 - t0;
        for (int k = 0; k < kBlock; ++k) {
            writeAll();
            benchmark::ClobberMemory();
        }
        writesOnly += ThreadCpuSeconds() - t1;
        ++blocks;
    }
    const double us = (withTransform - writesOnly) / static_cast<double>(blocks * kBlock) * 1e6;
    gOurs.push_back(us);
    tavrino::bench::SetFigure(state, us, "us");
}

// FFTW's complex 1024-point transform with the same (positive) exponent, planned with
// FFTW_MEASURE, out of place, in CPU time.
void TransformFftw(benchmark::State& state) {
    fftw_complex* in = fftw_alloc_complex(kN);
    fftw_complex* out = fftw_alloc_complex(kN);
    fftw_plan plan = fftw_plan_dft_1d(kN, in, out, FFTW_BACKWARD, FFTW_MEASURE);
    const std::vector<int16_t> input = CaptureBuffer(1);
    for (int i = 0; i < kN; ++i) {
        in[i][0] = input[static_cast<size_t>(i)];
        in[i][1] = 0;
    }
    double seconds = 0;
    int64_t blocks = 0;
    for (auto _ : state) {
        const double t0 = ThreadCpuSeconds();
        for (int k = 0; k < kBlock; ++k) {
            fftw_execute(plan);
            benchmark::DoNotOptimize(out[1][0]);
        }
        seconds += ThreadCpuSeconds() - t0;
        ++blocks;
    }
    const double us = seconds / static_cast<double>(blocks * kBlock) * 1e6;
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    gFftw.push_back(us);
    tavrino::bench::SetFigure(state, us, "us");
}

void TransformRatio(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(gOurs.size());
    const double fftw = tavrino::bench::Median(gFftw);
    tavrino::bench::SetFigure(state, fftw > 0 ? tavrino::bench::Median(gOurs) / fftw : 0.0, "ratio");
}

// The spectrum's whole use of the transform per tick: 1024 windowed writes, one transform.
void TransformWithInputs(benchmark::State& state) {
    const std::vector<int16_t> input = CaptureBuffer(2);
    tavrino::clsFourier fourier;
    fourier.NumberOfSamples(kN);
    fourier.WithTimeWindow(1);
    for (auto _ : state) {
        for (int32_t i = 0; i < kN; ++i) fourier.RealIn(i + 1, input[static_cast<size_t>(i)]);
        benchmark::DoNotOptimize(fourier.ComplexOut(1));
    }
    state.counters["value"] = benchmark::Counter(1e-6, benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
    state.SetLabel("us");
}

// The main window's peak of one channel: the largest absolute value at start, start +
// step, ... (as 32-bit values, so -32768 counts as 32768).
int32_t LinePeak(const std::vector<int16_t>& buffer, size_t start, size_t step) {
    int32_t peak = 0;
    for (size_t i = start; i < buffer.size(); i += step) peak = std::max(peak, std::abs(int32_t{buffer[i]}));
    return peak;
}

void DrawMeter(tavrino::clsDraw& draw, tavrino::PictureBox& box, float level) {
    const tavrino::COLORREF color = tavrino::GradientColor(1.0f, level, 65280, 2271457, 255);
    box.Cls();
    draw.DrawRect(box.hDC(), 0, 0, tavrino::NearestInt32(box.ScaleWidth() * level),
                  tavrino::NearestInt32(box.ScaleHeight()), color);
}

// One tick of the display timer while recording: trace and spectrum on their 103 x 30
// picture boxes, the peaks of both channels, smoothing, and both 246 x 13 meters.
void DisplayTick(benchmark::State& state) {
    const std::vector<std::vector<int16_t>> buffers = {CaptureBuffer(3), CaptureBuffer(4), CaptureBuffer(5)};
    tavrino::clsDraw draw;
    tavrino::clsSmooth smoothL;
    tavrino::clsSmooth smoothR;
    smoothL.SmoothNew(3);
    smoothR.SmoothNew(3);
    tavrino::PictureBox picAmpl(103, 30);
    tavrino::PictureBox picFreq(103, 30);
    tavrino::PictureBox picVUL(246, 13);
    tavrino::PictureBox picVUR(246, 13);
    size_t tick = 0;
    for (auto _ : state) {
        const std::vector<int16_t>& buffer = buffers[tick++ % buffers.size()];
        draw.DrawAmplitudes(buffer, picAmpl);
        draw.DrawFrequencies(buffer, picFreq);
        int32_t left = LinePeak(buffer, 0, 2);
        int32_t right = LinePeak(buffer, 1, 2);
        if (left == 0) left = 1;
        if (right == 0) right = 1;
        smoothL.SmoothAdd(static_cast<float>(left));
        smoothR.SmoothAdd(static_cast<float>(right));
        DrawMeter(draw, picVUL, smoothL.SmoothGetMax() / 32768);
        DrawMeter(draw, picVUR, smoothR.SmoothGetMax() / 32768);
        benchmark::DoNotOptimize(picVUR.ChangeCount());
    }
    state.counters["value"] = benchmark::Counter(1e-6, benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
    state.SetLabel("us");
}

}  // namespace

// Fixed iteration counts: no trial runs, so the figures kept for the ratio are exactly
// the repetitions' own.
BENCHMARK(Transform)->Name("analysis.fft")->Iterations(100);
BENCHMARK(TransformFftw)->Name("analysis.fft.fftw")->Iterations(200);
BENCHMARK(TransformRatio)->Name("analysis.fft/fftw")->Iterations(1);
BENCHMARK(TransformWithInputs)->Name("analysis.fft_with_inputs");
BENCHMARK(DisplayTick)->Name("analysis.tick");
