#include "platform/task/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/task/executor.h"
#include "platform/task/task_group.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What call threw; "returned" when it threw nothing.
template <class Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "returned";
}

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

// The first `bound` tasks wait for each other, which only works if they all run side by side.
TEST(Executor, RunsUpToItsBoundAtOnceAndQueuesTheRest) {
    const int bound = Executor::maxWorkers();
    std::latch firstWave(bound);
    std::atomic<int> ran{0};
    std::vector<Task> tasks;
    for (int i = 0; i < 3 * bound; ++i)
        tasks.push_back(Task::start([&, i] {
            if (i < bound) firstWave.arrive_and_wait();
            std::this_thread::sleep_for(2ms);
            ++ran;
        }));
    for (const Task& task : tasks)
        EXPECT_TRUE(task.waitFor(5s));
    EXPECT_EQ(ran.load(), 3 * bound);
    EXPECT_LE(Executor::shared().workers(), bound);  // idle workers live 10 s: this is at least the peak
}

TEST(Task, StartsAtOnceRunsBesideOtherTasksAndWaitRethrows) {
    std::latch bothRunning(2);  // only tasks that run at the same time can both pass it
    Task first = Task::start([&] { bothRunning.arrive_and_wait(); });
    EXPECT_FALSE(first.waitFor(20ms));
    Task second = Task::start([&] {
        bothRunning.arrive_and_wait();
        throw std::runtime_error("disk full");
    });
    EXPECT_TRUE(first.waitFor(5s));
    EXPECT_EQ(failureOf([&] { second.wait(); }), "disk full");
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
    sleepFor(50ms);
    EXPECT_FALSE(task.isCancelled());
    const auto cancelledAt = Clock::now();
    task.cancel();
    task.cancel();  // harmless a second time
    EXPECT_THROW(task.wait(), CancellationError);
    EXPECT_LT(Clock::now() - cancelledAt, 1s);
    EXPECT_TRUE(task.isCancelled());
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
    std::atomic<int> siblingCancelled{0};
    const auto start = Clock::now();
    {
        TaskGroup group;
        group.spawn([&] { sleepUntilCancelled(siblingCancelled); });
        group.spawn([] {
            sleepFor(50ms);
            throw std::runtime_error("part 2 failed");
        });
        EXPECT_EQ(failureOf([&] { group.wait(); }), "part 2 failed");
        EXPECT_EQ(siblingCancelled.load(), 1);
    }
    {
        TaskGroup group;
        group.spawn([&] { sleepUntilCancelled(siblingCancelled); });
        group.spawn([] { throw std::runtime_error("never awaited"); });
    }
    EXPECT_EQ(siblingCancelled.load(), 2);
    EXPECT_LT(Clock::now() - start, 2s);
}

// Every worker waits for children queued behind it: the waiting tasks must run them themselves. Cancelling
// a parent reaches every child.
TEST(TaskGroup, ChildrenQueuedBehindAFullExecutorStillCompleteAndParentCancellationReachesThem) {
    const int parents = Executor::maxWorkers();
    std::latch everyWorkerBusy(parents);
    std::atomic<int> childrenRan{0};
    std::vector<Task> tasks;
    for (int i = 0; i < parents; ++i)
        tasks.push_back(Task::start([&] {
            everyWorkerBusy.arrive_and_wait();
            TaskGroup group;
            for (int part = 0; part < 4; ++part)
                group.spawn([&] {
                    sleepFor(2ms);
                    ++childrenRan;
                });
            group.wait();
        }));
    for (const Task& task : tasks)
        EXPECT_TRUE(task.waitFor(5s));
    EXPECT_EQ(childrenRan.load(), 4 * parents);

    std::atomic<int> cancelledChildren{0};
    Task parent = Task::start([&] {
        TaskGroup group;
        for (int i = 0; i < 2; ++i)
            group.spawn([&] { sleepUntilCancelled(cancelledChildren); });
        group.wait();
    });
    sleepFor(50ms);
    const auto cancelledAt = Clock::now();
    parent.cancel();
    EXPECT_THROW(parent.wait(), CancellationError);
    EXPECT_LT(Clock::now() - cancelledAt, 1s);
    EXPECT_EQ(cancelledChildren.load(), 2);
}

}  // namespace
}  // namespace tw
