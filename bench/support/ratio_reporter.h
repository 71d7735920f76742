#pragma once
// Google Benchmark's console output, plus the times it reported, so that a benchmark binary can print the
// ratios between its benchmarks measured side by side in the same run.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace tw::bench {

// Seconds per iteration. `cpu` is the benchmark thread's CPU time, or the whole process's for a benchmark
// registered with MeasureProcessCPUTime(); unlike `real`, it does not grow when other work on the machine
// takes the cores away.
struct Times {
    double real = 0;
    double cpu = 0;
    std::map<std::string, double> counters;  // the benchmark's user counters, as reported
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal.
    RatioReporter();

    void ReportRuns(const std::vector<Run>& runs) override;

    // The times of the benchmark function `name`: the medians of its repetitions when it was repeated, else
    // its one run. Absent when it did not run (filtered out, or failed).
    std::optional<Times> times(const std::string& name) const;

private:
    std::map<std::string, Times> single_;
    std::map<std::string, Times> median_;
};

// Runs the registered benchmarks with `reporter` (after benchmark::Initialize on argc/argv). Returns the
// process status: 1 when an argument was not understood.
int runBenchmarks(int argc, char** argv, RatioReporter& reporter);

}  // namespace tw::bench
