#pragma once
// The connection settings of one domain, kept in the domain's user-info dictionary.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tw {

struct Config {
    std::string base;      // server address; request URLs append "/api/v1" and a path to it as text
    std::string token;     // bearer access token; never written to a log or an error message
    std::string deviceId;  // this device at the service; empty when the domain carries none
    std::optional<std::string> spaceId;  // never empty when read from user-info; may be when built directly

    // Takes the four values as they are, without checks: an empty spaceId stays present.
    Config(std::string base, std::string token, std::string deviceId, std::optional<std::string> spaceId);

    // Reads a domain's user-info. Absent when userInfo is absent or not an object, when "base" or "token" is
    // missing or not a string, or when either holds a control character (a byte below 0x20, or 0x7F): such
    // a value would end up in a request line or a header, where it could forge another one. "spaceId" that is
    // missing, not a string or empty leaves spaceId absent; "deviceId" that is missing or not a string reads
    // as the empty string. base and token are otherwise taken as they are, even when empty.
    static std::optional<Config> fromUserInfo(const std::optional<nlohmann::json>& userInfo);

    // Why fromUserInfo would refuse a config with these values ("the base address holds a control
    // character", "the token holds a control character"), or nullopt when it would not. Never quotes a value.
    static std::optional<std::string> unsafeReason(const Config& config);

    // The inverse of fromUserInfo: "base", "token" and "deviceId" always, "spaceId" only when present.
    nlohmann::json userInfo() const;

    // True exactly when spaceId is present (even when empty): the domain lives in the cloud service.
    bool isCloud() const { return spaceId.has_value(); }

    bool operator==(const Config&) const = default;
};

}  // namespace tw
