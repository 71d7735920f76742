#include "mount/host_calls.h"

#include "host_calls/item_calls.h"

namespace tw::mount {

std::vector<host::ItemPointer> listContainer(host::ReplicatedExtension& extension,
                                             const host::ItemIdentifier& container, Deadline deadline) {
    return hostcalls::listContainer(extension, container, {.deadline = deadline});
}

ChangeBatch nextChanges(host::Enumerator& workingSet, const host::SyncAnchor& anchor, std::stop_token stop,
                        Deadline deadline) {
    return hostcalls::nextChanges(workingSet, anchor, {.stop = std::move(stop), .deadline = deadline});
}

std::optional<host::SyncAnchor> currentAnchor(host::Enumerator& workingSet, std::stop_token stop,
                                              Deadline deadline) {
    return hostcalls::currentAnchor(workingSet, {.stop = std::move(stop), .deadline = deadline});
}

FetchedRange fetchRange(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                        const host::ItemVersion& version, host::ByteRange wanted, std::stop_token stop,
                        Deadline deadline) {
    constexpr std::int64_t alignment = 4096;
    auto fetched = hostcalls::fetchPartialContents(extension, identifier, version, wanted, alignment,
                                                   {.stop = std::move(stop), .deadline = deadline});
    return {Delivery{std::move(fetched.file), fetched.range}, std::move(fetched.item)};
}

}  // namespace tw::mount
