#pragma once
// What the mount remembers of one item between the extension's answers: enough to answer lookup, getattr
// and readdir from memory, and to be kept on disk across restarts.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/host/item.h"

namespace tw::mount {

struct ItemRecord {
    host::ItemIdentifier identifier;
    host::ItemIdentifier parent;
    std::string name;  // as the service holds it (may contain bytes Linux names cannot)
    bool isFolder = false;
    std::int64_t size = 0;
    std::optional<host::Date> created;
    std::optional<host::Date> modified;
    host::ItemVersion version;
    bool isLink = false;  // a symbolic link made here, which the service cannot keep: never sent
    bool operator==(const ItemRecord&) const = default;
};

// The record of an item the extension handed out.
ItemRecord recordFor(const host::Item& item);
// Now, as the dates of records hold it.
host::Date currentDate();

// An item that answers what `record` holds (for a change the service answered, applied as the feed's).
host::ItemPointer itemFor(ItemRecord record);

}  // namespace tw::mount
