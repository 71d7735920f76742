#pragma once

// The service's record of one file or folder, as stored and as sent on the wire.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace tw::server {

struct Node {
    std::int64_t num = 0;     // row number; the wire id is idOf(num)
    std::int64_t parent = 0;  // row number of the parent folder, 0 for the top level
    bool folder = false;
    std::string name;
    std::int64_t size = 0;
    std::optional<std::string> mime;  // files only
    std::optional<std::string> rev;   // files only; also the content file's name
    std::int64_t version = 1;
    std::int64_t seq = 0;
    std::int64_t createdAt = 0;
    std::int64_t updatedAt = 0;
    std::optional<std::int64_t> deletedAt;  // set while in the trash, and on purged tombstones
    bool purged = false;
};

// Ids are "n" followed by the row number in decimal: URL-safe, never reused.
std::string idOf(std::int64_t num);
// The row number of a wire id, or nullopt for any text that idOf cannot produce.
std::optional<std::int64_t> numOf(const std::string& id);

// The wire record: every node key; "parent" null at the top level; "size", "mime" and "rev" null for
// folders; "deleted" true and "deletedAt" set for trashed and purged nodes.
nlohmann::json toJson(const Node& node);

}  // namespace tw::server
