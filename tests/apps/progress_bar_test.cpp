// The progress bar of `tidewright get`: what one line shows, and that nothing is drawn off a terminal
// (the end-to-end get tests check that stderr stays empty when it is not one).
#include "progress_bar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace tw::test {
namespace {

constexpr std::int64_t MiB = 1 << 20;

TEST(ProgressLine, ShowsTheShareDoneTheBytesTheRateAndTheTimeLeft) {
    struct Case {
        std::int64_t completed, total;
        double seconds;
        std::string line;
    };
    const Case cases[] = {
        {0, 4 * MiB, 0.0, "[" + std::string(30, ' ') + "] 0.0 MiB / 4.0 MiB  0.0 MiB/s  ETA --:--"},
        {1 * MiB, 4 * MiB, 2.0,
         "[#######" + std::string(23, ' ') + "] 1.0 MiB / 4.0 MiB  0.5 MiB/s  ETA 0:06"},
        {300 * MiB, 1024 * MiB, 100.0,
         "[########" + std::string(22, ' ') + "] 300.0 MiB / 1024.0 MiB  3.0 MiB/s  ETA 4:01"},
        {4 * MiB, 4 * MiB, 2.0, "[" + std::string(30, '#') + "] 4.0 MiB / 4.0 MiB  2.0 MiB/s  ETA 0:00"},
        {1 * MiB, 3601 * MiB, 1.0,
         "[" + std::string(30, ' ') + "] 1.0 MiB / 3601.0 MiB  1.0 MiB/s  ETA 1:00:00"},
        // Hours past counting (and past what a long fits) show no figure rather than a wrong one.
        {1, std::int64_t{1} << 62, 100.0,
         "[" + std::string(30, ' ') + "] 0.0 MiB / 4398046511104.0 MiB  0.0 MiB/s  ETA --:--"},
        {5, 0, 1.0, "[" + std::string(30, ' ') + "] 0.0 MiB / 0.0 MiB  0.0 MiB/s  ETA --:--"},
    };
    for (const auto& [completed, total, seconds, line] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(cli::progressLine(completed, total, seconds), "\r" + line + "\x1b[K");
    }
}

TEST(ProgressBar, DrawsOnlyWhenEnabledAndEndsItsLine) {
    for (const bool enabled : {false, true}) {
        std::ostringstream out;
        cli::ProgressBar bar(out, enabled);
        bar.update(1, 2);
        bar.update(2, 2);
        bar.finish();
        const std::string drawn = out.str();
        EXPECT_EQ(drawn.empty(), !enabled);
        if (enabled) {
            EXPECT_EQ(std::count(drawn.begin(), drawn.end(), '\r'), 2);
            EXPECT_TRUE(drawn.ends_with("\x1b[K\n")) << drawn;
        }
    }
}

}  // namespace
}  // namespace tw::test
