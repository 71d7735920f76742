#pragma once
// Independent tasks with cooperative cancellation.
//
// A task runs its body on a worker of the shared executor: at once while one is free, else queued until one
// comes free (see Executor). Cancellation is cooperative: cancelling a task requests a stop on its
// std::stop_token, which the code it runs reaches through currentStopToken() without a token in every
// signature. Blocking operations of the platform (cancellable sleep, HTTP transfers) watch that token and
// end early with CancellationError (or, for HTTP, the URL error `cancelled`).

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stop_token>

#include "platform/error.h"

namespace tw {

// The task-cancellation error: thrown by cancellation points once the current task is cancelled.
// Domain "tw.task", code 1.
class CancellationError : public Error {
public:
    CancellationError();
};

// The stop token of the task running on this thread; a token that is never stopped on a thread that runs
// no task.
std::stop_token currentStopToken();

// True once the current task has been cancelled.
bool isCurrentTaskCancelled();

// Throws CancellationError when the current task has been cancelled.
void checkCancellation();

// Suspends the calling thread for `duration`; throws CancellationError at once when the current task is
// cancelled before or during the pause.
void sleepFor(std::chrono::nanoseconds duration);

namespace detail {
// Installs `token` as the current task's token for the life of the scope (used by Task and TaskGroup).
class CurrentTokenScope {
public:
    explicit CurrentTokenScope(std::stop_token token);
    ~CurrentTokenScope();
    CurrentTokenScope(const CurrentTokenScope&) = delete;
    CurrentTokenScope& operator=(const CurrentTokenScope&) = delete;

private:
    std::stop_token previous_;
};
}  // namespace detail

// A handle on an independent task. Copies share the task. Dropping every handle does not cancel or wait:
// the task runs to its end on a thread of the shared executor.
class Task {
public:
    // Starts `body` on a worker of the shared executor: at once while fewer than Executor::maxWorkers() are
    // busy, else as soon as one comes free, in start order. A task cancelled while queued still runs its
    // body, under a stopped token. An exception that escapes the body is kept and rethrown by wait(). A task
    // that must wait for work of its own runs it in a TaskGroup, never as tasks it waits for: those could
    // queue behind the very workers that wait for them.
    static Task start(std::function<void()> body);

    // Requests cancellation; returns at once. Safe from any thread, any number of times.
    void cancel() const;
    bool isCancelled() const;

    // Blocks until the body has returned; rethrows what escaped it. Must not be called from the task itself
    // while it runs (an assertion checks it); any other thread may wait, even the worker that ran it.
    void wait() const;
    // Waits at most `timeout`; true when the body has returned.
    bool waitFor(std::chrono::nanoseconds timeout) const;

private:
    struct State;
    explicit Task(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace tw
