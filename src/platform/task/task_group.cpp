#include "platform/task/task_group.h"

#include <utility>

#include "platform/task/task.h"

namespace tw {

TaskGroup::TaskGroup() : parentLink_(currentStopToken(), [this] { source_.request_stop(); }) {}

TaskGroup::~TaskGroup() {
    source_.request_stop();
    for (auto& child : children_) {
        if (child.joinable()) child.join();
    }
}

void TaskGroup::spawn(std::function<void()> body) {
    children_.emplace_back([this, body = std::move(body), token = source_.get_token()]() mutable {
        detail::CurrentTokenScope scope(token);
        try {
            body();
        } catch (...) {
            fail(std::current_exception());
        }
    });
}

void TaskGroup::cancelAll() {
    source_.request_stop();
}

void TaskGroup::wait() {
    for (auto& child : children_)
        child.join();
    children_.clear();
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
