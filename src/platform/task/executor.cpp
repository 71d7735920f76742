#include "platform/task/executor.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tw {

struct Executor::State {
    std::mutex mutex;
    std::condition_variable jobReady;
    std::deque<std::function<void()>> jobs;
    int idle = 0;
    int workers = 0;
};

int Executor::maxWorkers() {
    // Tasks here spend nearly all their time blocked on the network or in pauses, not on a processor, so
    // the bound is not about cores: it caps what a burst of host calls can cost in threads (a stack and a
    // malloc arena each, and the scheduler's work). The session holds at most 16 connections to the
    // service and further transfers only wait inside it for one, so 32 workers keep every connection busy
    // while as many tasks again decode, pause between retries or work on files. On larger machines, 4 per
    // core lets processor-bound work (decoding large pages) use every core while others block. Desktop
    // executors bound their pools for blocking work in the same range: a few dozen threads, a queue beyond.
    static const int bound = std::max(32, 4 * static_cast<int>(std::thread::hardware_concurrency()));
    return bound;
}

Executor& Executor::shared() {
    static Executor* executor = [] {
        auto* made = new Executor;
        made->state_ = new State;
        return made;
    }();
    return *executor;
}

void Executor::submit(std::function<void()> job) {
    bool startWorker;
    {
        std::scoped_lock lock(state_->mutex);
        state_->jobs.push_back(std::move(job));
        // Each idle worker takes one queued job; a job beyond them gets a worker of its own while the bound
        // allows, else it stays queued until a busy worker finishes and comes back for it.
        startWorker =
            static_cast<std::size_t>(state_->idle) < state_->jobs.size() && state_->workers < maxWorkers();
        if (startWorker) ++state_->workers;
    }
    if (startWorker)
        std::thread([this] { work(); }).detach();
    else
        state_->jobReady.notify_one();
}

int Executor::workers() const {
    std::scoped_lock lock(state_->mutex);
    return state_->workers;
}

void Executor::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(state_->mutex);
            ++state_->idle;
            const bool got =
                state_->jobReady.wait_for(lock, idleLifetime, [this] { return !state_->jobs.empty(); });
            --state_->idle;
            if (!got) {
                --state_->workers;
                return;
            }
            job = std::move(state_->jobs.front());
            state_->jobs.pop_front();
        }
        job();
    }
}

}  // namespace tw
