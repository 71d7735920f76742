#pragma once
// The read-ahead of one cache handle: a reader that goes on from where its previous read ended has the next
// bytes fetched in the background, chunk after chunk, less than two chunks ahead of it.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "mount/cache_state.h"

namespace tw::mount {

class ReadAhead {
public:
    using Delivered = std::function<void(const Delivery&)>;
    // Fetches a range already claimed in the entry (in its `fetching`) into the cache file, calling
    // `delivered` with the delivery before it is copied in; finishes the claim whatever the outcome, and
    // throws what the fetch threw. Called on a read-ahead thread, without the cache's mutex.
    using FetchClaimed = std::function<void(const std::shared_ptr<RangeFetch>& range, std::stop_token stop,
                                            const Delivered& delivered)>;

    // `state` and `entry` outlive the read-ahead.
    ReadAhead(CacheState& state, CacheEntry& entry, FetchClaimed fetchClaimed);
    // stop().
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Cancels the fetches under way (their stop token) and waits for their threads; start() does nothing
    // afterwards. Without the cache's mutex.
    void stop();

    // With the cache's mutex held: the handle's reader read [offset, end), all present now.
    void noteRead(std::int64_t offset, std::int64_t end);
    // With the cache's mutex held: a fetch of the handle brought `length` bytes (the next chunk's length).
    void noteFetched(std::int64_t length);

    // Fetches the next chunk after the bytes present or under way from the reader's last read on, unless
    // another read-ahead is downloading, the file ends there, the chunk would start two chunks or more ahead
    // of the reader, or that read was not sequential. Called after each read, and by a read-ahead as soon as
    // its download is in: the next download then runs while this one is copied into the file. Without the
    // cache's mutex.
    void start();

private:
    CacheState& state_;
    CacheEntry& entry_;
    FetchClaimed fetchClaimed_;
    // Guarded by the cache's mutex: the reader's last read, the length of the last fetch, the read-ahead's.
    std::int64_t lastReadStart_ = -1;
    std::int64_t lastReadEnd_ = -1;
    std::int64_t lastFetched_ = 0;
    bool lastReadSequential_ = false;
    bool downloading_ = false;  // a read-ahead is downloading: the next one waits for it
    bool stopped_ = false;
    // Two read-aheads at most: one downloading while the other copies what it downloaded.
    struct Lane {
        bool busy = false;  // guarded by the cache's mutex
        std::stop_source stop;
        std::mutex threadMutex;  // held while its thread is replaced or joined
        std::thread thread;
    };
    std::array<Lane, 2> lanes_;
};

}  // namespace tw::mount
