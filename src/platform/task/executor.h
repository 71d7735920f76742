#pragma once
// The shared concurrent executor on which independent tasks and the children of task groups run.
//
// Jobs run on reused threads: a thread that finished a job waits a while for the next one, so a task does
// not pay for a new thread (its start, its stack and its malloc arena faulted in again) on every host call.
// Workers idle for `idleLifetime` end. At most maxWorkers() run at once: a job submitted while every worker
// is busy waits in a first-in, first-out queue for the first to come free. Tasks block on transfers and
// pauses, so a queued job may wait as long as those last: code that waits for work it submitted must not
// count on a worker coming free (TaskGroup::wait runs such work itself).

#include <chrono>
#include <functional>

namespace tw {

class Executor {
public:
    static constexpr std::chrono::seconds idleLifetime{10};

    // The bound on workers: max(32, 4 × cores).
    static int maxWorkers();

    // The process-wide executor. It is never destroyed: workers may still be waiting when the process ends.
    static Executor& shared();

    // Runs `job` on a worker: at once while fewer than maxWorkers() are busy, else in submission order as
    // workers come free. `job` must not throw.
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
