#pragma once
// Readable GoogleTest output for the records, so a failed comparison shows fields instead of bytes.
// Header-only: include it from a test that links tw_records. The token is printed, as test tokens are fake.

#include <ostream>

#include "records/config.h"
#include "records/records.h"

namespace tw {

namespace test {

template <class T>
void printOptional(std::ostream& out, const std::optional<T>& value) {
    if (value) {
        out << '"' << *value << '"';
    } else {
        out << "absent";
    }
}

}  // namespace test

inline void PrintTo(const Config& config, std::ostream* out) {
    *out << "Config{base \"" << config.base << "\", token \"" << config.token << "\", deviceId \""
         << config.deviceId << "\", spaceId ";
    test::printOptional(*out, config.spaceId);
    *out << '}';
}

inline void PrintTo(const Node& node, std::ostream* out) {
    *out << "Node{id \"" << node.id << "\", parent ";
    test::printOptional(*out, node.parent);
    *out << ", kind \"" << node.kind << "\", name \"" << node.name << "\", size " << node.size << ", mime ";
    test::printOptional(*out, node.mime);
    *out << ", rev ";
    test::printOptional(*out, node.rev);
    *out << ", version " << node.version << ", seq " << node.seq << ", createdAt " << node.createdAt
         << ", updatedAt " << node.updatedAt << ", deleted " << (node.deleted ? "true" : "false") << '}';
}

inline void PrintTo(const Opened& opened, std::ostream* out) {
    *out << "Opened{";
    PrintTo(opened.node, out);
    *out << ", url \"" << opened.url << "\", expiresAt " << opened.expiresAt << '}';
}

}  // namespace tw
