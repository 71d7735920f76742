#pragma once
// The rates that every transfer of the process shares: one for the bytes it receives, one for those it sends
// (the command line's --bwlimit-down and --bwlimit-up). Each is a token bucket a twentieth of a second deep,
// so a transfer that starts after a pause gets no burst worth speaking of. Transfers that find a bucket empty
// pause until it has refilled; their loop wakes for it (session.cpp).
//
// Thread-safe.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace tw::http {

class RateLimit {
public:
    using Clock = std::chrono::steady_clock;

    // Bytes a second; 0 takes the limit away.
    void setRate(std::int64_t bytesPerSecond);
    bool limited() const { return rate_.load(std::memory_order_relaxed) > 0; }
    // The most bytes one transfer should move at a time: the bucket's depth.
    std::int64_t step() const;

    // Whether bytes may move now (the bucket is not in debt).
    bool mayMove();
    // Counts `bytes` moved; the bucket may go into debt.
    void moved(std::int64_t bytes);
    // How long until mayMove() says yes: zero when it does now.
    Clock::duration untilFree();

private:
    void refill(Clock::time_point now);  // with mutex_ held

    std::atomic<std::int64_t> rate_{0};
    std::mutex mutex_;
    double tokens_ = 0;
    Clock::time_point refilled_{};
};

RateLimit& receiveLimit();
RateLimit& sendLimit();

}  // namespace tw::http
