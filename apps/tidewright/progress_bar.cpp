#include "progress_bar.h"

#include <algorithm>
#include <cstdio>

namespace tw::cli {
namespace {

std::string mebibytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
    return text;
}

}  // namespace

std::string progressLine(std::int64_t completed, std::int64_t total, double seconds) {
    constexpr int width = 30;
    constexpr double longestLeft = 100.0 * 3600 - 1;  // seconds; a longer wait is no figure worth showing
    const double fraction = total > 0 ? std::clamp(double(completed) / double(total), 0.0, 1.0) : 0.0;
    const int filled = static_cast<int>(fraction * width);
    const double rate = seconds > 0 ? double(completed) / seconds : 0.0;
    std::string eta = "--:--";
    if (rate > 0 && total >= completed && double(total - completed) / rate <= longestLeft) {
        const auto left = static_cast<long>(double(total - completed) / rate);
        char text[32];
        if (left >= 3600)
            std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", left / 3600, left / 60 % 60, left % 60);
        else
            std::snprintf(text, sizeof text, "%ld:%02ld", left / 60, left % 60);
        eta = text;
    }
    return "\r[" + std::string(filled, '#') + std::string(width - filled, ' ') + "] " + mebibytes(completed) +
           " / " + mebibytes(total) + "  " + mebibytes(rate) + "/s  ETA " + eta + "\x1b[K";
}

ProgressBar::ProgressBar(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}

void ProgressBar::update(std::int64_t completed, std::int64_t total) {
    if (!enabled_) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    out_ << progressLine(completed, total, seconds) << std::flush;
    drawn_ = true;
}

void ProgressBar::finish() {
    if (drawn_) out_ << "\n" << std::flush;
    drawn_ = false;
}

}  // namespace tw::cli
