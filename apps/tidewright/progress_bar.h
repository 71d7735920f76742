#pragma once
// A one-line progress bar on a terminal: bytes done of the total, the rate and the time left.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace tw::cli {

// The bar's line after `seconds` with `completed` of `total` bytes done: a carriage return, 30 cells of
// '#' for the share done, "1.0 MiB / 4.0 MiB  0.5 MiB/s  ETA 0:06", and an erase to the end of the line.
// The time left reads "--:--" until the rate is known, or when it would pass 99:59:59.
std::string progressLine(std::int64_t completed, std::int64_t total, double seconds);

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
