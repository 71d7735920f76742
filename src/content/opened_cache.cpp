#include "content/opened_cache.h"

#include <chrono>

namespace tw {

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool isReusable(const Opened& opened, std::int64_t now) {
    return now + reuseMarginMs < opened.expiresAt;
}

void dropUnusable(std::map<std::string, Opened>& opened, std::int64_t now) {
    std::erase_if(opened, [now](const auto& entry) { return !isReusable(entry.second, now); });
}

}  // namespace tw
