#include "status_text.h"

#include <ctime>

namespace tw::cli {

std::string clockText(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string changesWaiting(int count) {
    return std::to_string(count) + (count == 1 ? " change waiting" : " changes waiting");
}

}  // namespace tw::cli
