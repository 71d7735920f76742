#pragma once
// Follows the working set: from the last anchor, asks the extension for change batches every poll interval
// until none are coming, applies each to the item catalog and hands what the catalog returns to the caller,
// and keeps the anchor and the changed records in the state store, so that a restart goes on from there.
//
// One thread of its own, from start() to stop(). Whether changes are followed is logged when it changes
// (once when they stop being followed and why, once when they are followed again), not at every round.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "mount/item_catalog.h"
#include "mount/state_store.h"

namespace tw::mount {

class ChangeTracker {
public:
    // Told each batch's outcome (and the names to forget when listings are dropped), on the tracker's
    // thread, before the batch's records are saved.
    using Deliver = std::function<void(const AppliedChanges&)>;
    using Synchronized = std::function<void(std::chrono::system_clock::time_point)>;

    // `extension`, `catalog` and `store` (none: nothing is saved) must outlive the tracker. `anchor`: where
    // the saved state left the feed (none: the current anchor is asked for first). `deadline` bounds each
    // wait for the extension.
    ChangeTracker(host::ReplicatedExtension& extension, ItemCatalog& catalog, StateStore* store,
                  std::optional<host::SyncAnchor> anchor, std::chrono::milliseconds pollInterval,
                  std::chrono::milliseconds deadline, Deliver deliver);
    ~ChangeTracker();
    ChangeTracker(const ChangeTracker&) = delete;
    ChangeTracker& operator=(const ChangeTracker&) = delete;

    void start();
    // Ends the round under way (its waits are cancelled) and joins the thread. Idempotent.
    void stop();

    // Called on the tracker's thread after each round that reached the end of the feed, with the time it
    // ended.
    void onSynchronized(Synchronized callback);
    // Whether the last round followed the feed (true before the first).
    bool following() const { return following_; }

private:
    void track(std::stop_token stop);
    void followChanges(host::Enumerator& workingSet, std::stop_token stop);
    void save(const std::vector<ItemRecord>& updated, std::vector<host::ItemIdentifier> removed);
    void startOver();
    // Asks the service for each item a batch left unsure of (changed here since it was asked for), so that
    // the newer of the two is kept.
    void lookAgain(const std::vector<host::ItemIdentifier>& unsure, std::stop_token stop);
    // The following state, logged when it changes.
    void failed(const std::string& line);
    void followed();
    Deadline deadline() const { return std::chrono::steady_clock::now() + deadline_; }

    host::ReplicatedExtension& extension_;
    ItemCatalog& catalog_;
    StateStore* store_;
    const std::chrono::milliseconds pollInterval_;
    const std::chrono::milliseconds deadline_;
    const Deliver deliver_;

    // The tracker's thread only (and the constructor).
    std::optional<host::SyncAnchor> anchor_;
    std::optional<std::string> failure_;  // the line logged when changes stopped being followed

    std::atomic<bool> following_{true};
    std::mutex callbackMutex_;
    Synchronized onSynchronized_;

    std::mutex wakeMutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;
};

}  // namespace tw::mount
