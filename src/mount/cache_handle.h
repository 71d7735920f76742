#pragma once
// An open cache file: range claiming, fetching and waiting for readers, and the file's local changes.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "mount/byte_ranges.h"
#include "mount/cache_index.h"
#include "mount/cache_io.h"
#include "mount/cache_state.h"
#include "mount/content_cache.h"
#include "mount/read_ahead.h"

namespace tw::mount {

// Room for `bytes` more in the cache, made as CacheIndex::makeRoom() says (the ranges it takes are punched
// out here, without the cache's mutex) and kept until the hold goes; none when they do not fit.
std::optional<CacheHold> makeRoomIn(const std::shared_ptr<CacheState>& state, std::int64_t bytes);

class CacheHandle final : public ContentCache::Handle {
public:
    // Made by the cache with its mutex held, once `entry` counts the handle as open (CacheIndex::opened);
    // `fd` is the entry's data file, opened for reading and writing. An empty `readAhead` reads nothing
    // ahead.
    CacheHandle(std::shared_ptr<CacheState> state, std::shared_ptr<CacheEntry> entry, FileDescriptor fd,
                RangeFetcher readAhead);
    // Ends the read-ahead, records what the file holds, closes it and evicts what is over the limit.
    ~CacheHandle() override;

    std::int64_t ensure(std::int64_t offset, std::int64_t length, const RangeFetcher& fetch,
                        std::stop_token stop, std::chrono::steady_clock::time_point deadline) override;
    CacheHold hold(std::int64_t offset, std::int64_t length) override;
    std::optional<CacheHold> makeRoom(std::int64_t bytes) override;
    int fd() const override { return fd_.get(); }
    std::int64_t size() const override;

    bool holdsLocalChanges() const override;
    void holdLocalChanges(Record record = Record::now) override;
    void resize(std::int64_t size) override;
    void wrote(std::int64_t end) override;
    void makeDurable() override;
    void settleLocalChanges(const host::ItemIdentifier& identifier,
                            const std::string& contentVersion) override;
    void discardLocalChanges() override;

private:
    // With the cache's mutex held: splits a missing range into parts already being fetched (waited for)
    // and parts this reader claims and fetches.
    void claim(ByteRanges::Range gap, std::vector<std::shared_ptr<RangeFetch>>& mine,
               std::vector<std::shared_ptr<RangeFetch>>& theirs);
    // Fetches each claimed range and copies it in; every claim is finished, and the first failure thrown.
    // `delivered`, when given, is called with each delivery before it is copied into the file.
    void fetchAll(const std::vector<std::shared_ptr<RangeFetch>>& mine, const RangeFetcher& fetch,
                  std::stop_token stop, const ReadAhead::Delivered& delivered = {});
    // With the cache's mutex held: claims the bytes of a delivery past the range `wanted` that the file
    // lacks and no one else fetches, so that eviction leaves them alone until they are copied in and counted.
    std::vector<std::shared_ptr<RangeFetch>> claimExtra(host::ByteRange delivered, const RangeFetch& wanted);
    // Without the cache's mutex: finishes the claims, none failed (a waiter fetches the range itself), and
    // forgets them.
    void finishAll(std::vector<std::shared_ptr<RangeFetch>>& claims);
    // The claims a delivery is copied into: the range fetched, then the extra.
    static std::vector<const RangeFetch*> copiedOf(const RangeFetch& wanted,
                                                   const std::vector<std::shared_ptr<RangeFetch>>& extra);
    // Copies the claimed bytes of a delivery into the cache file (`wanted` and the `extra` claimed for it)
    // and deletes it; returns the length of the delivery within the file, or nothing when the file holds
    // local changes (it is whole: the delivery is not copied).
    std::optional<std::int64_t> take(const Delivery& delivery, const RangeFetch& wanted,
                                     const std::vector<std::shared_ptr<RangeFetch>>& extra);
    void waitFor(const std::vector<std::shared_ptr<RangeFetch>>& theirs, std::stop_token stop,
                 std::chrono::steady_clock::time_point deadline);
    // With `changing` held, the cache's mutex not: marks the file as holding local changes, its record cut
    // to `keep` bytes when it is longer. Throws (ESTALE, or std::logic_error) as holdLocalChanges() does for
    // a byte missing below `keep`; the entry is then as it was.
    void beginLocalChanges(std::int64_t keep);

    std::shared_ptr<CacheState> state_;
    std::shared_ptr<CacheEntry> entry_;
    FileDescriptor fd_;
    RangeFetcher readAheadFetcher_;
    std::optional<ReadAhead> readAhead_;  // last: its threads use the rest
};

}  // namespace tw::mount
