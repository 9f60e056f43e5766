// SPDX-License-Identifier: GPL-3.0-or-later
// Capture: how long a filled buffer waits before its GotData handler starts, what capture
// costs in CPU, and whether a busy UI thread makes the backend drop audio.
//
// Runs on the PulseAudio server named by PULSE_SERVER (make bench starts a private one and
// records its null sink's monitor, which runs in real time); without one, on the
// real-time test source.
//
//   capture.latency.idle.median / .p99   UI thread idle, ms
//   capture.latency.busy.median / .p99   UI thread also runs a 25 ms timer doing 5 ms of
//                                        work (the display's share), ms
//   capture.cpu                          process CPU per second of capture, % of one core
//   capture.busy80.overruns              overruns in 60 s at 44.1 kHz stereo while the UI
//                                        thread is busy 80 % of the time in 20 ms slices
//   capture.busy80.delivered             audio delivered in those 60 s / audio due, %
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "capture/WaveInRecorder.h"
#include "common/Figures.h"
#include "platform/audio/Backend.h"

namespace {

using namespace tavrino;
using Clock = std::chrono::steady_clock;

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "capture_bench";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

void UseBackend() {
    audio::SetBackend(std::getenv("PULSE_SERVER") ? audio::MakePulseBackend() : audio::MakeBackend("test:tone"));
}

void Spin(std::chrono::milliseconds d) {
    const auto end = Clock::now() + d;
    while (Clock::now() < end) {
    }
}

void Pump(std::chrono::milliseconds d) {
    QTimer tick;
    tick.start(50);
    const auto end = Clock::now() + d;
    while (Clock::now() < end) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

// Records for `seconds` with buffers of `bufferBytes`; fills the latencies (ms) of every
// buffer and returns the bytes delivered.
int64_t Record(double seconds, int32_t bufferBytes, int busyEveryMs, int busyForMs, std::vector<double>& latencies,
               uint32_t& overruns, double& cpuSeconds) {
    App();
    UseBackend();
    WaveInRecorder rec;
    rec.BufferSize(bufferBytes);
    int64_t bytes = 0;
    latencies.clear();
    latencies.reserve(static_cast<size_t>(seconds * 44100 * 4 / bufferBytes) + 64);
    rec.GotData = [&](std::span<int16_t>, int32_t& lngLen) {
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        latencies.push_back(static_cast<double>(now - rec.DeliveredBufferTime()) / 1e6);
        bytes += lngLen;
    };
    QTimer busy;
    if (busyEveryMs > 0) {
        QObject::connect(&busy, &QTimer::timeout, [&] { Spin(std::chrono::milliseconds(busyForMs)); });
        busy.start(busyEveryMs);
    }
    if (!rec.StartRecord(44100, 2)) return -1;
    Pump(std::chrono::milliseconds(300));  // settle
    latencies.clear();
    bytes = 0;
    const double cpu0 = bench::ProcessCpuSeconds();
    Pump(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
    cpuSeconds = bench::ProcessCpuSeconds() - cpu0;
    overruns = rec.Overruns();
    // The figures cover the timed span: the buffers the stop hands over wait for the stop
    // itself (a round trip to the server) and are not part of the steady flow.
    rec.GotData = nullptr;
    rec.StopRecord();
    audio::SetBackend(nullptr);
    return bytes;
}

void Latency(benchmark::State& state, int busyEveryMs, int busyForMs, bool p99) {
    std::vector<double> lat;
    uint32_t overruns = 0;
    double cpu = 0;
    for (auto _ : state) {
        if (Record(3.0, 1764, busyEveryMs, busyForMs, lat, overruns, cpu) < 0) {
            state.SkipWithError("no capture device");
            return;
        }
    }
    bench::SetFigure(state, p99 ? Percentile(lat, 0.99) : Percentile(lat, 0.5), "ms");
}

void IdleMedian(benchmark::State& s) { Latency(s, 0, 0, false); }
void IdleP99(benchmark::State& s) { Latency(s, 0, 0, true); }
void BusyMedian(benchmark::State& s) { Latency(s, 25, 5, false); }
void BusyP99(benchmark::State& s) { Latency(s, 25, 5, true); }

void Cpu(benchmark::State& state) {
    std::vector<double> lat;
    uint32_t overruns = 0;
    double cpu = 0;
    const double seconds = 5.0;
    for (auto _ : state) {
        if (Record(seconds, 10240, 0, 0, lat, overruns, cpu) < 0) {
            state.SkipWithError("no capture device");
            return;
        }
    }
    bench::SetFigure(state, 100.0 * cpu / seconds, "%-core");
}

void Busy80(benchmark::State& state, bool delivered) {
    static int64_t bytes = -2;
    static uint32_t overruns = 0;
    const double seconds = 60.0;
    for (auto _ : state) {
        if (bytes == -2) {  // one 60-second run serves both figures
            std::vector<double> lat;
            double cpu = 0;
            bytes = Record(seconds, 10240, 25, 20, lat, overruns, cpu);
        }
    }
    if (bytes < 0) {
        state.SkipWithError("no capture device");
        return;
    }
    if (delivered) bench::SetFigure(state, 100.0 * static_cast<double>(bytes) / (seconds * 44100 * 4), "%");
    else bench::SetFigure(state, overruns, "overruns");
}
void Busy80Overruns(benchmark::State& s) { Busy80(s, false); }
void Busy80Delivered(benchmark::State& s) { Busy80(s, true); }

}  // namespace

BENCHMARK(IdleMedian)->Name("capture.latency.idle.median")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(IdleP99)->Name("capture.latency.idle.p99")->Iterations(1)->Repetitions(3);
BENCHMARK(BusyMedian)->Name("capture.latency.busy.median")->Iterations(1)->Repetitions(3);
BENCHMARK(BusyP99)->Name("capture.latency.busy.p99")->Iterations(1)->Repetitions(3);
BENCHMARK(Cpu)->Name("capture.cpu")->Iterations(1)->Repetitions(3);
BENCHMARK(Busy80Overruns)->Name("capture.busy80.overruns")->Iterations(1)->Repetitions(1);
BENCHMARK(Busy80Delivered)->Name("capture.busy80.delivered")->Iterations(1)->Repetitions(1);
