#pragma once
// The working set: the service's change feed as the host's enumeration, sync anchors and change batches.
// Anchors and pages are the decimal text of a feed position; the enumerator keeps no state between calls.

#include <cstdint>
#include <memory>

#include "platform/host/enumeration.h"
#include "provider/extension.h"

namespace tw {

// The feed position an anchor or page names: an optional '+' or '-' and decimal digits, nothing else,
// within the signed 64-bit range. Anything else reads as 0 (the whole feed again). Never fails.
std::int64_t seqOf(const host::SyncAnchor& anchor);

// The anchor (or page) naming a position.
host::SyncAnchor anchorFor(std::int64_t position);

class WorkingSetEnumerator : public host::Enumerator {
public:
    // What the service is asked for at once: a page of the feed, and the probe for the newest position.
    static constexpr std::int64_t pageLimit = 500;
    static constexpr std::int64_t latestProbe = std::int64_t{1} << 50;

    explicit WorkingSetEnumerator(std::shared_ptr<const FileProviderExtension> ext) : ext_(std::move(ext)) {}

    // Replays the feed from the page's position: every changed node (deleted ones under the trash), with
    // the next page while more follow.
    void enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page page) override;
    // One batch of changes after the anchor's position; deleted nodes come as updated items in the trash.
    void enumerateChanges(std::shared_ptr<host::ChangeObserver> observer, host::SyncAnchor anchor) override;
    // The newest position, or none when unconfigured or when the service cannot tell.
    void currentSyncAnchor(std::function<void(std::optional<host::SyncAnchor>)> completionHandler) override;
    void invalidate() override {}

private:
    std::shared_ptr<const FileProviderExtension> ext_;
};

}  // namespace tw
