#include "mount/change_tracker.h"

#include "host_calls/item_calls.h"
#include "mount/mount_log.h"

namespace tw::mount {

ChangeTracker::ChangeTracker(host::ReplicatedExtension& extension, ItemCatalog& catalog, StateStore* store,
                             std::optional<host::SyncAnchor> anchor, std::chrono::milliseconds pollInterval,
                             std::chrono::milliseconds deadline, Deliver deliver, Reachability* reachability)
    : extension_(extension),
      catalog_(catalog),
      store_(store),
      pollInterval_(pollInterval),
      deadline_(deadline),
      deliver_(std::move(deliver)),
      reachability_(reachability),
      anchor_(std::move(anchor)) {}

ChangeTracker::~ChangeTracker() {
    stop();
}

void ChangeTracker::start() {
    thread_ = std::jthread([this](std::stop_token stop) { track(stop); });
}

void ChangeTracker::stop() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    wake_.notify_all();
    thread_.join();
    save({}, {});  // the listings made since the last round: a restart lists them without the service
}

void ChangeTracker::wake() {
    {
        std::scoped_lock lock(wakeMutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

void ChangeTracker::onSynchronized(Synchronized callback) {
    std::scoped_lock lock(callbackMutex_);
    onSynchronized_ = std::move(callback);
}

void ChangeTracker::track(std::stop_token stop) {
    auto workingSet = extension_.enumerator(host::workingSet, host::Request{});
    while (!stop.stop_requested()) {
        followChanges(*workingSet, stop);
        const auto wait = pause();
        std::unique_lock lock(wakeMutex_);
        wake_.wait_for(lock, stop, wait, [this] { return woken_; });
        woken_ = false;
    }
    workingSet->invalidate();
}

std::chrono::milliseconds ChangeTracker::pause() {
    using namespace std::chrono_literals;
    if (!reachability_ || !reachability_->offline()) {
        probePause_ = 0ms;
        return pollInterval_;
    }
    probePause_ = probePause_ == 0ms ? 1000ms : std::min<std::chrono::milliseconds>(2 * probePause_, 60s);
    return probePause_;
}

void ChangeTracker::failed(const std::string& line) {
    following_ = false;
    if (failure_ == line) return;
    failure_ = line;
    mountLog().error(line);
}

void ChangeTracker::followed() {
    following_ = true;
    if (!failure_) return;
    failure_.reset();
    mountLog().info("changes followed again");
}

void ChangeTracker::lookAgain(const std::vector<host::ItemIdentifier>& unsure, std::stop_token stop) {
    for (const auto& identifier : unsure) {
        const auto asked = catalog_.changeMark();
        ChangeBatch now;
        try {
            now.updated.push_back(
                hostcalls::item(extension_, identifier, {.stop = stop, .deadline = deadline()}));
            answered();
        } catch (const Error& error) {
            if (!isFileProviderError(error, FileProviderErrorCode::noSuchItem)) throw;
            answered();
            now.deleted.push_back(identifier);
        }
        // Changed here once more meanwhile: the next round's batch tells.
        auto applied = catalog_.apply(now, asked);
        deliver_(applied);
        save(applied.updated, std::move(applied.removed));
    }
}

void ChangeTracker::startOver() {
    deliver_(AppliedChanges{.invalidations = catalog_.dropListings()});
}

void ChangeTracker::followChanges(host::Enumerator& workingSet, std::stop_token stop) {
    std::optional<host::SyncAnchor> from = anchor_;
    try {
        if (!from) {
            from = hostcalls::currentAnchor(workingSet, {.stop = stop, .deadline = deadline()});
            if (!from) return;  // the service did not answer; asked again at the next round
            // A listing made before the anchor may lack changes that the feed from it will not repeat.
            startOver();
            anchor_ = from;
            save({}, {});
        }
        for (;;) {
            const auto asked = catalog_.changeMark();
            auto batch = hostcalls::nextChanges(workingSet, *from, {.stop = stop, .deadline = deadline()});
            answered();
            auto applied = catalog_.apply(batch, asked);
            deliver_(applied);
            lookAgain(applied.unsure, stop);
            anchor_ = batch.anchor;
            save(applied.updated, std::move(applied.removed));
            const bool moved = batch.anchor != *from;
            from = batch.anchor;
            if (!batch.moreComing) break;
            if (!moved) {
                failed("the change feed announces more changes without moving past " + *from);
                return;
            }
        }
    } catch (const Error& error) {
        if (reachability_) reachability_->failed(std::current_exception());
        if (isFileProviderError(error, FileProviderErrorCode::syncAnchorExpired)) {
            mountLog().info("the change feed no longer reaches back to " + from.value_or("") +
                            "; folders are listed again");
            startOver();
            anchor_.reset();
            if (store_) try {
                    store_->clear();
                } catch (const std::exception& failure) {
                    mountLog().error(std::string("the mount's state cannot be cleared: ") + failure.what());
                }
            followed();
            return;
        }
        if (Reachability::unreachableReason(std::current_exception())) {
            following_ = false;  // the Reachability says why, once
            return;
        }
        if (!stop.stop_requested()) failed(std::string("changes not followed: ") + error.what());
        return;
    } catch (const std::exception& error) {
        if (!stop.stop_requested()) failed(std::string("changes not followed: ") + error.what());
        return;
    }
    followed();
    Synchronized callback;
    {
        std::scoped_lock lock(callbackMutex_);
        callback = onSynchronized_;
    }
    if (callback) callback(std::chrono::system_clock::now());
}

void ChangeTracker::answered() {
    if (reachability_) reachability_->answered();
}

void ChangeTracker::save(const std::vector<ItemRecord>& updated, std::vector<host::ItemIdentifier> removed) {
    if (!store_ || !anchor_) return;
    const auto purged = catalog_.takePurged();
    removed.insert(removed.end(), purged.begin(), purged.end());
    // Taken after the batch was applied: the listings' records are as new as its anchor, or newer.
    const auto listings = catalog_.takeListingChanges();
    removed.insert(removed.end(), listings.gone.begin(), listings.gone.end());
    try {
        store_->save(*anchor_, updated, removed, listings);
    } catch (const std::exception& error) {
        mountLog().error(std::string("the mount's state cannot be saved: ") + error.what());
    }
}

}  // namespace tw::mount
