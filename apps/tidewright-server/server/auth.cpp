#include "server/auth.h"

#include "server/api_error.h"
#include "server/util.h"

#include <mutex>

namespace tw::server {
namespace {

// Compares without an early exit, so the time taken does not tell how much of the secret matched (the
// length may show).
bool equalSecrets(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

Auth::Auth(Store& store, std::vector<std::string> tokens, std::optional<std::string> pairingSecret)
    : store_(store), pairingSecret_(std::move(pairingSecret)) {
    for (const auto& token : tokens) {
        if (!token.empty()) startTokens_.insert(tokenHash(token));
    }
    for (const auto& device : store_.activeDevices())
        deviceByToken_[device.token] = device.id;
}

bool Auth::isValid(std::string_view token) const {
    if (token.empty()) return false;
    auto hash = tokenHash(token);
    std::shared_lock lock(mutex_);
    return startTokens_.count(hash) > 0 || deviceByToken_.count(hash) > 0;
}

Device Auth::pair(std::string_view secret, const std::string& name, const std::string& kind) {
    if (!pairingSecret_ || pairingSecret_->empty() || !equalSecrets(secret, *pairingSecret_)) {
        throw ApiError(403, "forbidden");
    }
    Device device{"d" + randomHex(8), randomHex(32), name, kind, nowMs()};
    store_.addDevice(device);
    std::unique_lock lock(mutex_);
    deviceByToken_[tokenHash(device.token)] = device.id;
    return device;
}

bool Auth::revokeDevice(const std::string& id) {
    if (!store_.revokeDevice(id)) return false;
    std::unique_lock lock(mutex_);
    std::erase_if(deviceByToken_, [&](const auto& entry) { return entry.second == id; });
    return true;
}

void Auth::revokeToken(std::string_view token) {
    std::string deviceId;
    auto hash = tokenHash(token);
    {
        std::unique_lock lock(mutex_);
        if (auto it = startTokens_.find(hash); it != startTokens_.end()) startTokens_.erase(it);
        if (auto it = deviceByToken_.find(hash); it != deviceByToken_.end()) deviceId = it->second;
    }
    if (!deviceId.empty()) revokeDevice(deviceId);
}

std::string_view bearerToken(std::string_view header) {
    constexpr std::string_view prefix = "Bearer ";
    if (header.substr(0, prefix.size()) != prefix) return {};
    return header.substr(prefix.size());
}

}  // namespace tw::server
