#pragma once
// Names as the mount shows them, and the freedesktop.org trash records it generates.

#include <optional>
#include <string>

#include "platform/host/item.h"

namespace tw::mount {

// The name Linux can hold for a name the service holds: "/" becomes U+2215 (∕), NUL U+2400 (␀), the names
// "." and ".." U+2024 (․) and U+2025 (‥), the empty name U+2400. Every other name is kept as it is.
std::string displayName(const std::string& serviceName);

// "[Trash Info]\nPath=<path>\nDeletionDate=<local time YYYY-MM-DDThh:mm:ss>\n", the path percent-encoded
// (every byte but an unreserved character or "/" written %XX); no DeletionDate line without a date.
std::string trashInfo(const std::string& relativePath, const std::optional<host::Date>& deleted);

}  // namespace tw::mount
