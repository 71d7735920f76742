#include "platform/progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tw {
namespace {

TEST(Progress, ConcurrentAdditionsAndCancelsAreNeitherLostNorRepeated) {
    auto progress = Progress::make(400'000);
    std::atomic<int> replacedRuns{0}, runs{0};
    progress->setCancellationHandler([&] { ++replacedRuns; });
    progress->setCancellationHandler([&] { ++runs; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100'000; ++i)
                progress->addCompletedUnitCount(1);
            progress->cancel();
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(progress->completedUnitCount(), 400'000);
    EXPECT_TRUE(progress->isCancelled());
    EXPECT_EQ(runs.load(), 1) << "the latest handler runs once however often cancelled";
    EXPECT_EQ(replacedRuns.load(), 0);
}

// Would deadlock if a handler ran under the progress's own lock.
TEST(Progress, HandlerMayCallBackInAndOneSetAfterCancelRunsAtOnce) {
    auto progress = Progress::make(1);
    bool innerRan = false;
    progress->setCancellationHandler([&] {
        progress->setCompletedUnitCount(1);
        progress->cancel();
        progress->setCancellationHandler([&] { innerRan = true; });
    });
    progress->cancel();
    EXPECT_EQ(progress->completedUnitCount(), 1);
    EXPECT_TRUE(innerRan);
}

}  // namespace
}  // namespace tw
