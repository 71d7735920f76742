#pragma once
// Readable GoogleTest output for the records, so a failed comparison shows fields instead of bytes.
// Header-only: include it from a test that links tw_records. The token is printed, as test tokens are fake.

#include <ostream>

#include "records/config.h"
#include "records/records.h"

namespace tw {

inline std::ostream& operator<<(std::ostream& out, const std::optional<std::string>& value) {
    return value ? out << '"' << *value << '"' : out << "absent";
}

inline void PrintTo(const Config& config, std::ostream* out) {
    *out << "Config{base \"" << config.base << "\", token \"" << config.token << "\", deviceId \""
         << config.deviceId << "\", spaceId " << config.spaceId << '}';
}

inline void PrintTo(const Node& node, std::ostream* out) {
    *out << "Node{id \"" << node.id << "\", parent " << node.parent << ", kind \"" << node.kind
         << "\", name \"" << node.name << "\", size " << node.size << ", mime " << node.mime << ", rev "
         << node.rev << ", version " << node.version << ", seq " << node.seq << ", createdAt "
         << node.createdAt << ", updatedAt " << node.updatedAt << ", deleted "
         << (node.deleted ? "true" : "false") << '}';
}

inline void PrintTo(const Opened& opened, std::ostream* out) {
    *out << "Opened{";
    PrintTo(opened.node, out);
    *out << ", url \"" << opened.url << "\", expiresAt " << opened.expiresAt << '}';
}

}  // namespace tw
