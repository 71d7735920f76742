#pragma once
// Observers that let the command-line host wait for one enumerator call, as a host waits for its
// observer's finishing call.

#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <vector>

#include "platform/error.h"
#include "platform/host/enumeration.h"

namespace tw::cli {

// One page of an enumeration: its items and the next page (absent at the end), or the error.
struct PageResult {
    std::vector<host::ItemPointer> items;
    std::optional<host::Page> nextPage;
};

class PageObserver : public host::EnumerationObserver {
public:
    void didEnumerateItems(std::vector<host::ItemPointer> items) override;
    void finishEnumeratingUpToPage(std::optional<host::Page> nextPage) override;
    void finishEnumeratingWithError(Error error) override;
    // Waits for the finishing call; throws the error it carried.
    PageResult wait() { return result_.get_future().get(); }

private:
    std::vector<host::ItemPointer> items_;
    std::promise<PageResult> result_;
};

struct ChangeBatch {
    std::vector<host::ItemPointer> updated;
    host::SyncAnchor anchor;
    bool moreComing = false;
};

class ChangeBatchObserver : public host::ChangeObserver {
public:
    void didUpdateItems(std::vector<host::ItemPointer> items) override;
    void didDeleteItems(std::vector<host::ItemIdentifier>) override {}
    void finishEnumeratingChanges(host::SyncAnchor anchor, bool moreComing) override;
    void finishEnumeratingWithError(Error error) override;
    std::future<ChangeBatch> future() { return result_.get_future(); }

private:
    std::vector<host::ItemPointer> updated_;
    std::promise<ChangeBatch> result_;
};

// The enumerator's current anchor, waited for; absent when it has none.
std::optional<host::SyncAnchor> currentAnchor(host::Enumerator& enumerator);

// Says when a wait should be given up (checked every few milliseconds); the default never does.
using StopCondition = std::function<bool()>;

// One change batch from `anchor`, waited for; nullopt when `stop` ended the wait first (the batch's task
// then runs to its end unobserved).
std::optional<ChangeBatch> nextChanges(host::Enumerator& enumerator, const host::SyncAnchor& anchor,
                                       const StopCondition& stop = {});

// Throws an Error (domain "tidewright", code 1) when `batch`, asked for from `from`, announces more changes
// without moving past it: a service answering so would be asked again and again, for ever.
void requireProgress(const host::SyncAnchor& from, const ChangeBatch& batch);

// The pages one listing has followed. A host that follows every next page would go round for ever when the
// service hands out a cursor it has handed out before (or, in the working set, whose pages are feed
// positions, one that does not move forward); follow() refuses such a page instead.
class PageTrail {
public:
    explicit PageTrail(bool feedPositions) : feedPositions_(feedPositions) {}
    // Throws an Error (domain "tidewright", code 1) when `next` cannot lead anywhere new.
    void follow(const host::Page& next);

private:
    bool feedPositions_;
    std::int64_t position_ = 0;      // the working set's listing starts at position 0
    std::set<host::Page> followed_;  // folder cursors
};

}  // namespace tw::cli
