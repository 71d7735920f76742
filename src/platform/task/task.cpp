#include "platform/task/task.h"

#include "platform/task/executor.h"

#include <cassert>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace tw {

namespace {

thread_local std::stop_token currentToken;

// Far enough for any pause this system takes, near enough that now() + limit cannot overflow.
constexpr std::chrono::nanoseconds longestWait = std::chrono::hours(24 * 365);

std::chrono::nanoseconds clampWait(std::chrono::nanoseconds duration) {
    if (duration < std::chrono::nanoseconds::zero()) return std::chrono::nanoseconds::zero();
    return duration < longestWait ? duration : longestWait;
}

}  // namespace

CancellationError::CancellationError() : Error("tw.task", 1, {}, "task cancelled") {}

std::stop_token currentStopToken() {
    return currentToken;
}

bool isCurrentTaskCancelled() {
    return currentToken.stop_requested();
}

void checkCancellation() {
    if (currentToken.stop_requested()) throw CancellationError();
}

void sleepFor(std::chrono::nanoseconds duration) {
    std::stop_token token = currentToken;
    checkCancellation();
    if (!token.stop_possible()) {
        std::this_thread::sleep_for(clampWait(duration));
        return;
    }
    // The stop token wakes the wait through a stop callback registered by condition_variable_any.
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + clampWait(duration);
    wakeUp.wait_until(lock, token, deadline, [] { return false; });
    if (token.stop_requested()) throw CancellationError();
}

namespace detail {

CurrentTokenScope::CurrentTokenScope(std::stop_token token) : previous_(std::exchange(currentToken, token)) {}

CurrentTokenScope::~CurrentTokenScope() {
    currentToken = std::move(previous_);
}

}  // namespace detail

struct Task::State {
    std::stop_source source;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr error;
    // The thread running the body, while it runs, to catch a task waiting for itself. Cleared when the body
    // ends: the worker goes on to run other tasks, which may wait for this one like any other thread.
    std::thread::id runningOn;
};

Task Task::start(std::function<void()> body) {
    auto state = std::make_shared<State>();
    Executor::shared().submit([state, body = std::move(body)]() mutable {
        {
            std::scoped_lock lock(state->mutex);
            state->runningOn = std::this_thread::get_id();
        }
        std::exception_ptr error;
        {
            detail::CurrentTokenScope scope(state->source.get_token());
            try {
                body();
            } catch (...) {
                error = std::current_exception();
            }
            body = nullptr;  // what the body captured is released before waiters learn that it ended
        }
        {
            std::scoped_lock lock(state->mutex);
            state->runningOn = std::thread::id();
            state->done = true;
            state->error = std::move(error);
        }
        state->finished.notify_all();
    });
    return Task(std::move(state));
}

void Task::cancel() const {
    state_->source.request_stop();
}

bool Task::isCancelled() const {
    return state_->source.stop_requested();
}

void Task::wait() const {
    std::unique_lock lock(state_->mutex);
    assert(state_->runningOn != std::this_thread::get_id() && "a task cannot wait for itself");
    state_->finished.wait(lock, [&] { return state_->done; });
    if (state_->error) std::rethrow_exception(state_->error);
}

bool Task::waitFor(std::chrono::nanoseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->finished.wait_for(lock, clampWait(timeout), [&] { return state_->done; });
}

}  // namespace tw
