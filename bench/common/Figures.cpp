// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Figures.h"

#include <sys/utsname.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <vector>

namespace tavrino::bench {

void PrintFigure(std::string_view name, double value, std::string_view unit) {
    std::printf("%.*s: %.4g %.*s\n", static_cast<int>(name.size()), name.data(), value,
                static_cast<int>(unit.size()), unit.data());
    std::fflush(stdout);
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int RunQuiet(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

bool HaveProgram(const std::string& name) { return RunQuiet("command -v " + name) == 0; }

namespace {

// Prints only the medians, as figure lines.
class FigureReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            std::string name = run.run_name.function_name;
            const auto it = run.counters.find("value");
            if (it != run.counters.end()) {
                PrintFigure(name, it->second.value, run.report_label);
            } else {
                PrintFigure(name, run.GetAdjustedCPUTime(), "ns");
            }
        }
    }
};

std::string MachineLine() {
    utsname u{};
    uname(&u);
    std::string cpu = "unknown cpu";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    return std::string(u.machine) + ", " + cpu + ", " + std::to_string(benchmark::CPUInfo::Get().num_cpus) +
           " cpus";
}

}  // namespace
}  // namespace tavrino::bench

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=" + std::to_string(tavrino::bench::kRepetitions);
    std::string aggr = "--benchmark_report_aggregates_only=true";
    args.push_back(reps.data());
    args.push_back(aggr.data());
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    static bool machinePrinted = false;
    if (!machinePrinted && std::getenv("TAVRINO_BENCH_QUIET_MACHINE") == nullptr) {
        std::printf("# %s: machine %s, medians of %d runs\n", argv[0], tavrino::bench::MachineLine().c_str(),
                    tavrino::bench::kRepetitions);
        machinePrinted = true;
    }
    tavrino::bench::FigureReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
