#pragma once
// A one-line progress bar on a terminal: bytes done of the total, the rate and the time left.

#include <chrono>
#include <cstdint>
#include <ostream>

namespace tw::cli {

class ProgressBar {
public:
    // Draws on `out` only when `enabled` (the caller says whether it is a terminal).
    ProgressBar(std::ostream& out, bool enabled);
    // Redraws the line in place.
    void update(std::int64_t completed, std::int64_t total);
    // Ends the line, when one was drawn.
    void finish();

private:
    std::ostream& out_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace tw::cli
