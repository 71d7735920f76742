#pragma once
// Time measured by the tests that check pauses, deadlines and prompt cancellation.

#include <chrono>

namespace tw::test {

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tw::test
