#pragma once
// Observers that let the command-line host wait for one enumerator call, as a host waits for its
// observer's finishing call.

#include <functional>
#include <future>
#include <optional>
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

}  // namespace tw::cli
