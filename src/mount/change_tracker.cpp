#include "mount/change_tracker.h"

#include "host_calls/item_calls.h"
#include "mount/mount_log.h"

namespace tw::mount {

ChangeTracker::ChangeTracker(host::ReplicatedExtension& extension, ItemCatalog& catalog, StateStore* store,
                             std::optional<host::SyncAnchor> anchor, std::chrono::milliseconds pollInterval,
                             std::chrono::milliseconds deadline, Deliver deliver)
    : extension_(extension),
      catalog_(catalog),
      store_(store),
      pollInterval_(pollInterval),
      deadline_(deadline),
      deliver_(std::move(deliver)),
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
}

void ChangeTracker::onSynchronized(Synchronized callback) {
    std::scoped_lock lock(callbackMutex_);
    onSynchronized_ = std::move(callback);
}

void ChangeTracker::track(std::stop_token stop) {
    auto workingSet = extension_.enumerator(host::workingSet, host::Request{});
    while (!stop.stop_requested()) {
        followChanges(*workingSet, stop);
        std::unique_lock lock(wakeMutex_);
        wake_.wait_for(lock, stop, pollInterval_, [] { return false; });
    }
    workingSet->invalidate();
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
        } catch (const Error& error) {
            if (!isFileProviderError(error, FileProviderErrorCode::noSuchItem)) throw;
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

void ChangeTracker::save(const std::vector<ItemRecord>& updated, std::vector<host::ItemIdentifier> removed) {
    if (!store_ || !anchor_) return;
    const auto purged = catalog_.takePurged();
    removed.insert(removed.end(), purged.begin(), purged.end());
    try {
        store_->save(*anchor_, updated, removed);
    } catch (const std::exception& error) {
        mountLog().error(std::string("the mount's state cannot be saved: ") + error.what());
    }
}

}  // namespace tw::mount
