#pragma once
// The host calls on items and their contents, each made on the extension and waited for within `limits`
// (limits.h). Each returns what the call completed with, or throws the error it completed with as it came
// (a tw::Error), or what the wait throws when it gives the call up. Safe from any thread; every call is
// independent of the others.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "host_calls/limits.h"
#include "platform/host/host.h"

namespace tw::hostcalls {

host::ItemPointer item(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                       const Limits& limits = {});

// A file that a whole-file fetch delivered, which belongs to the host from then on (to move away or to
// delete), and the item it holds.
struct Delivered {
    std::filesystem::path file;
    host::ItemPointer item;
};
Delivered fetchContents(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                        const std::optional<host::ItemVersion>& version, const Limits& limits = {});

// A file that a partial fetch delivered (the host's, as above), holding `range` at its true offsets, and
// the item as the fetch found it (its content version may be newer than the one asked for).
struct DeliveredRange {
    std::filesystem::path file;
    host::ItemPointer item;
    host::ByteRange range;
};
DeliveredRange fetchPartialContents(host::ReplicatedExtension& extension,
                                    const host::ItemIdentifier& identifier, const host::ItemVersion& version,
                                    host::ByteRange minimalRange, std::int64_t alignment,
                                    const Limits& limits = {});

// The answer to a creation or a modification: the item as it now is, the changed fields not applied yet,
// and whether the host must fetch the item's contents again.
struct Changed {
    host::ItemPointer item;
    host::ItemFieldSet stillPendingFields = 0;
    bool shouldFetchContent = false;
};
// `itemTemplate` and `fields` as a TemplateItem gives them (template_item.h).
Changed createItem(host::ReplicatedExtension& extension, host::ItemPointer itemTemplate,
                   host::ItemFieldSet fields, std::optional<std::filesystem::path> contents,
                   std::uint64_t options, const Limits& limits = {});
Changed modifyItem(host::ReplicatedExtension& extension, host::ItemPointer item,
                   const host::ItemVersion& baseVersion, host::ItemFieldSet changedFields,
                   std::optional<std::filesystem::path> contents, std::uint64_t options,
                   const Limits& limits = {});
void deleteItem(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                const host::ItemVersion& baseVersion, std::uint64_t options, const Limits& limits = {});

}  // namespace tw::hostcalls
