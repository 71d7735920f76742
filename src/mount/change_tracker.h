#pragma once
// Follows the working set: from the last anchor, asks the extension for change batches every poll interval
// until none are coming, applies each to the item catalog and hands what the catalog returns to the caller,
// and keeps the anchor and the changed records in the state store, so that a restart goes on from there.
//
// One thread of its own, from start() to stop(). Whether changes are followed is logged when it changes
// (once when they stop being followed and why, once when they are followed again), not at every round; a
// service that cannot be reached is the Reachability's to log. While it cannot be reached, the rounds are
// its probes: 1 s apart, then twice as long each time, at most 60 s, until one is answered.

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

    // `extension`, `catalog`, `store` (none: nothing is saved) and `reachability` (none: the rounds keep to
    // the poll interval) must outlive the tracker. `anchor`: where the saved state left the feed (none: the
    // current anchor is asked for first). `deadline` bounds each wait for the extension.
    ChangeTracker(host::ReplicatedExtension& extension, ItemCatalog& catalog, StateStore* store,
                  std::optional<host::SyncAnchor> anchor, std::chrono::milliseconds pollInterval,
                  std::chrono::milliseconds deadline, Deliver deliver, Reachability* reachability = nullptr);
    ~ChangeTracker();
    ChangeTracker(const ChangeTracker&) = delete;
    ChangeTracker& operator=(const ChangeTracker&) = delete;

    void start();
    // Ends the round under way (its waits are cancelled), joins the thread, and saves the listings kept since
    // the last round. Idempotent.
    void stop();
    // The next round starts now (the service is back: it catches up at once).
    void wake();

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
    // How long to wait for the next round: the poll interval, or the next probe's pause while offline.
    std::chrono::milliseconds pause();
    // Asks the service for each item a batch left unsure of (changed here since it was asked for), so that
    // the newer of the two is kept.
    void lookAgain(const std::vector<host::ItemIdentifier>& unsure, std::stop_token stop);
    // A call of the round's was answered (the service is reachable).
    void answered();
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
    Reachability* const reachability_;

    // The tracker's thread only (and the constructor, and stop() once it is joined).
    std::optional<host::SyncAnchor> anchor_;
    std::optional<std::string> failure_;       // the line logged when changes stopped being followed
    std::chrono::milliseconds probePause_{0};  // the last pause while offline (0: online)

    std::atomic<bool> following_{true};
    std::mutex callbackMutex_;
    Synchronized onSynchronized_;

    std::mutex wakeMutex_;
    std::condition_variable_any wake_;
    bool woken_ = false;  // under wakeMutex_
    std::jthread thread_;
};

}  // namespace tw::mount
