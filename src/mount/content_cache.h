#pragma once
// The mount's file contents on local disk: one sparse cache file per item and content version, with a record
// of the byte ranges it holds. Missing ranges come through a fetcher that the caller gives; readers of one
// file share a range that is already being fetched. Files no one has open are evicted, least recently used
// first, when the cache grows past its limit.
//
// A cache file may hold local changes: bytes the service does not have yet (a writer's). Such a file is whole
// (every byte present, so nothing is ever fetched into it), is never evicted nor discarded, keeps that flag
// across restarts, and may take a size other than its version's. It stays so until the changes are settled
// as a new content version of the service's or discarded.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_set>
#include <utility>

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

// What the cache keeps for a reader or a writer while this lives: bytes a reader is about to read (eviction
// leaves them in the file), or room made for bytes to come (counted as used). Released without any of the
// cache's locks held.
class CacheHold {
public:
    CacheHold() = default;
    explicit CacheHold(std::function<void()> release) : release_(std::move(release)) {}
    CacheHold(CacheHold&& other) noexcept : release_(std::exchange(other.release_, {})) {}
    CacheHold& operator=(CacheHold&&) = delete;
    ~CacheHold() {
        if (release_) release_();
    }

private:
    std::function<void()> release_;
};

class ContentCache {
public:
    class Handle;

    // `folder` is made (0700) when missing; `maxBytes` bounds the disk space of its files, open or not (see
    // cache_index.h for the watermarks of eviction).
    ContentCache(std::filesystem::path folder, std::int64_t maxBytes);
    ~ContentCache();
    ContentCache(const ContentCache&) = delete;
    ContentCache& operator=(const ContentCache&) = delete;

    // The cache file of this version, made when missing; cached files of other versions of the item are
    // dropped, except one holding local changes. A file of this version holding local changes is the one
    // opened, whatever its size. The file counts as open (never evicted) while the handle lives.
    //
    // With `readAhead`, a reader that goes on from where the handle's previous read ended has the bytes
    // after the present ones fetched in the background through it while it reads those, chunk after chunk
    // (each as long as the handle's last fetch), less than two chunks ahead of it: one chunk downloading
    // while the one before is copied into the file, each waited for by any reader that needs it. The handle
    // cancels them (their stop token) and waits for them when it closes.
    std::shared_ptr<Handle> open(const CacheKey& key, RangeFetcher readAhead = {});
    // Takes a delivery of every byte of `key`'s version, fetched outside the cache, as that version's cache
    // file: the delivery's file is moved in, not copied. Only while the cache holds nothing of the version
    // and no handle has it open, when the file fits and is on the cache's file system; returns whether it
    // was taken (else the delivery is still the caller's). Other cached versions go, as with open().
    bool adopt(const CacheKey& key, const Delivery& delivery);
    // Drops every cached version of the item (it changed or is gone) except a file holding local changes;
    // open handles keep reading theirs.
    void discard(const host::ItemIdentifier& identifier);
    // Whether a cache file of the item holds local changes (which discard() keeps).
    bool holdsLocalChanges(const host::ItemIdentifier& identifier) const;
    // Disk space of the cache files, in bytes.
    std::int64_t usedBytes() const;
    // How many bytes of `key`'s file the cache holds (its whole size when it holds local changes).
    std::int64_t presentBytes(const CacheKey& key) const;
    // The items whose cached files are never evicted (the pinned ones), in place of those kept before;
    // they are still discarded when they change.
    void keep(std::unordered_set<host::ItemIdentifier> identifiers);

private:
    struct State;
    std::shared_ptr<State> state_;
};

class ContentCache::Handle {
public:
    virtual ~Handle() = default;
    // Makes bytes [offset, offset + length) present in the file (clipped to its size), fetching what is
    // missing, and returns how many bytes from `offset` are now present. Room is made for what is fetched:
    // std::system_error with ENOSPC when the cache is full of what cannot be evicted. `fetch` is given
    // `stop`. Throws what the fetcher threw (see RangeFetcher); stops waiting for another reader's fetch when
    // `stop` is requested (tw::Error, cocoa domain, user-cancelled code) or at `deadline` (std::system_error
    // with ETIMEDOUT). A fetch of another reader that was cancelled is not a failure of the range: the waiter
    // fetches it itself.
    virtual std::int64_t ensure(std::int64_t offset, std::int64_t length, const RangeFetcher& fetch,
                                std::stop_token stop, std::chrono::steady_clock::time_point deadline) = 0;
    // Keeps [offset, offset + length) from eviction: taken before ensure() and kept until the bytes are read.
    virtual CacheHold hold(std::int64_t offset, std::int64_t length) = 0;
    // Makes room for `bytes` more in the cache (evicting), kept for them until the hold goes (by then the
    // file's own count holds them); none when they do not fit.
    virtual std::optional<CacheHold> makeRoom(std::int64_t bytes) = 0;
    // The open cache file, for reading the bytes `ensure` made present (pread, or a splice to the kernel),
    // and, while the file holds local changes, for writing within its size.
    virtual int fd() const = 0;
    // The file's size in bytes: its version's, until a local change moves it.
    virtual std::int64_t size() const = 0;

    // The rest makes room for local changes; each waits for the one before on the same file to end. A file
    // dropped meanwhile (its item changed on the service) takes none: std::system_error with ESTALE.
    virtual bool holdsLocalChanges() const = 0;
    // Marks the file as holding local changes, recorded in its sidecar before this returns; nothing when it
    // already does. A delivery being copied in ends first, and none is copied in afterwards. Throws
    // std::logic_error when a byte of the file is missing (ensure() them first), std::system_error when the
    // record cannot be written (the file holds local changes anyway; a later record says so).
    // With `Record::later` the record is written by the next makeDurable() (a new file: until then, a crash
    // loses nothing that was promised).
    enum class Record { now, later };
    virtual void holdLocalChanges(Record record = Record::now) = 0;
    // A local change of the file's size (a truncation or a growth), which marks it as holding local changes.
    // A truncation drops the ranges past the end; a growth leaves a hole that counts as present and zero, as
    // it is the writer's, never fetched. Bytes below the lower of the two sizes must be present
    // (std::logic_error otherwise); std::system_error when the file cannot be resized or its record written.
    virtual void resize(std::int64_t size) = 0;
    // A writer wrote bytes up to `end` through fd() into the file, which holds local changes: its size grows
    // to `end` when that is past it. Recorded in memory; makeDurable() puts it on disk. Throws
    // std::logic_error when the file holds no local changes.
    virtual void wrote(std::int64_t end) = 0;
    // Flushes the file's bytes to disk, then its record (its size, that it holds local changes), so that
    // both survive a crash once this returns. Throws std::system_error.
    virtual void makeDurable() = 0;
    // The local changes went up as `contentVersion` of the service's item `identifier` (the file's own, or
    // the one a new file was made as): the file becomes that version's cache file (its files renamed, its
    // record rewritten), which eviction may remove again; another cached file of that version is dropped.
    // Throws std::logic_error when the file holds no local changes, std::system_error when its files cannot
    // be renamed (it then still holds them).
    virtual void settleLocalChanges(const host::ItemIdentifier& identifier,
                                    const std::string& contentVersion) = 0;
    // Gives the file up with whatever local changes it holds: its files are removed (open handles keep
    // reading through their descriptors) and the item's contents come from the service again.
    virtual void discardLocalChanges() = 0;
};

}  // namespace tw::mount
