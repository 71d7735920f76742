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

enum CreateItemOptions : std::uint64_t { mayAlreadyExist = 1 };

// What the host tells of the call it makes (which process asked, and so on). Nothing is read from it here.
struct Request {};

// The filename-collision error, carrying the item that already bears the name.
Error collisionError(ItemPointer existing);

using ItemCompletion = std::function<void(ItemPointer item, std::optional<Error> error)>;

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
    // The host is done with the extension.
    virtual void invalidate() = 0;
};

}  // namespace tw::host
