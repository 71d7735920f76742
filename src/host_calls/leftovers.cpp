#include "host_calls/leftovers.h"

#include <string_view>
#include <system_error>

namespace tw::hostcalls {
namespace {

// The shape of platform/uuid.h's randomUUID.
bool isDeliveredName(std::string_view name) {
    if (name.size() != 36) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

}  // namespace

std::size_t removeLeftovers(const std::filesystem::path& folder, std::chrono::seconds age) {
    namespace fs = std::filesystem;
    const auto cutoff = fs::file_time_type::clock::now() - age;
    std::size_t removed = 0;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        if (!isDeliveredName(entry->path().filename().native())) continue;
        std::error_code failed;
        // symlink_status: a link named like a delivery is not one, and what it points to is not ours.
        if (!fs::is_regular_file(entry->symlink_status(failed)) || failed) continue;
        const auto modified = entry->last_write_time(failed);
        if (failed || modified >= cutoff) continue;
        if (fs::remove(entry->path(), failed)) ++removed;
    }
    return removed;
}

std::size_t removeLeftovers(const host::Domain& domain, const std::string& application) {
    try {
        const auto manager = host::Manager::forDomain(domain, application);
        return manager ? removeLeftovers(manager->temporaryDirectory()) : 0;
    } catch (...) {
        return 0;  // the extension says why in its log when it makes its own manager
    }
}

}  // namespace tw::hostcalls
