#include "platform/task/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>

namespace tw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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
    try {
        task.wait();
        FAIL() << "wait() returned normally";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "disk full");
    }
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

}  // namespace
}  // namespace tw
