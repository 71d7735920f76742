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

// What call threw: its what(), after "cancelled: " for a CancellationError; "returned" when it threw nothing.
template <class Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const CancellationError& error) {
        return std::string("cancelled: ") + error.what();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "returned";
}

// A 10 s sleep that counts its cancellation and passes it on.
void sleepUntilCancelled(std::atomic<int>& cancelled) {
    try {
        sleepFor(10s);
    } catch (const CancellationError&) {
        ++cancelled;
        throw;
    }
}

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

TEST(Task, StartsAtOnceAndRunsBesideOtherTasks) {
    // Each body waits for the other to arrive: only tasks that run at the same time can both finish.
    std::latch bothRunning(2);
    Task first = Task::start([&] { bothRunning.arrive_and_wait(); });
    EXPECT_FALSE(first.waitFor(20ms));
    Task second = Task::start([&] { bothRunning.arrive_and_wait(); });
    EXPECT_TRUE(first.waitFor(5s));
    EXPECT_TRUE(second.waitFor(5s));
}

TEST(Task, WaitRethrowsWhatEscapedTheBody) {
    Task task = Task::start([] { throw std::runtime_error("disk full"); });
    EXPECT_EQ(failureOf([&] { task.wait(); }), "disk full");
}

// A finished task's worker goes on to run other tasks, which may wait for it like any other thread; only a
// task waiting for itself while it runs is a mistake (asserted in builds with assertions on).
TEST(Task, ATaskOnTheThreadOfAFinishedOneMayWaitForIt) {
    std::thread::id finishedOn;
    Task finished = Task::start([&] { finishedOn = std::this_thread::get_id(); });
    finished.wait();
    bool waitedOnItsThread = false;
    // Idle workers take turns; the one that ran `finished` comes up within a few tries.
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

TEST(Task, CancellingEndsASleepPromptlyWithCancellationError) {
    std::atomic<bool> sawCancelled{false};
    Task task = Task::start([&] {
        try {
            sleepFor(10s);
        } catch (const CancellationError&) {
            sawCancelled = isCurrentTaskCancelled();
            throw;
        }
    });
    sleepFor(50ms);
    EXPECT_FALSE(task.isCancelled());
    const auto cancelledAt = Clock::now();
    task.cancel();
    task.cancel();  // harmless a second time
    EXPECT_THROW(task.wait(), CancellationError);
    // A condition-variable wake-up takes microseconds; 1 s leaves room for a loaded machine.
    EXPECT_LT(Clock::now() - cancelledAt, 1s);
    EXPECT_TRUE(task.isCancelled());
    EXPECT_TRUE(sawCancelled);
}

TEST(Task, SleepLastsItsDuration) {
    // Inside a task the sleep waits on the task's token; 150 ms of slack for a busy machine.
    Task task = Task::start([] {
        const auto start = Clock::now();
        sleepFor(100ms);
        const auto slept = Clock::now() - start;
        EXPECT_GE(slept, 100ms);
        EXPECT_LT(slept, 250ms);
    });
    task.wait();
}

TEST(Task, CancellationPointsThrowAtOnceUnderAStoppedToken) {
    EXPECT_FALSE(currentStopToken().stop_possible()) << "a thread with no task has a token never stopped";
    std::stop_source source;
    source.request_stop();
    detail::CurrentTokenScope scope(source.get_token());
    EXPECT_TRUE(isCurrentTaskCancelled());
    EXPECT_THROW(checkCancellation(), CancellationError);
    const auto start = Clock::now();
    EXPECT_THROW(sleepFor(10s), CancellationError);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(TaskGroup, FirstFailureCancelsASleepingSiblingAndIsRethrown) {
    std::atomic<int> siblingCancelled{0};
    const auto start = Clock::now();
    TaskGroup group;
    group.spawn([&] { sleepUntilCancelled(siblingCancelled); });  // its cancellation comes after the failure
    group.spawn([] {
        sleepFor(50ms);
        throw std::runtime_error("part 2 failed");
    });
    EXPECT_EQ(failureOf([&] { group.wait(); }), "part 2 failed");
    EXPECT_EQ(siblingCancelled.load(), 1);
    EXPECT_LT(Clock::now() - start, 2s);
}

// The pool deadlock: every worker runs a task that waits for its children, which are all queued behind
// those very tasks. The waiting tasks run their queued children themselves.
TEST(TaskGroup, ChildrenQueuedBehindAFullExecutorStillComplete) {
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
}

TEST(TaskGroup, ParentCancellationReachesEveryChild) {
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

TEST(TaskGroup, DestructorCancelsAndJoinsWithoutThrowing) {
    std::atomic<int> sleeperCancelled{0};
    const auto start = Clock::now();
    {
        TaskGroup group;
        group.spawn([&] { sleepUntilCancelled(sleeperCancelled); });
        group.spawn([] { throw std::runtime_error("never awaited"); });
    }
    EXPECT_EQ(sleeperCancelled.load(), 1);
    EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace
}  // namespace tw
