#pragma once
// Names as the mount shows them, and the freedesktop.org trash records it generates.

#include <optional>
#include <string>
#include <vector>

#include "platform/host/item.h"

namespace tw::mount {

// The name Linux can hold for a name the service holds: "/" becomes U+2215 (∕), NUL U+2400 (␀), the names
// "." and ".." U+2024 (․) and U+2025 (‥), the empty name U+2400. Every other name is kept as it is.
std::string displayName(const std::string& serviceName);

// One item of a folder that is to be shown under a name of its own.
struct NameClaim {
    std::string name;  // as the service holds it
    std::optional<host::Date> created;
    host::ItemIdentifier identifier;
};

// The names a folder's items are shown by, in the order of `claims`: each is displayName(name), made unique
// within the folder. Of the items whose shown names would be the same, the first created (then the one with
// the shorter, then the lower identifier; an item without a date after those with one) keeps it; the others
// get " (2)", " (3)"... before the extension, skipping names that another item holds. The same claims give
// the same names whatever their order, so a name lasts across listings and restarts.
std::vector<std::string> uniqueNames(const std::vector<NameClaim>& claims);

// "name (k).ext": the extension is what follows the last dot, unless that dot begins the name.
std::string numberedName(const std::string& name, int k);

// "[Trash Info]\nPath=<path>\nDeletionDate=<local time YYYY-MM-DDThh:mm:ss>\n", the path percent-encoded
// (every byte but an unreserved character or "/" written %XX); no DeletionDate line without a date.
std::string trashInfo(const std::string& relativePath, const std::optional<host::Date>& deleted);

}  // namespace tw::mount
