#pragma once
// The mount's host calls, as the mount's filesystem names them: each one forwards to the host-call library
// (host_calls/), which waits for it with a deadline (a request handler never waits longer) and, where the
// kernel can interrupt the request, a stop token. A call given up on runs to its end unobserved; a file it
// then delivers is deleted.

#include <optional>
#include <stop_token>
#include <vector>

#include "host_calls/enumeration_calls.h"
#include "host_calls/limits.h"
#include "mount/content_cache.h"
#include "platform/host/host.h"

namespace tw::mount {

using Deadline = hostcalls::Deadline;
using ChangeBatch = hostcalls::ChangeBatch;

// What every wait below throws when it gives up: std::system_error(ETIMEDOUT) at the deadline, the
// user-cancelled error (tw::Error) when `stop` is requested. The host's own errors are thrown as they are.

// Every page of the container, in order. Throws an Error (domain "tidewright", code 1) when the enumerator
// hands out a page it handed out before, which would go round for ever.
std::vector<host::ItemPointer> listContainer(host::ReplicatedExtension& extension,
                                             const host::ItemIdentifier& container, Deadline deadline);

ChangeBatch nextChanges(host::Enumerator& workingSet, const host::SyncAnchor& anchor, std::stop_token stop,
                        Deadline deadline);
// Absent when the extension has none to give.
std::optional<host::SyncAnchor> currentAnchor(host::Enumerator& workingSet, std::stop_token stop,
                                              Deadline deadline);

struct FetchedRange {
    Delivery delivery;
    host::ItemPointer item;  // the item as the fetch found it (its content version may be newer)
};

// One fetchPartialContents of `wanted` aligned to 4,096 bytes; giving up cancels the fetch's progress.
FetchedRange fetchRange(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                        const host::ItemVersion& version, host::ByteRange wanted, std::stop_token stop,
                        Deadline deadline);

}  // namespace tw::mount
