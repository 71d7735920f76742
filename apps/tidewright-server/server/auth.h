#pragma once

// Who may call the API: the tokens given at start (valid until the process ends or they are revoked),
// and device tokens issued by pairing, which persist in the store until revoked. Tokens and the pairing
// secret are never logged. Thread-safe.

#include "server/store.h"

#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tw::server {

class Auth {
public:
    // `pairingSecret` absent (or empty) refuses every pairing.
    Auth(Store& store, std::vector<std::string> tokens, std::optional<std::string> pairingSecret);

    bool isValid(std::string_view token) const;
    // Pairs a new device when the secret matches; throws ApiError 403 "forbidden" otherwise.
    Device pair(std::string_view secret, const std::string& name, const std::string& kind);
    // Revokes a device by id; false when unknown or already revoked.
    bool revokeDevice(const std::string& id);
    // Revokes the token itself, whether a device's or one given at start.
    void revokeToken(std::string_view token);

private:
    Store& store_;
    std::optional<std::string> pairingSecret_;
    mutable std::shared_mutex mutex_;
    // Tokens are held as their tokenHash, as in the store.
    std::set<std::string, std::less<>> startTokens_;
    std::unordered_map<std::string, std::string> deviceByToken_;  // token hash -> device id
};

// The token of an "Authorization: Bearer <token>" header value; empty when the header has another form.
std::string_view bearerToken(std::string_view header);

}  // namespace tw::server
