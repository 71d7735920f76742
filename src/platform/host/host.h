#pragma once
// The contract between a cloud-files host and a file-provider extension: the calls a host makes, the
// options it passes, and the errors it understands.
//
// Asynchronous calls return a progress object at once and call their completion handler exactly once, from
// any thread. Enumerators report to observers (enumeration.h).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/host/domain.h"
#include "platform/host/enumeration.h"
#include "platform/host/item.h"
#include "platform/progress.h"

namespace tw::host {

// Fields of an item that a modification changed.
enum ItemFields : std::uint64_t {
    contentsField = 1,
    filenameField = 2,
    parentItemIdentifierField = 4,
    lastUsedDateField = 8,
    tagDataField = 16,
    favoriteRankField = 32,
    creationDateField = 64,
    contentModificationDateField = 128,
    fileSystemFlagsField = 256,
    extendedAttributesField = 512,
};

// A set of ItemFields bits.
using ItemFieldSet = std::uint64_t;

enum CreateItemOptions : std::uint64_t { mayAlreadyExist = 1 };
// Neither is read by this extension; they exist so a host can say them.
enum ModifyItemOptions : std::uint64_t { mayAlreadyExistModification = 1 };
enum DeleteItemOptions : std::uint64_t { recursiveDeletion = 1 };

// What the host tells of the call it makes (which process asked, and so on). Nothing is read from it here.
struct Request {};

// The filename-collision error, carrying the item that already bears the name.
Error collisionError(ItemPointer existing);

using ItemCompletion = std::function<void(ItemPointer item, std::optional<Error> error)>;

// A run of bytes of a file: `length` bytes from `location`.
struct ByteRange {
    std::int64_t location = 0;
    std::int64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

// Options of a partial fetch and flags of its answer; none is read or set here.
using FetchContentsOptions = std::uint64_t;
using MaterializationFlags = std::uint64_t;

// A whole file's contents: the file (which the host owns from then on) and the item it holds, or the error.
using FetchCompletion = std::function<void(std::optional<std::filesystem::path> file, ItemPointer item,
                                           std::optional<Error> error)>;
// Part of a file's contents: a file that holds `range` at its true offsets (the host owns it), the item,
// flags; or no file, no item, the range (0, 0) and the error.
using PartialFetchCompletion =
    std::function<void(std::optional<std::filesystem::path> file, ItemPointer item, ByteRange range,
                       MaterializationFlags flags, std::optional<Error> error)>;

// The answer to a creation or a modification: the item as it now is, the changed fields not applied yet
// (the host hands them in again later), and whether the host must fetch the item's contents again; or no
// item, no fields, false and the error.
using ItemChangeCompletion = std::function<void(ItemPointer item, ItemFieldSet stillPendingFields,
                                                bool shouldFetchContent, std::optional<Error> error)>;
using DeleteCompletion = std::function<void(std::optional<Error> error)>;

// The calls a host makes on the extension of one domain. The host creates one per domain instance and
// calls it from any thread, several calls at once.
class ReplicatedExtension {
public:
    virtual ~ReplicatedExtension() = default;

    virtual std::shared_ptr<Progress> item(const ItemIdentifier& identifier, const Request& request,
                                           ItemCompletion completionHandler) = 0;
    // Synchronous and never fails; makes no request.
    virtual std::shared_ptr<Enumerator> enumerator(const ItemIdentifier& containerIdentifier,
                                                   const Request& request) = 0;
    // The whole contents of a file item. `version` is the one the host knows, if any.
    virtual std::shared_ptr<Progress> fetchContents(const ItemIdentifier& identifier,
                                                    const std::optional<ItemVersion>& version,
                                                    const Request& request,
                                                    FetchCompletion completionHandler) = 0;
    // A file that holds at least `minimalRange` of the item, aligned to `alignment` bytes.
    virtual std::shared_ptr<Progress> fetchPartialContents(const ItemIdentifier& identifier,
                                                           const ItemVersion& version, const Request& request,
                                                           ByteRange minimalRange, std::int64_t alignment,
                                                           FetchContentsOptions options,
                                                           PartialFetchCompletion completionHandler) = 0;

    // A new item in the domain, made after `itemTemplate` (its name, parent and, when it answers one,
    // content type), with the file `contents` for a file (none: empty).
    virtual std::shared_ptr<Progress> createItem(ItemPointer itemTemplate, ItemFieldSet fields,
                                                 std::optional<std::filesystem::path> contents,
                                                 std::uint64_t options, const Request& request,
                                                 ItemChangeCompletion completionHandler) = 0;
    // A change made locally to `item` on top of `baseVersion`: the fields in `changedFields` hold the new
    // values, `contents` the new contents when the contents changed.
    virtual std::shared_ptr<Progress> modifyItem(ItemPointer item, const ItemVersion& baseVersion,
                                                 ItemFieldSet changedFields,
                                                 std::optional<std::filesystem::path> contents,
                                                 std::uint64_t options, const Request& request,
                                                 ItemChangeCompletion completionHandler) = 0;
    virtual std::shared_ptr<Progress> deleteItem(const ItemIdentifier& identifier,
                                                 const ItemVersion& baseVersion, std::uint64_t options,
                                                 const Request& request,
                                                 DeleteCompletion completionHandler) = 0;
    // The host is done with the extension.
    virtual void invalidate() = 0;
};

}  // namespace tw::host
