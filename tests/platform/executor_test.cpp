#include "platform/task/executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
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

// Tasks block (transfers, pauses): a task must never wait behind another for a thread. Here every task
// waits until all of them run at once, which only works if none is queued.
TEST(Executor, BlockedTasksNeverHoldOthersBack) {
    constexpr int count = 40;
    std::mutex mutex;
    std::condition_variable allStarted;
    int started = 0;
    std::vector<Task> tasks;
    for (int i = 0; i < count; ++i)
        tasks.push_back(Task::start([&] {
            std::unique_lock lock(mutex);
            ++started;
            allStarted.notify_all();
            EXPECT_TRUE(allStarted.wait_for(lock, 5s, [&] { return started == count; }));
        }));
    for (const Task& task : tasks)
        task.wait();
    EXPECT_EQ(started, count);
    EXPECT_GE(Executor::shared().workers(), count);
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
