#include "support/ratio_reporter.h"

#include <unistd.h>

namespace tw::bench {

RatioReporter::RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.error_occurred) continue;
        const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
        Times times{run.GetAdjustedRealTime() / unit, run.GetAdjustedCPUTime() / unit, {}};
        for (const auto& [counter, value] : run.counters)
            times.counters[counter] = value.value;
        const std::string& name = run.run_name.function_name;
        if (run.run_type == Run::RT_Aggregate) {
            if (run.aggregate_name == "median") median_[name] = times;
        } else {
            single_[name] = times;  // with repetitions, the last one; superseded by the median
        }
    }
}

std::optional<Times> RatioReporter::times(const std::string& name) const {
    if (auto found = median_.find(name); found != median_.end()) return found->second;
    if (auto found = single_.find(name); found != single_.end()) return found->second;
    return std::nullopt;
}

int runBenchmarks(int argc, char** argv, RatioReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace tw::bench
