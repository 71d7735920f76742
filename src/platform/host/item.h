#pragma once
// What a host knows of an item: identifiers, versions, capabilities and the properties it reads.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/content_type.h"

namespace tw::host {

// An item's identifier, as the host keeps it. The three containers have fixed ones.
using ItemIdentifier = std::string;
inline const ItemIdentifier rootContainer = "NSFileProviderRootContainerItemIdentifier";
inline const ItemIdentifier workingSet = "NSFileProviderWorkingSetContainerItemIdentifier";
inline const ItemIdentifier trashContainer = "NSFileProviderTrashContainerItemIdentifier";

// Two opaque byte strings: one changes with the content, the other with the metadata.
struct ItemVersion {
    std::string contentVersion;
    std::string metadataVersion;
    bool operator==(const ItemVersion&) const = default;
};

// Capability bits. For a folder the host reads bits 1 and 2 as "may enumerate" and "may add sub-items".
enum Capabilities : std::uint64_t {
    allowsReading = 1,
    allowsWriting = 2,
    allowsReparenting = 4,
    allowsRenaming = 8,
    allowsTrashing = 16,
    allowsDeleting = 32,
    allowsEvicting = 64,
    allowsContentEnumerating = allowsReading,
    allowsAddingSubItems = allowsWriting,
};

// A point in time, in seconds since 1970-01-01T00:00:00Z (fractional).
struct Date {
    double secondsSince1970 = 0;
    bool operator==(const Date&) const = default;
};

// An item as the host reads it. Items the extension hands out answer every property; items the host hands
// in (templates of new items) may have no content type. Implementations are immutable and thread-safe.
class Item {
public:
    virtual ~Item() = default;
    virtual ItemIdentifier itemIdentifier() const = 0;
    virtual ItemIdentifier parentItemIdentifier() const = 0;
    virtual std::string filename() const = 0;
    // Absent when the item does not answer to a content type.
    virtual std::optional<ContentType> contentType() const { return std::nullopt; }
    virtual std::uint64_t capabilities() const { return allowsReading; }
    virtual ItemVersion itemVersion() const { return {}; }
    virtual std::optional<std::int64_t> documentSize() const { return std::nullopt; }
    virtual std::optional<Date> creationDate() const { return std::nullopt; }
    virtual std::optional<Date> contentModificationDate() const { return std::nullopt; }
};

using ItemPointer = std::shared_ptr<const Item>;

}  // namespace tw::host
