#pragma once
// The host calls on an enumerator (a container's listing, the working set's anchor and change feed), each
// waited for within `limits` (limits.h), and the loops a host makes of them: every page of a listing, every
// batch of a catch-up with the feed, each guarded by a PageTrail. Each throws the error the call finished
// with as it came (a tw::Error), or what the wait throws when it gives the call up.

#include <functional>
#include <optional>
#include <vector>

#include "host_calls/limits.h"
#include "platform/host/host.h"

namespace tw::hostcalls {

// One page of a listing: its items in order, and the next page (absent at the end).
struct Page {
    std::vector<host::ItemPointer> items;
    std::optional<host::Page> next;
};
Page enumeratePage(host::Enumerator& enumerator, const host::Page& page, const Limits& limits = {});

// Every page from the initial page sorted by name, each page's items handed to `eachPage` as it comes.
// Throws NoProgress (page_trail.h) when the enumerator hands out a page it handed out before.
void enumerateAll(host::Enumerator& enumerator, const Limits& limits,
                  const std::function<void(std::vector<host::ItemPointer>)>& eachPage);
// Every item of the container, in order, from an enumerator of its own (invalidated at the end).
std::vector<host::ItemPointer> listContainer(host::ReplicatedExtension& extension,
                                             const host::ItemIdentifier& container,
                                             const Limits& limits = {});

// The enumerator's current anchor; absent when it has none to give.
std::optional<host::SyncAnchor> currentAnchor(host::Enumerator& enumerator, const Limits& limits = {});

// One batch of changes after an anchor: the updated items, the identifiers deleted, the anchor to ask from
// next, and whether more changes are waiting behind it.
struct ChangeBatch {
    std::vector<host::ItemPointer> updated;
    std::vector<host::ItemIdentifier> deleted;
    host::SyncAnchor anchor;
    bool moreComing = false;
};
ChangeBatch nextChanges(host::Enumerator& enumerator, const host::SyncAnchor& from,
                        const Limits& limits = {});

// Change batches from `from` on until one says no more are coming, each handed to `eachBatch` as it comes
// (so a failure later loses none); returns the last batch's anchor. Throws NoProgress when a batch
// announces more with the anchor it was asked from, or with one this catch-up has handed out before.
host::SyncAnchor catchUp(host::Enumerator& enumerator, host::SyncAnchor from, const Limits& limits,
                         const std::function<void(const ChangeBatch&)>& eachBatch);

}  // namespace tw::hostcalls
