#pragma once
// Time measured by the tests that check pauses, deadlines and prompt cancellation.

#include <chrono>
#include <functional>
#include <thread>

namespace tw::test {

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Polls `done` every 20 ms for up to `seconds`; whether it became true.
inline bool waitUntil(double seconds, const std::function<bool()>& done) {
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (secondsSince(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace tw::test
