// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Benchmarks print figures, one line each: "module.figure: value unit".
//
// A Google Benchmark named after its figure ("dsp.chain") reports its value by setting
// the counter "value" and the label to the unit (SetFigure below); without them the
// figure is the CPU time per iteration in nanoseconds. Every benchmark runs several
// repetitions and the median is printed. Figures measured outside Google Benchmark
// (another program timed in the same run, a ratio) are printed with PrintFigure.

#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

namespace tavrino::bench {

inline constexpr int kRepetitions = 5;

inline void SetFigure(benchmark::State& state, double value, const std::string& unit) {
    state.counters["value"] = value;
    state.SetLabel(unit);
}

// Prints "name: value unit" at once.
void PrintFigure(std::string_view name, double value, std::string_view unit);

// Seconds of CPU this process has used.
double ProcessCpuSeconds();

// Median of the given values (copied).
double Median(std::vector<double> values);

// Runs a command line through the shell; returns its exit status. Output is discarded.
int RunQuiet(const std::string& command);

// True if a program is on the PATH.
bool HaveProgram(const std::string& name);

}  // namespace tavrino::bench
