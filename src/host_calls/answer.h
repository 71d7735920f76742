#pragma once
// The answer of one host call: completed exactly once, on whichever thread the extension completes it,
// and waited for by the host within its Limits.
//
// An Answer is shared (std::shared_ptr) between the waiter and the completion handler, so either may
// outlive the other. A second completion is a programmer error of the extension (the host contract says
// exactly once): it ends the process with a message naming the call, in every build.

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "host_calls/limits.h"
#include "platform/error.h"
#include "platform/progress.h"

namespace tw::hostcalls {

// Writes "host call <call> completed a second time ..." on stderr and aborts.
[[noreturn]] void completedTwice(const char* call);
// What a wait throws when it gives its call up: the user-cancelled error after a stop, else
// std::system_error(ETIMEDOUT).
[[noreturn]] void throwGivenUp(bool stopped);
// Gives the call up at once when `limits` already ask for a stop (nothing is made then).
void requireNotStopped(const Limits& limits);

template <typename T>
class Answer {
public:
    // `call` names the host call in the message of a second completion (a literal: it is kept, not
    // copied). `discard` disposes of a value that nobody takes any more (deletes a delivered file); it runs
    // on the completing thread, or on the waiting one when the value came during the wind-down.
    explicit Answer(const char* call, std::function<void(T&)> discard = {})
        : call_(call), discard_(std::move(discard)) {}

    // The completion, with the call's value or its error.
    void succeed(T value) { complete(std::move(value), nullptr); }
    void fail(Error error) { complete(std::nullopt, std::make_exception_ptr(std::move(error))); }

    // Waits for the completion within `limits`; giving up cancels `progress` (when given) first. Returns
    // the value, or throws the call's error as it came.
    T wait(const Limits& limits, const std::shared_ptr<Progress>& progress = nullptr) {
        constexpr auto tick = std::chrono::milliseconds(100);
        const bool watching = limits.watch && progress;
        const auto completed = [this] { return completed_; };
        std::unique_lock lock(mutex_);
        for (;;) {
            const Deadline until =
                watching ? std::min(limits.deadline, Clock::now() + tick) : limits.deadline;
            const bool answered = until == noDeadline
                                      ? changed_.wait(lock, limits.stop, completed)
                                      : changed_.wait_until(lock, limits.stop, until, completed);
            if (answered) break;
            if (limits.stop.stop_requested() || Clock::now() >= limits.deadline)
                giveUp(lock, limits, progress);
            lock.unlock();
            limits.watch(*progress);
            lock.lock();
        }
        lock.unlock();
        if (watching) limits.watch(*progress);
        // Written once under the lock before `completed_` was seen: nobody writes them again.
        if (error_) std::rethrow_exception(error_);
        return std::move(*value_);
    }

private:
    void complete(std::optional<T> value, std::exception_ptr error) {
        std::optional<T> unwanted;
        {
            std::scoped_lock lock(mutex_);
            if (completed_) completedTwice(call_);
            completed_ = true;
            if (abandoned_) {
                unwanted = std::move(value);
            } else {
                value_ = std::move(value);
                error_ = std::move(error);
            }
        }
        changed_.notify_all();
        if (unwanted && discard_) discard_(*unwanted);
    }

    [[noreturn]] void giveUp(std::unique_lock<std::mutex>& lock, const Limits& limits,
                             const std::shared_ptr<Progress>& progress) {
        const bool stopped = limits.stop.stop_requested();
        if (progress) {
            lock.unlock();
            progress->cancel();
            lock.lock();
            if (limits.windDown.count() > 0)
                changed_.wait_for(lock, limits.windDown, [this] { return completed_; });
        }
        abandoned_ = true;
        std::optional<T> unwanted = std::move(value_);
        value_.reset();
        lock.unlock();
        if (unwanted && discard_) discard_(*unwanted);
        throwGivenUp(stopped);
    }

    const char* call_;
    std::function<void(T&)> discard_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    bool completed_ = false;
    bool abandoned_ = false;  // the waiter gave up: a value that comes later is discarded
    std::optional<T> value_;
    std::exception_ptr error_;
};

}  // namespace tw::hostcalls
