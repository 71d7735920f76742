#pragma once
// A group of child tasks inside the current task. Children run at once, each on its own thread, with a
// stop token that is stopped when the parent task is cancelled or when any child fails. wait() waits for
// every child and then rethrows the first failure (the first to be recorded, in time order).

#include <exception>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace tw {

class TaskGroup {
public:
    TaskGroup();
    // Cancels the children that still run and waits for them; never throws.
    ~TaskGroup();
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    // Starts `body` as a child. Safe to call only from the thread that owns the group.
    void spawn(std::function<void()> body);

    // Cancels every child that still runs.
    void cancelAll();

    // Waits for every child, then rethrows the first failure, if any. A CancellationError that a child threw
    // only because a sibling's failure cancelled it never hides that failure.
    void wait();

private:
    void fail(std::exception_ptr error);

    std::stop_source source_;
    std::stop_callback<std::function<void()>> parentLink_;
    std::vector<std::jthread> children_;
    std::mutex mutex_;
    std::exception_ptr firstFailure_;
};

}  // namespace tw
