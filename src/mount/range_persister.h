#pragma once
// Writes what each cache file holds to its sidecar, so that a restart reuses it: after each handle, every so
// many fetched bytes on a thread of its own, and at once for a change of the file's size or flag.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "mount/cache_index.h"

namespace tw::mount {

// The ranges readers record are written to their sidecar (after the data is flushed) every this many bytes,
// by the persister's thread so that no reader waits for the flush, and when a handle closes. A crash loses
// about this much of what was fetched, never a range's truth.
inline constexpr std::int64_t persistEveryBytes = std::int64_t{64} << 20;

class RangePersister {
public:
    // `mutex` is the cache's, which guards `index` and its entries. Starts the persister's thread.
    RangePersister(std::mutex& mutex, CacheIndex& index);
    // Ends the thread once the writes queued are done.
    ~RangePersister();
    RangePersister(const RangePersister&) = delete;
    RangePersister& operator=(const RangePersister&) = delete;

    // When the entry's record changed since its sidecar was written: flushes the cache file (`fd`), then
    // writes the record as it stood before the flush, durably. On the calling thread, without the cache's
    // mutex. Throws std::system_error; what was not written is written by a later call. Nothing for an entry
    // that was dropped.
    bool persist(CacheEntry& entry, int fd);  // whether it wrote a record
    // The same later, on the persister's thread, through a duplicate of `fd` (errors are logged), so that a
    // reader does not wait for the flush of what it fetched.
    void persistLater(std::shared_ptr<CacheEntry> entry, int fd);

    // The entry's local changes are now the service's `contentVersion`: its files take the stem of that
    // version and it no longer holds local changes. The new sidecar is written (durably) before the data file
    // is renamed, so that a crash in between leaves the old pair whole. An entry of that version that does
    // not hold local changes is dropped. Called with the entry's `changing` mutex held. Throws
    // std::logic_error when the entry holds no local changes or another of that version does, and
    // std::system_error when a file cannot be written or renamed (the entry is then as it was).
    void settle(const std::shared_ptr<CacheEntry>& entry, int fd, const host::ItemIdentifier& identifier,
                const std::string& contentVersion);

private:
    void run();

    std::mutex& mutex_;
    CacheIndex& index_;

    std::mutex queueMutex_;  // guards the queue and `stopping_`
    std::condition_variable queueChanged_;
    std::deque<std::pair<std::shared_ptr<CacheEntry>, int>> queue_;
    bool stopping_ = false;
    std::thread thread_;  // last: started when the rest is ready
};

}  // namespace tw::mount
