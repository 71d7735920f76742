#include "platform/task/task_group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <stdexcept>
#include <vector>

#include "platform/task/executor.h"
#include "platform/task/task.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(TaskGroup, FirstFailureCancelsASleepingSiblingAndIsRethrown) {
    std::atomic<bool> siblingCancelled{false};
    const auto start = Clock::now();
    TaskGroup group;
    group.spawn([&] {
        try {
            sleepFor(10s);
        } catch (const CancellationError&) {
            siblingCancelled = true;
            throw;  // recorded after the failure that caused it
        }
    });
    group.spawn([] {
        sleepFor(50ms);
        throw std::runtime_error("part 2 failed");
    });
    try {
        group.wait();
        FAIL() << "wait() returned normally";
    } catch (const CancellationError&) {
        FAIL() << "the sibling's cancellation hid the failure";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "part 2 failed");
    }
    EXPECT_TRUE(siblingCancelled);
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(TaskGroup, WaitAwaitsEveryChild) {
    std::atomic<int> finished{0};
    TaskGroup group;
    for (int i = 1; i <= 4; ++i) {
        group.spawn([&finished, i] {
            sleepFor(i * 10ms);
            ++finished;
        });
    }
    group.wait();
    EXPECT_EQ(finished.load(), 4);
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
        for (int i = 0; i < 2; ++i) {
            group.spawn([&] {
                try {
                    sleepFor(10s);
                } catch (const CancellationError&) {
                    ++cancelledChildren;
                    throw;
                }
            });
        }
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
    std::atomic<bool> sleeperCancelled{false};
    const auto start = Clock::now();
    {
        TaskGroup group;
        group.spawn([&] {
            try {
                sleepFor(10s);
            } catch (const CancellationError&) {
                sleeperCancelled = true;
            }
        });
        group.spawn([] { throw std::runtime_error("never awaited"); });
    }
    EXPECT_TRUE(sleeperCancelled);
    EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace
}  // namespace tw
