#include "platform/task/executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <set>
#include <thread>

#include "platform/task/task.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

TEST(Executor, TasksOneAfterAnotherReuseAThread) {
    std::set<std::thread::id> threads;
    for (int i = 0; i < 20; ++i) {
        std::thread::id id;
        Task::start([&id] { id = std::this_thread::get_id(); }).wait();
        threads.insert(id);
    }
    // Each task's worker is idle again before the next starts (other tests' workers may join in).
    EXPECT_LT(threads.size(), 5u);
}

// Tasks block (transfers, pauses): up to the bound they all run at once, the rest wait for a free worker.
// The first `bound` tasks wait for each other, which only works if they all run side by side.
TEST(Executor, RunsUpToItsBoundAtOnceAndQueuesTheRest) {
    const int bound = Executor::maxWorkers();
    const int count = 3 * bound;
    std::latch firstWave(bound);
    std::atomic<int> ran{0};
    std::vector<Task> tasks;
    for (int i = 0; i < count; ++i)
        tasks.push_back(Task::start([&, i] {
            if (i < bound) firstWave.arrive_and_wait();
            std::this_thread::sleep_for(2ms);
            ++ran;
        }));
    for (const Task& task : tasks)
        EXPECT_TRUE(task.waitFor(5s));
    EXPECT_EQ(ran.load(), count);
    // Workers outlive their jobs by idleLifetime (10 s), so the count now is at least the peak.
    EXPECT_LE(Executor::shared().workers(), bound);
}

TEST(Executor, TheCurrentTaskTokenDoesNotLeakIntoTheNextTask) {
    Task first = Task::start([] { std::this_thread::sleep_for(1ms); });
    first.cancel();
    first.wait();
    bool cancelledInside = true;
    Task::start([&] { cancelledInside = isCurrentTaskCancelled(); }).wait();
    EXPECT_FALSE(cancelledInside);
}

}  // namespace
}  // namespace tw
