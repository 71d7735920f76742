#pragma once
// Progress of one host call: total and completed unit counts and a cancellation handler.
// Shared between the host and the task that does the work; every member is safe from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace tw {

class Progress {
public:
    static std::shared_ptr<Progress> make(std::int64_t totalUnitCount = 0);
    explicit Progress(std::int64_t totalUnitCount = 0) : total_(totalUnitCount) {}

    std::int64_t totalUnitCount() const { return total_.load(); }
    void setTotalUnitCount(std::int64_t total) { total_.store(total); }
    std::int64_t completedUnitCount() const { return completed_.load(); }
    void setCompletedUnitCount(std::int64_t completed) { completed_.store(completed); }
    // Adds atomically: concurrent additions are never lost.
    void addCompletedUnitCount(std::int64_t delta) { completed_.fetch_add(delta); }

    // The handler runs once, on the thread that calls cancel(); set after a cancel(), it runs at once on the
    // setting thread. Setting a handler replaces the previous one.
    void setCancellationHandler(std::function<void()> handler);
    // Marks the progress cancelled and runs the handler (once, however often cancel() is called).
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }

private:
    std::atomic<std::int64_t> total_;
    std::atomic<std::int64_t> completed_{0};
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::function<void()> handler_;
};

}  // namespace tw
