#pragma once
// The service's record of one file or folder, and the decoding of the service's JSON replies.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tw {

// A reply that is not the record it should be: malformed JSON, a top level that is not an object, a required
// key missing or null, or a key of the wrong JSON type. The message names the key and what was wrong
// (`key "version": expected integer, got string`) and never quotes a value.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Integers are signed 64-bit; times are milliseconds since the Unix epoch; strings are UTF-8.
struct Node {
    std::string id;                     // opaque
    std::optional<std::string> parent;  // absent at the top level
    std::string kind;                   // "folder" marks a folder; any other value is a file
    std::string name;
    std::int64_t size = 0;
    std::optional<std::string> mime;
    std::optional<std::string> rev;  // opaque content revision
    std::int64_t version = 0;        // metadata version; what "If-Match" carries
    std::int64_t seq = 0;
    std::int64_t createdAt = 0;
    std::int64_t updatedAt = 0;
    bool deleted = false;  // in the trash

    // Exact, case-sensitive: "Folder" is a file.
    bool isFolder() const { return kind == "folder"; }

    bool operator==(const Node&) const = default;
};

// Decodes one JSON object holding a node. Required: "id", "kind", "name" (strings) and "version" (integer).
// Optional, null meaning absent: "parent", "mime", "rev" (strings); "size", "seq", "createdAt", "updatedAt"
// (integers, 0 when absent). deleted is "deleted" when that is present and not null, else whether
// "deletedAt" (an integer) is present and not null. An integer is a JSON integer that fits in 64 signed bits:
// 3.0 or "3" is refused. Unknown keys are ignored; of duplicate keys the first counts.
// Throws DecodeError.
Node decodeNode(std::string_view json);

}  // namespace tw
