#pragma once
// A group of child tasks inside the current task. Children run on the shared executor with a stop token
// that is stopped when the parent task is cancelled or when any child fails. wait() waits for every child
// and then rethrows the first failure (the first to be recorded, in time order).
//
// Children start at once while the executor has free workers. One that no worker has started by the time
// the owner waits runs on the owner's thread instead, so a group never waits on the executor's queue: a
// task that waits for its children always makes progress, even when every worker runs such a task.

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

namespace tw {

class TaskGroup {
public:
    TaskGroup();
    // Cancels the children that still run and waits for them (running those not yet started, under the
    // stopped token); never throws.
    ~TaskGroup();
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    // Submits `body` as a child; every child's body runs exactly once. Safe to call only from the thread
    // that owns the group.
    void spawn(std::function<void()> body);

    // Cancels every child that still runs.
    void cancelAll();

    // Runs the children that no worker has started, waits for the others, then rethrows the first failure,
    // if any. A CancellationError that a child threw only because a sibling's failure cancelled it never
    // hides that failure.
    void wait();

private:
    struct Child;
    void run(Child& child);
    void awaitChildren();
    void fail(std::exception_ptr error);

    std::stop_source source_;
    std::stop_callback<std::function<void()>> parentLink_;
    std::vector<std::shared_ptr<Child>> children_;  // touched only by the owner's thread
    std::mutex mutex_;
    std::condition_variable childEnded_;
    int unfinished_ = 0;  // children spawned and not yet ended
    std::exception_ptr firstFailure_;
};

}  // namespace tw
