#include "platform/task/task_group.h"

#include <atomic>
#include <utility>

#include "platform/task/executor.h"
#include "platform/task/task.h"

namespace tw {

// A spawned body, run by whichever claims it first: a worker of the executor or the waiting owner.
struct TaskGroup::Child {
    explicit Child(std::function<void()> body) : body(std::move(body)) {}
    bool claim() { return !claimed.exchange(true); }

    std::atomic<bool> claimed{false};
    std::function<void()> body;
};

TaskGroup::TaskGroup() : parentLink_(currentStopToken(), [this] { source_.request_stop(); }) {}

TaskGroup::~TaskGroup() {
    source_.request_stop();
    awaitChildren();
}

void TaskGroup::spawn(std::function<void()> body) {
    auto child = std::make_shared<Child>(std::move(body));
    children_.push_back(child);
    {
        std::scoped_lock lock(mutex_);
        ++unfinished_;
    }
    // A job that finds its child claimed by the owner ends without touching the group, which may be gone.
    Executor::shared().submit([this, child] {
        if (child->claim()) run(*child);
    });
}

void TaskGroup::run(Child& child) {
    {
        detail::CurrentTokenScope scope(source_.get_token());
        try {
            child.body();
        } catch (...) {
            fail(std::current_exception());
        }
        child.body = nullptr;  // what the body captured is released before the owner learns that it ended
    }
    std::scoped_lock lock(mutex_);
    --unfinished_;
    // Notified under the lock: once the owner sees no child left it may destroy the group, and with it the
    // condition variable.
    childEnded_.notify_all();
}

void TaskGroup::awaitChildren() {
    for (const auto& child : children_) {
        if (child->claim()) run(*child);
    }
    children_.clear();
    std::unique_lock lock(mutex_);
    childEnded_.wait(lock, [this] { return unfinished_ == 0; });
}

void TaskGroup::cancelAll() {
    source_.request_stop();
}

void TaskGroup::wait() {
    awaitChildren();
    std::scoped_lock lock(mutex_);
    // The failure stays recorded: a group that failed keeps failing, as its token stays stopped.
    if (firstFailure_) std::rethrow_exception(firstFailure_);
}

void TaskGroup::fail(std::exception_ptr error) {
    {
        std::scoped_lock lock(mutex_);
        if (!firstFailure_) firstFailure_ = std::move(error);
    }
    // Recording comes before the stop request, so the CancellationError a sibling throws because of this
    // stop is always recorded after the failure that caused it and never replaces it.
    source_.request_stop();
}

}  // namespace tw
