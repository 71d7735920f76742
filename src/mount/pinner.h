#pragma once
// Pinned items: files, and folders with everything in them (files added later included), kept wholly
// downloaded at their latest content version and never evicted. A thread of its own walks the pinned trees
// whenever the catalog changes and fetches what the cache lacks, three files at a time: a file the cache
// holds nothing of in one fetch that the cache takes over as it is (a reader meanwhile fetches what it
// reads itself), a larger one or the rest of one in chunks, so that a reader waits for one chunk at most. A
// walk that failed (the service away, a listing that timed out) is made again after a pause that doubles up
// to a minute. The pins persist in the state file.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "mount/content_cache.h"
#include "mount/item_catalog.h"
#include "mount/mount_status.h"
#include "mount/state_store.h"

namespace tw::mount {

class Pinner {
public:
    using Id = host::ItemIdentifier;
    // The fetches of ranges of one version of a file.
    using FetcherFor = std::function<RangeFetcher(const Id& identifier, const host::ItemVersion& version)>;

    // `store` (may be null: pins then last as long as the mount) holds the pins; `deadline` bounds each
    // listing and each chunk's fetch.
    Pinner(ItemCatalog& catalog, ContentCache& cache, StateStore* store, FetcherFor fetcherFor,
           std::chrono::milliseconds deadline);
    ~Pinner();
    Pinner(const Pinner&) = delete;
    Pinner& operator=(const Pinner&) = delete;

    void start();
    // Ends the walk under way (its fetch is cancelled) and the thread.
    void stop();

    // Pins or unpins the item itself, durably before this returns; false when it already was (or was not).
    bool pin(const Id& identifier, bool pinned);
    // The item when it is pinned itself, else the nearest folder above it that is; none when neither.
    std::optional<Id> pinnedThrough(const Id& identifier) const;
    // Whether the file is pinned (itself or through a folder) and the cache holds all of `record`'s version.
    bool holds(const ItemRecord& record) const;
    // The catalog changed: the pinned trees are walked again. The pins of `removed` items (gone for good)
    // go.
    void changed(const std::vector<Id>& removed = {});
    PinProgress progress() const;

private:
    void run(std::stop_token stop);
    // One walk: every pinned file kept and fetched. Returns the first failure in words; empty when none.
    std::string walk(const std::set<Id>& pins, std::stop_token stop);
    // The files of the pinned tree at `pin`, added to `files` (each once).
    void collect(const Id& pin, std::vector<ItemRecord>& files, std::set<Id>& seen);
    void download(const ItemRecord& file, std::int64_t presentBefore, std::stop_token stop);

    ItemCatalog& catalog_;
    ContentCache& cache_;
    StateStore* const store_;
    const FetcherFor fetcherFor_;
    const std::chrono::milliseconds deadline_;

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::set<Id> pins_;
    bool dirty_ = true;  // a walk is due
    PinProgress progress_;
    std::jthread thread_;
};

}  // namespace tw::mount
