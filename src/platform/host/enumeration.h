#pragma once
// Enumeration between host and extension: pages, sync anchors, enumerators and the observers they report to.
//
// An enumerator answers each call on a task of its own and reports to the observer from that task: items
// first, then exactly one finishing call.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/host/item.h"

namespace tw::host {

// Opaque bytes that name a page of an enumeration.
using Page = std::string;
// Opaque bytes that name a point of a container's change history.
using SyncAnchor = std::string;

// The two pages an enumeration starts from. NUL bytes keep them apart from any page an extension hands out.
inline const Page initialPageSortedByName = std::string("\0initialPageSortedByName", 24);
inline const Page initialPageSortedByDate = std::string("\0initialPageSortedByDate", 24);

inline bool isInitialPage(const Page& page) {
    return page == initialPageSortedByName || page == initialPageSortedByDate;
}

class EnumerationObserver {
public:
    virtual ~EnumerationObserver() = default;
    virtual void didEnumerateItems(std::vector<ItemPointer> items) = 0;
    // `nextPage` absent: the enumeration is complete.
    virtual void finishEnumeratingUpToPage(std::optional<Page> nextPage) = 0;
    virtual void finishEnumeratingWithError(Error error) = 0;
};

class ChangeObserver {
public:
    virtual ~ChangeObserver() = default;
    virtual void didUpdateItems(std::vector<ItemPointer> items) = 0;
    virtual void didDeleteItems(std::vector<ItemIdentifier> identifiers) = 0;
    virtual void finishEnumeratingChanges(SyncAnchor anchor, bool moreComing) = 0;
    virtual void finishEnumeratingWithError(Error error) = 0;
};

class Enumerator {
public:
    virtual ~Enumerator() = default;
    virtual void enumerateItems(std::shared_ptr<EnumerationObserver> observer, Page page) = 0;
    virtual void enumerateChanges(std::shared_ptr<ChangeObserver> observer, SyncAnchor anchor) = 0;
    // Called exactly once, with the anchor or with none.
    virtual void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completionHandler) = 0;
    virtual void invalidate() = 0;
};

}  // namespace tw::host
