#include "platform/progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tw {
namespace {

TEST(Progress, ConcurrentAdditionsAreNeverLost) {
    auto progress = Progress::make(800'000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100'000; ++i)
                progress->addCompletedUnitCount(1);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(progress->completedUnitCount(), 800'000);
}

TEST(Progress, LatestHandlerRunsOnceHoweverOftenCancelled) {
    auto progress = Progress::make(1);
    std::atomic<int> replacedRuns{0};
    std::atomic<int> runs{0};
    progress->setCancellationHandler([&] { ++replacedRuns; });
    progress->setCancellationHandler([&] { ++runs; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] { progress->cancel(); });
    for (auto& thread : threads)
        thread.join();
    progress->cancel();
    EXPECT_TRUE(progress->isCancelled());
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(replacedRuns.load(), 0);
}

TEST(Progress, HandlerSetAfterCancelRunsAtOnceOnTheSettingThread) {
    auto progress = Progress::make(1);
    progress->cancel();
    int runs = 0;
    std::thread::id ranOn;
    progress->setCancellationHandler([&] {
        ++runs;
        ranOn = std::this_thread::get_id();
    });
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(Progress, HandlerMayCallBackIntoTheProgress) {
    // Would deadlock if the handler ran under the progress's own lock.
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
