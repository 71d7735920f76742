#include "platform/http/rate_limit.h"

#include <algorithm>
#include <cmath>

namespace tw::http {

namespace {

// The bytes a bucket holds at most: a twentieth of a second, and never less than one of libcurl's pieces.
std::int64_t depthOf(std::int64_t rate) {
    return std::max<std::int64_t>(rate / 20, 16 << 10);
}

}  // namespace

void RateLimit::setRate(std::int64_t bytesPerSecond) {
    std::scoped_lock lock(mutex_);
    rate_ = std::max<std::int64_t>(bytesPerSecond, 0);
    tokens_ = static_cast<double>(depthOf(rate_));
    refilled_ = Clock::now();
}

std::int64_t RateLimit::step() const {
    return depthOf(rate_.load(std::memory_order_relaxed));
}

void RateLimit::refill(Clock::time_point now) {
    const auto rate = rate_.load(std::memory_order_relaxed);
    const std::chrono::duration<double> passed = now - refilled_;
    tokens_ =
        std::min(tokens_ + passed.count() * static_cast<double>(rate), static_cast<double>(depthOf(rate)));
    refilled_ = now;
}

bool RateLimit::mayMove() {
    if (!limited()) return true;
    std::scoped_lock lock(mutex_);
    refill(Clock::now());
    return tokens_ > 0;
}

void RateLimit::moved(std::int64_t bytes) {
    if (!limited()) return;
    std::scoped_lock lock(mutex_);
    refill(Clock::now());
    tokens_ -= static_cast<double>(bytes);
}

RateLimit::Clock::duration RateLimit::untilFree() {
    const auto rate = rate_.load(std::memory_order_relaxed);
    if (rate <= 0) return {};
    std::scoped_lock lock(mutex_);
    refill(Clock::now());
    if (tokens_ > 0) return {};
    const std::chrono::duration<double> wait((1 - tokens_) / static_cast<double>(rate));
    return std::chrono::ceil<Clock::duration>(wait);
}

RateLimit& receiveLimit() {
    static RateLimit limit;
    return limit;
}

RateLimit& sendLimit() {
    static RateLimit limit;
    return limit;
}

}  // namespace tw::http
