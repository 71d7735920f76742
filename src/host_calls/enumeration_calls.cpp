#include "host_calls/enumeration_calls.h"

#include "host_calls/answer.h"
#include "host_calls/page_trail.h"

namespace tw::hostcalls {
namespace {

// An observer's reports gathered into one answer. Items reported after the finishing call break the
// contract as a second finishing call does.
class PageWaiter : public host::EnumerationObserver {
public:
    Answer<Page> answer{"enumerateItems"};

    void didEnumerateItems(std::vector<host::ItemPointer> items) override {
        std::scoped_lock lock(mutex_);
        if (finished_) completedTwice("enumerateItems (items after its finishing call)");
        items_.insert(items_.end(), std::make_move_iterator(items.begin()),
                      std::make_move_iterator(items.end()));
    }
    void finishEnumeratingUpToPage(std::optional<host::Page> nextPage) override {
        answer.succeed(Page{finish(), std::move(nextPage)});
    }
    void finishEnumeratingWithError(Error error) override {
        finish();
        answer.fail(std::move(error));
    }

private:
    std::vector<host::ItemPointer> finish() {
        std::scoped_lock lock(mutex_);
        finished_ = true;
        return std::move(items_);
    }
    std::mutex mutex_;
    bool finished_ = false;
    std::vector<host::ItemPointer> items_;
};

class ChangeWaiter : public host::ChangeObserver {
public:
    Answer<ChangeBatch> answer{"enumerateChanges"};

    void didUpdateItems(std::vector<host::ItemPointer> items) override {
        std::scoped_lock lock(mutex_);
        if (finished_) completedTwice("enumerateChanges (items after its finishing call)");
        batch_.updated.insert(batch_.updated.end(), std::make_move_iterator(items.begin()),
                              std::make_move_iterator(items.end()));
    }
    void didDeleteItems(std::vector<host::ItemIdentifier> identifiers) override {
        std::scoped_lock lock(mutex_);
        if (finished_) completedTwice("enumerateChanges (deletions after its finishing call)");
        batch_.deleted.insert(batch_.deleted.end(), std::make_move_iterator(identifiers.begin()),
                              std::make_move_iterator(identifiers.end()));
    }
    void finishEnumeratingChanges(host::SyncAnchor anchor, bool moreComing) override {
        auto batch = finish();
        batch.anchor = std::move(anchor);
        batch.moreComing = moreComing;
        answer.succeed(std::move(batch));
    }
    void finishEnumeratingWithError(Error error) override {
        finish();
        answer.fail(std::move(error));
    }

private:
    ChangeBatch finish() {
        std::scoped_lock lock(mutex_);
        finished_ = true;
        return std::move(batch_);
    }
    std::mutex mutex_;
    bool finished_ = false;
    ChangeBatch batch_;
};

}  // namespace

Page enumeratePage(host::Enumerator& enumerator, const host::Page& page, const Limits& limits) {
    requireNotStopped(limits);
    auto waiter = std::make_shared<PageWaiter>();
    enumerator.enumerateItems(waiter, page);
    return waiter->answer.wait(limits);
}

void enumerateAll(host::Enumerator& enumerator, const Limits& limits,
                  const std::function<void(std::vector<host::ItemPointer>)>& eachPage) {
    PageTrail trail("listing cursor");
    host::Page page = host::initialPageSortedByName;
    for (;;) {
        auto answer = enumeratePage(enumerator, page, limits);
        eachPage(std::move(answer.items));
        if (!answer.next) return;
        trail.follow(*answer.next);
        page = std::move(*answer.next);
    }
}

std::vector<host::ItemPointer> listContainer(host::ReplicatedExtension& extension,
                                             const host::ItemIdentifier& container, const Limits& limits) {
    auto enumerator = extension.enumerator(container, host::Request{});
    std::vector<host::ItemPointer> items;
    enumerateAll(*enumerator, limits, [&items](std::vector<host::ItemPointer> page) {
        items.insert(items.end(), std::make_move_iterator(page.begin()), std::make_move_iterator(page.end()));
    });
    enumerator->invalidate();
    return items;
}

std::optional<host::SyncAnchor> currentAnchor(host::Enumerator& enumerator, const Limits& limits) {
    requireNotStopped(limits);
    auto answer = std::make_shared<Answer<std::optional<host::SyncAnchor>>>("currentSyncAnchor");
    enumerator.currentSyncAnchor(
        [answer](std::optional<host::SyncAnchor> anchor) { answer->succeed(std::move(anchor)); });
    return answer->wait(limits);
}

ChangeBatch nextChanges(host::Enumerator& enumerator, const host::SyncAnchor& from, const Limits& limits) {
    requireNotStopped(limits);
    auto waiter = std::make_shared<ChangeWaiter>();
    enumerator.enumerateChanges(waiter, from);
    return waiter->answer.wait(limits);
}

host::SyncAnchor catchUp(host::Enumerator& enumerator, host::SyncAnchor from, const Limits& limits,
                         const std::function<void(const ChangeBatch&)>& eachBatch) {
    PageTrail trail("change anchor");
    trail.follow(from);
    for (;;) {
        auto batch = nextChanges(enumerator, from, limits);
        requireProgress(from, batch.anchor, batch.moreComing);
        if (batch.moreComing) trail.follow(batch.anchor);
        eachBatch(batch);
        from = std::move(batch.anchor);
        if (!batch.moreComing) return from;
    }
}

}  // namespace tw::hostcalls
