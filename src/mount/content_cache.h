#pragma once
// The mount's file contents on local disk: one sparse cache file per item and content version, with a record
// of the byte ranges it holds. Missing ranges come through a fetcher that the caller gives; readers of one
// file share a range that is already being fetched. Files no one has open are evicted, least recently used
// first, when the cache grows past its limit.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "platform/host/host.h"

namespace tw::mount {

struct CacheKey {
    host::ItemIdentifier identifier;
    std::string contentVersion;
    std::int64_t size = 0;  // the file's size in this version
};

// A file holding `range` of an item's contents at the same offsets (bytes before and after it may be holes).
// The cache takes it over: it copies the range and deletes the file.
struct Delivery {
    std::filesystem::path file;
    host::ByteRange range;
};

// Fetches at least `wanted` (never past the end of the file), giving up when `stop` is requested. Throws on
// failure; the cache passes the failure on to every reader waiting for that range, each as an exception
// object of its own: a std::system_error stays one (same code), anything else becomes a tw::Error
// (Error::from: same domain and code). Called with no lock of the cache held.
using RangeFetcher = std::function<Delivery(host::ByteRange wanted, std::stop_token stop)>;

class ContentCache {
public:
    class Handle;

    // `folder` is made (0700) when missing; `maxBytes` bounds the disk space of the files no one has open.
    ContentCache(std::filesystem::path folder, std::int64_t maxBytes);
    ~ContentCache();
    ContentCache(const ContentCache&) = delete;
    ContentCache& operator=(const ContentCache&) = delete;

    // The cache file of this version, made when missing; cached files of other versions of the item are
    // dropped. The file counts as open (never evicted) while the handle lives.
    //
    // With `readAhead`, a reader that goes on from where the handle's previous read ended has the bytes
    // after the present ones fetched in the background through it while it reads those, chunk after chunk
    // (each as long as the handle's last fetch), less than two chunks ahead of it: one chunk downloading
    // while the one before is copied into the file, each waited for by any reader that needs it. The handle
    // cancels them (their stop token) and waits for them when it closes.
    std::shared_ptr<Handle> open(const CacheKey& key, RangeFetcher readAhead = {});
    // Drops every cached version of the item (it changed or is gone); open handles keep reading theirs.
    void discard(const host::ItemIdentifier& identifier);
    // Disk space of the cache files, in bytes.
    std::int64_t usedBytes() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

class ContentCache::Handle {
public:
    virtual ~Handle() = default;
    // Makes bytes [offset, offset + length) present in the file (clipped to its size), fetching what is
    // missing, and returns how many bytes from `offset` are now present. `fetch` is given `stop`. Throws what
    // the fetcher threw (see RangeFetcher); stops waiting for another reader's fetch when `stop` is requested
    // (tw::Error, cocoa domain, user-cancelled code) or at `deadline` (std::system_error with ETIMEDOUT). A
    // fetch of another reader that was cancelled is not a failure of the range: the waiter fetches it itself.
    virtual std::int64_t ensure(std::int64_t offset, std::int64_t length, const RangeFetcher& fetch,
                                std::stop_token stop, std::chrono::steady_clock::time_point deadline) = 0;
    // The open cache file, for reading the bytes `ensure` made present (pread, or a splice to the kernel).
    virtual int fd() const = 0;
};

}  // namespace tw::mount
