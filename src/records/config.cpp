#include "records/config.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace tw {

namespace {

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

// The value under key when it is a string; nullptr when the key is missing or holds any other type.
const std::string* stringAt(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return nullptr;
    return found->get_ptr<const std::string*>();
}

}  // namespace

Config::Config(std::string base, std::string token, std::string deviceId, std::optional<std::string> spaceId)
    : base(std::move(base)),
      token(std::move(token)),
      deviceId(std::move(deviceId)),
      spaceId(std::move(spaceId)) {}

std::optional<Config> Config::fromUserInfo(const std::optional<nlohmann::json>& userInfo) {
    if (!userInfo || !userInfo->is_object()) return std::nullopt;
    const nlohmann::json& info = *userInfo;

    const std::string* base = stringAt(info, "base");
    if (!base) return std::nullopt;
    const std::string* token = stringAt(info, "token");
    if (!token) return std::nullopt;

    std::optional<std::string> spaceId;
    if (const std::string* space = stringAt(info, "spaceId"); space && !space->empty()) spaceId = *space;

    const std::string* device = stringAt(info, "deviceId");
    Config config(*base, *token, device ? *device : std::string(), std::move(spaceId));
    if (unsafeReason(config)) return std::nullopt;
    return config;
}

std::optional<std::string> Config::unsafeReason(const Config& config) {
    if (hasControlCharacter(config.base)) return "the base address holds a control character";
    if (hasControlCharacter(config.token)) return "the token holds a control character";
    return std::nullopt;
}

nlohmann::json Config::userInfo() const {
    nlohmann::json info = {{"base", base}, {"token", token}, {"deviceId", deviceId}};
    if (spaceId) info["spaceId"] = *spaceId;
    return info;
}

}  // namespace tw
