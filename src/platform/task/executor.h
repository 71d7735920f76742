#pragma once
// The shared concurrent executor on which independent tasks run.
//
// Jobs run on reused threads: a thread that finished a job waits a while for the next one, so a task does
// not pay for a new thread (its start, its stack and its malloc arena faulted in again) on every host call.
// A job never waits for a free thread — tasks block on transfers and pauses, and one must never wait
// behind another — so when every worker is busy a new one starts. Workers idle for `idleLifetime` end.

#include <chrono>
#include <functional>

namespace tw {

class Executor {
public:
    static constexpr std::chrono::seconds idleLifetime{10};

    // The process-wide executor. It is never destroyed: workers may still be waiting when the process ends.
    static Executor& shared();

    // Runs `job` as soon as possible on a worker. `job` must not throw.
    void submit(std::function<void()> job);

    // Workers alive now, busy or idle (for tests and diagnostics).
    int workers() const;

private:
    Executor() = default;
    void work();

    struct State;
    State* state_ = nullptr;
};

}  // namespace tw
