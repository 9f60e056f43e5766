// SPDX-License-Identifier: GPL-3.0-or-later
// The conversion of floating values to 16-bit samples runs for every sample that an
// effect touches.
#include <random>
#include <vector>

#include "common/Figures.h"
#include "core/Nearest.h"

namespace {

void ToSampleFigure(benchmark::State& state) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-40000.0f, 40000.0f);
    std::vector<float> in(4096);
    for (float& v : in) v = dist(rng);
    std::vector<int16_t> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i) out[i] = tavrino::ToSample(in[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    // Inverted rate over n x 1e-9 items: CPU nanoseconds per sample.
    state.counters["value"] = benchmark::Counter(static_cast<double>(in.size()) * 1e-9,
                                                 benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
    state.SetLabel("ns/sample");
}

}  // namespace

BENCHMARK(ToSampleFigure)->Name("core.to_sample");
