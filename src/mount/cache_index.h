#pragma once
// The content cache's index: its entries (a cache file and its sidecar each), found by item and ordered by
// last use, the disk space they take, and the rules of eviction and discarding.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mount/byte_ranges.h"
#include "mount/content_cache.h"

namespace tw::mount {

// One range that a reader is fetching, or that eviction is taking out of a file; the others wait for `done`.
// Bytes are written into a file only within such a claim, and eviction takes none that is claimed. Guarded
// by the cache's mutex.
struct RangeFetch {
    std::int64_t start;
    std::int64_t end;
    bool done = false;
    std::exception_ptr error;
};

// One cache file. Guarded by the cache's mutex, except the three mutexes at the end, which are taken before
// it when both are held, in their order here.
struct CacheEntry {
    CacheKey key;      // `size` is the file's size: local changes may move it from the version's
    std::string name;  // the stem of its files
    ByteRanges present;
    std::vector<std::shared_ptr<RangeFetch>> fetching;
    std::vector<ByteRanges::Range> held;  // ranges readers are reading: eviction leaves them present
    int openHandles = 0;
    // The file holds bytes the service lacks: it is whole, never evicted nor discarded.
    bool localChanges = false;
    bool dropped = false;  // its files are unlinked; open handles keep reading through their descriptors
    bool counted = true;   // its disk space is in the cache's total
    std::int64_t dataBytes = 0;
    std::int64_t rangesBytes = 0;
    std::int64_t unpersistedBytes = 0;  // fetched since its sidecar was last written
    int unpersistedChanges = 0;         // changes of its size or flag since then
    std::list<std::shared_ptr<CacheEntry>>::iterator lruPosition;

    std::mutex changing;        // held through each local change of the file, one at a time
    std::shared_mutex copying;  // shared while a delivery is copied in; exclusive while local changes begin
    std::mutex persisting;      // orders the sidecar writes
};

// Present bytes of an open file that eviction took out of its ranges (claimed in its `fetching`, so that no
// reader fetches them meanwhile): the caller records the file's ranges, then punches the hole, then finishes
// the claim, without the cache's mutex.
struct Punch {
    std::shared_ptr<CacheEntry> entry;
    std::shared_ptr<RangeFetch> claim;
};

// Not thread-safe: every call is made with the cache's mutex held.
//
// The limit bounds the disk space of every cache file, open or not (sparse ones by the blocks they use).
// Past its high watermark (95 %) eviction takes the cache down to its low one (90 %): the least recently
// used closed files first, then the ranges of open files that no reader holds or fetches. Files holding local
// changes, and the kept ones (pinned), never go; when they fill the cache, what does not fit is refused.
class CacheIndex {
public:
    // The entries' files are in `folder`; `maxBytes` bounds their disk space.
    CacheIndex(std::filesystem::path folder, std::int64_t maxBytes);

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path dataPath(const std::string& stem) const;
    std::filesystem::path rangesPath(const std::string& stem) const;
    std::filesystem::path dataPath(const CacheEntry& entry) const { return dataPath(entry.name); }
    std::filesystem::path rangesPath(const CacheEntry& entry) const { return rangesPath(entry.name); }

    // Adds an entry as the most recently used; its disk space counts from now on.
    void insert(const std::shared_ptr<CacheEntry>& entry);
    std::vector<std::shared_ptr<CacheEntry>> entriesOf(const host::ItemIdentifier& identifier) const;
    // Makes the entry the most recently used.
    void touch(CacheEntry& entry);
    // Records the entry's disk space: its data file's and its sidecar's, in bytes.
    void account(CacheEntry& entry, std::int64_t dataBytes, std::int64_t rangesBytes);
    // The entry stands for `key` from now on (its files already renamed to match).
    void rekey(const std::shared_ptr<CacheEntry>& entry, CacheKey key);
    void opened(CacheEntry& entry);
    void closed(CacheEntry& entry);

    // Unlinks the entry's files and forgets it, whatever it holds; open handles keep reading through their
    // descriptors, and its space counts until the last of them closes.
    void drop(const std::shared_ptr<CacheEntry>& entry);
    // Drops every entry of the item except those holding local changes; returns whether one was kept.
    bool discard(const host::ItemIdentifier& identifier);
    // Past the high watermark: drops the least recently used entries down to the low watermark, skipping
    // those that a handle has open, that hold local changes or whose item is kept (which may keep it above).
    void evict();
    // Room for `bytes` more: past the high watermark, evicts as evict() does and then takes ranges of open
    // files (`punches`, for the caller) down to the low watermark less `bytes`. Returns whether `bytes` more
    // fit within the limit once those are punched.
    // The room made for them is counted as used until release().
    bool makeRoom(std::int64_t bytes, std::vector<Punch>& punches);
    void release(std::int64_t bytes) { reserved_ -= bytes; }
    std::int64_t limit() const { return maxBytes_; }
    // The items whose entries eviction passes over (pinned ones), in place of those kept before.
    void keep(std::unordered_set<host::ItemIdentifier> identifiers) { kept_ = std::move(identifiers); }

    std::int64_t usedBytes() const { return usedBytes_; }

private:
    void uncount(CacheEntry& entry);
    bool reserve(std::int64_t bytes);  // true
    // Drops the least recently used closed entries that may go until the space counted is at most `target`.
    void dropClosed(std::int64_t target);
    // Whether eviction may take the entry's files or ranges at all.
    bool evictable(const CacheEntry& entry) const;
    std::int64_t highWatermark() const { return maxBytes_ - maxBytes_ / 20; }
    std::int64_t lowWatermark() const { return maxBytes_ - maxBytes_ / 10; }

    std::filesystem::path folder_;
    std::int64_t maxBytes_;
    std::unordered_multimap<host::ItemIdentifier, std::shared_ptr<CacheEntry>> byItem_;
    std::list<std::shared_ptr<CacheEntry>> lru_;  // least recently used first
    std::unordered_set<host::ItemIdentifier> kept_;
    std::int64_t reserved_ = 0;  // room made for bytes being fetched or written
    std::int64_t usedBytes_ = 0;
};

}  // namespace tw::mount
