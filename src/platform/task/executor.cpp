#include "platform/task/executor.h"

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
        // Each idle worker takes one queued job; a job beyond them gets a worker of its own.
        startWorker = static_cast<std::size_t>(state_->idle) < state_->jobs.size();
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
