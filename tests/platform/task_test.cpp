#include "platform/task/task.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/task/executor.h"
#include "platform/task/task_group.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A 10 s sleep that counts its cancellation, which the task sees as its own, and passes it on.
void sleepUntilCancelled(std::atomic<int>& cancelled) {
    try {
        sleepFor(10s);
    } catch (const CancellationError&) {
        EXPECT_TRUE(isCurrentTaskCancelled());
        ++cancelled;
        throw;
    }
}

// Cancels the task once it has run a while; whether it then ended with CancellationError within a second.
bool cancelledPromptly(const Task& task) {
    sleepFor(50ms);
    const auto cancelledAt = Clock::now();
    task.cancel();
    task.cancel();  // harmless a second time
    EXPECT_TRUE(task.isCancelled());
    EXPECT_THROW(task.wait(), CancellationError);
    return Clock::now() - cancelledAt < 1s;
}

TEST(Executor, TasksOneAfterAnotherReuseAThreadButNotItsCancellation) {
    std::set<std::thread::id> threads;
    for (int i = 0; i < 20; ++i) {
        Task cancelled = Task::start([] { std::this_thread::sleep_for(1ms); });
        cancelled.cancel();
        cancelled.wait();
        Task::start([&] {
            threads.insert(std::this_thread::get_id());
            EXPECT_FALSE(isCurrentTaskCancelled());
        }).wait();
    }
    EXPECT_LT(threads.size(), 5u);  // other tests' idle workers may join in
}

// Only a task waiting for itself while it runs is a mistake (asserted in builds with assertions on).
TEST(Task, ATaskOnTheThreadOfAFinishedOneMayWaitForIt) {
    std::thread::id finishedOn;
    Task finished = Task::start([&] { finishedOn = std::this_thread::get_id(); });
    finished.wait();
    bool waitedOnItsThread = false;
    for (int i = 0; i < 1000 && !waitedOnItsThread; ++i)
        Task::start([&] {
            if (std::this_thread::get_id() != finishedOn) return;
            finished.wait();
            waitedOnItsThread = true;
        }).wait();
    EXPECT_TRUE(waitedOnItsThread);
#ifndef NDEBUG
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::promise<Task> handle;
            Task self = Task::start([future = handle.get_future().share()] { future.get().wait(); });
            handle.set_value(self);
            self.waitFor(5s);
        },
        "a task cannot wait for itself");
#endif
}

TEST(Task, SleepLastsItsDurationUnlessCancelledThenThrowsPromptly) {
    Task::start([] {
        const auto start = Clock::now();
        sleepFor(100ms);
        EXPECT_GE(Clock::now() - start, 100ms);
        EXPECT_LT(Clock::now() - start, 250ms);
    }).wait();
    std::atomic<int> cancelled{0};
    Task task = Task::start([&] { sleepUntilCancelled(cancelled); });
    EXPECT_FALSE(task.waitFor(20ms));
    EXPECT_FALSE(task.isCancelled());
    EXPECT_TRUE(cancelledPromptly(task));  // and wait() rethrows what escaped the body
    EXPECT_EQ(cancelled.load(), 1);

    EXPECT_FALSE(currentStopToken().stop_possible()) << "a thread with no task has a token never stopped";
    std::stop_source source;
    source.request_stop();
    detail::CurrentTokenScope scope(source.get_token());
    EXPECT_THROW(checkCancellation(), CancellationError);
    const auto start = Clock::now();
    EXPECT_THROW(sleepFor(10s), CancellationError);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(TaskGroup, FirstFailureCancelsTheSiblingAndWaitRethrowsItWhereTheDestructorDoesNot) {
    std::atomic<int> cancelled{0};
    const auto start = Clock::now();
    for (const bool awaited : {true, false}) {
        TaskGroup group;
        group.spawn([&] { sleepUntilCancelled(cancelled); });
        group.spawn([] {
            sleepFor(50ms);
            throw std::runtime_error("part 2 failed");
        });
        if (!awaited) continue;  // the destructor waits too, and throws nothing
        EXPECT_THAT([&] { group.wait(); },
                    testing::ThrowsMessage<std::runtime_error>(testing::StrEq("part 2 failed")));
        EXPECT_EQ(cancelled.load(), 1);
    }
    EXPECT_EQ(cancelled.load(), 2);
    EXPECT_LT(Clock::now() - start, 2s);
}

// As many parents as the executor has workers wait for each other, which only works if they all run side
// by side; then each waits for children queued behind it, which it must run itself. Further tasks queue
// until a worker comes free. Cancelling a parent reaches every child.
TEST(TaskGroup, ChildrenQueuedBehindAFullExecutorStillCompleteAndParentCancellationReachesThem) {
    const int parents = Executor::maxWorkers();
    std::latch everyWorkerBusy(parents);
    std::atomic<int> children{0}, queued{0};
    std::vector<Task> tasks;
    for (int i = 0; i < 2 * parents; ++i)
        tasks.push_back(Task::start([&, i] {
            if (i >= parents) return void(++queued);
            everyWorkerBusy.arrive_and_wait();
            TaskGroup group;
            for (int part = 0; part < 4; ++part)
                group.spawn([&] {
                    sleepFor(2ms);
                    ++children;
                });
            group.wait();
        }));
    for (const Task& task : tasks)
        EXPECT_TRUE(task.waitFor(5s));
    EXPECT_EQ(children.exchange(0), 4 * parents);
    EXPECT_EQ(queued.load(), parents);
    EXPECT_LE(Executor::shared().workers(), parents);  // idle workers live 10 s: this is at least the peak

    Task parent = Task::start([&] {
        TaskGroup group;
        for (int i = 0; i < 2; ++i)
            group.spawn([&] { sleepUntilCancelled(children); });
        group.wait();
    });
    EXPECT_TRUE(cancelledPromptly(parent));
    EXPECT_EQ(children.load(), 2);
}

}  // namespace
}  // namespace tw
