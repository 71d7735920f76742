#include "mount/host_calls.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>

namespace tw::mount {
namespace {

// The answer of one host call, filled in by whichever thread completes it.
template <typename T>
struct Outcome {
    std::mutex mutex;
    std::condition_variable_any changed;
    std::optional<T> value;
    std::exception_ptr error;
    bool abandoned = false;  // the waiter gave up: whatever comes later is the completing side's to drop

    // False when the waiter has given up (the value is not taken).
    bool set(T answer) {
        {
            std::scoped_lock lock(mutex);
            if (abandoned) return false;
            value = std::move(answer);
        }
        changed.notify_all();
        return true;
    }
    void fail(std::exception_ptr failure) {
        {
            std::scoped_lock lock(mutex);
            error = std::move(failure);
        }
        changed.notify_all();
    }
    // Calls `giveUp` (with no lock held) before throwing on a stop or at the deadline.
    T wait(std::stop_token stop, Deadline deadline, const std::function<void()>& giveUp = {}) {
        std::unique_lock lock(mutex);
        const bool answered = changed.wait_until(lock, stop, deadline, [this] { return value || error; });
        if (!answered) {
            abandoned = true;
            lock.unlock();
            if (giveUp) giveUp();
            if (stop.stop_requested()) throw userCancelledError();
            throw std::system_error(ETIMEDOUT, std::generic_category(), "no answer before the deadline");
        }
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};

struct Page {
    std::vector<host::ItemPointer> items;
    std::optional<host::Page> next;
};

class PageWaiter : public host::EnumerationObserver {
public:
    Outcome<Page> outcome;
    void didEnumerateItems(std::vector<host::ItemPointer> items) override {
        std::scoped_lock lock(mutex_);
        for (auto& item : items)
            items_.push_back(std::move(item));
    }
    void finishEnumeratingUpToPage(std::optional<host::Page> nextPage) override {
        std::vector<host::ItemPointer> items;
        {
            std::scoped_lock lock(mutex_);
            items.swap(items_);
        }
        outcome.set(Page{std::move(items), std::move(nextPage)});
    }
    void finishEnumeratingWithError(Error error) override { outcome.fail(std::make_exception_ptr(error)); }

private:
    std::mutex mutex_;
    std::vector<host::ItemPointer> items_;
};

class ChangeWaiter : public host::ChangeObserver {
public:
    Outcome<ChangeBatch> outcome;
    void didUpdateItems(std::vector<host::ItemPointer> items) override {
        std::scoped_lock lock(mutex_);
        for (auto& item : items)
            batch_.updated.push_back(std::move(item));
    }
    void didDeleteItems(std::vector<host::ItemIdentifier> identifiers) override {
        std::scoped_lock lock(mutex_);
        for (auto& identifier : identifiers)
            batch_.deleted.push_back(std::move(identifier));
    }
    void finishEnumeratingChanges(host::SyncAnchor anchor, bool moreComing) override {
        ChangeBatch batch;
        {
            std::scoped_lock lock(mutex_);
            batch = std::move(batch_);
        }
        batch.anchor = std::move(anchor);
        batch.moreComing = moreComing;
        outcome.set(std::move(batch));
    }
    void finishEnumeratingWithError(Error error) override { outcome.fail(std::make_exception_ptr(error)); }

private:
    std::mutex mutex_;
    ChangeBatch batch_;
};

}  // namespace

std::vector<host::ItemPointer> listContainer(host::ReplicatedExtension& extension,
                                             const host::ItemIdentifier& container, Deadline deadline) {
    auto enumerator = extension.enumerator(container, host::Request{});
    std::vector<host::ItemPointer> items;
    std::set<host::Page> followed;
    host::Page page = host::initialPageSortedByName;
    for (;;) {
        auto waiter = std::make_shared<PageWaiter>();
        enumerator->enumerateItems(waiter, page);
        auto answer = waiter->outcome.wait({}, deadline);
        for (auto& item : answer.items)
            items.push_back(std::move(item));
        if (!answer.next) break;
        if (!followed.insert(*answer.next).second)
            throw Error("tidewright", 1, {}, "the listing handed out a page it had handed out before");
        page = std::move(*answer.next);
    }
    enumerator->invalidate();
    return items;
}

ChangeBatch nextChanges(host::Enumerator& workingSet, const host::SyncAnchor& anchor, std::stop_token stop,
                        Deadline deadline) {
    auto waiter = std::make_shared<ChangeWaiter>();
    workingSet.enumerateChanges(waiter, anchor);
    return waiter->outcome.wait(stop, deadline);
}

std::optional<host::SyncAnchor> currentAnchor(host::Enumerator& workingSet, std::stop_token stop,
                                              Deadline deadline) {
    auto outcome = std::make_shared<Outcome<std::optional<host::SyncAnchor>>>();
    workingSet.currentSyncAnchor([outcome](std::optional<host::SyncAnchor> anchor) { outcome->set(anchor); });
    return outcome->wait(stop, deadline);
}

FetchedRange fetchRange(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                        const host::ItemVersion& version, host::ByteRange wanted, std::stop_token stop,
                        Deadline deadline) {
    constexpr std::int64_t alignment = 4096;
    auto outcome = std::make_shared<Outcome<FetchedRange>>();
    auto progress = extension.fetchPartialContents(
        identifier, version, host::Request{}, wanted, alignment, 0,
        [outcome](std::optional<std::filesystem::path> file, host::ItemPointer item, host::ByteRange range,
                  host::MaterializationFlags, std::optional<Error> error) {
            if (error) return outcome->fail(std::make_exception_ptr(*error));
            if (!outcome->set(FetchedRange{Delivery{*file, range}, std::move(item)})) {
                std::error_code ignored;
                std::filesystem::remove(*file, ignored);  // nobody will take it over
            }
        });
    return outcome->wait(stop, deadline, [progress] { progress->cancel(); });
}

}  // namespace tw::mount
