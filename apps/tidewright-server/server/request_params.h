#pragma once

// Reading the parts of a request that several handlers share: ids, parents, versions, limits, cursors,
// names. Each throws the ApiError that a bad value answers.

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace tw::server {

inline constexpr std::size_t maxJsonBody = 1 << 20;

// The row number of a node id taken from the path: 404 "not_found" for text no id can have.
std::int64_t nodeNum(const std::string& id);
// "root" is the top level (0); any other text must be a node id: 404 "parent_not_found" otherwise.
std::int64_t parentNum(const std::string& text);
// The "If-Match" header as a version: absent when missing, 400 "invalid_if_match" when not an integer.
std::optional<std::int64_t> ifMatch(const httplib::Request& request);
// An integer query parameter within [min, max], `fallback` when absent: 400 `code` otherwise.
std::int64_t integerParam(const httplib::Request& request, const char* key, std::int64_t fallback,
                          std::int64_t min, std::int64_t max, const char* code);
// A listing cursor (absent or empty: from the start): 400 "invalid_cursor" for foreign text.
std::int64_t cursorParam(const httplib::Request& request);
// A node name: 400 "invalid_name" unless isValidName.
std::string checkedName(const std::string& name);
// A content type: printable ASCII up to 255 bytes, "application/octet-stream" when empty.
std::string checkedMime(const std::string& mime);
// A string member of a JSON object: absent when missing, 400 `code` when of another type.
std::optional<std::string> stringMember(const nlohmann::json& object, const char* key, const char* code);

}  // namespace tw::server
