// The cache is made of: the index of its files and the rules of eviction (cache_index), the sidecars that
// record what each file holds and the thread that writes them (range_persister, cache_sidecar), the open
// file with its range claims, fetches and local changes (cache_handle), its read-ahead (read_ahead), and
// what a start finds of an earlier run (cache_recovery). This file ties them together.
#include "mount/content_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "mount/cache_handle.h"
#include "mount/cache_io.h"
#include "mount/cache_recovery.h"
#include "mount/cache_sidecar.h"
#include "mount/cache_state.h"
#include "mount/mount_log.h"
#include "platform/private_folder.h"

namespace tw::mount {

struct ContentCache::State : CacheState {
    using CacheState::CacheState;
};

ContentCache::ContentCache(std::filesystem::path folder, std::int64_t maxBytes)
    : state_(std::make_shared<State>(folder, maxBytes)) {
    makePrivateFolder(folder);
    const auto entries = recoverEntries(state_->index);
    std::scoped_lock lock(state_->mutex);
    for (const auto& entry : entries)
        state_->index.insert(entry);
    state_->index.evict();
}

ContentCache::~ContentCache() = default;

std::shared_ptr<ContentCache::Handle> ContentCache::open(const CacheKey& key, RangeFetcher readAhead) {
    if (key.size < 0) throw std::invalid_argument("a negative file size");
    auto& index = state_->index;
    std::scoped_lock lock(state_->mutex);
    std::shared_ptr<CacheEntry> entry;
    std::vector<std::shared_ptr<CacheEntry>> others;
    for (const auto& candidate : index.entriesOf(key.identifier)) {
        if (candidate->key.contentVersion == key.contentVersion &&
            (candidate->localChanges || candidate->key.size == key.size))
            entry = candidate;
        else if (!candidate->localChanges)
            others.push_back(candidate);
    }
    for (const auto& other : others)
        index.drop(other);

    FileDescriptor fd;
    if (entry) {
        fd.reset(::open(index.dataPath(*entry).c_str(), O_RDWR | O_CLOEXEC));
        if (!fd) {
            cacheLog().error("a cache file vanished; fetching its contents again");
            entry->localChanges = false;  // they went with the file
            index.drop(entry);
            entry.reset();
        }
    }
    if (!entry) {
        entry = std::make_shared<CacheEntry>();
        entry->key = key;
        entry->name = stemFor(key);
        ::unlink(index.rangesPath(*entry).c_str());
        fd.reset(::open(index.dataPath(*entry).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!fd) throwErrno("cannot make a cache file in " + index.folder().string());
        if (::ftruncate(fd.get(), key.size) != 0) {
            const int error = errno;
            ::unlink(index.dataPath(*entry).c_str());
            throw std::system_error(error, std::generic_category(), "cannot size a cache file");
        }
        index.insert(entry);
    }
    auto handle = std::make_shared<CacheHandle>(state_, entry, std::move(fd), std::move(readAhead));
    index.opened(*entry);
    index.touch(*entry);
    index.evict();
    return handle;
}

bool ContentCache::adopt(const CacheKey& key, const Delivery& delivery) {
    struct stat file {};
    if (delivery.range.location != 0 || delivery.range.length < key.size ||
        ::stat(delivery.file.c_str(), &file) != 0 || file.st_size != key.size)
        return false;
    auto& index = state_->index;
    // Whether the version's file may be replaced: nothing of it cached, no handle on it.
    const auto vacant = [&] {
        for (const auto& entry : index.entriesOf(key.identifier))
            if (entry->localChanges || (entry->key.contentVersion == key.contentVersion &&
                                        (entry->openHandles > 0 || !entry->present.ranges().empty())))
                return false;
        return true;
    };
    {
        std::scoped_lock lock(state_->mutex);
        if (!vacant()) return false;
    }
    const auto diskBytes = std::int64_t{file.st_blocks} * 512;
    const auto room = makeRoomIn(state_, diskBytes);
    if (!room) return false;
    std::scoped_lock lock(state_->mutex);
    if (!vacant()) return false;
    auto entry = std::make_shared<CacheEntry>();
    entry->key = key;
    entry->name = stemFor(key);
    for (const auto& other : index.entriesOf(key.identifier))
        index.drop(other);
    ::unlink(index.rangesPath(*entry).c_str());
    // The sidecar comes later: a data file without one is removed by the next start, never trusted.
    if (::rename(delivery.file.c_str(), index.dataPath(*entry).c_str()) != 0) return false;
    entry->present.add(0, key.size);
    entry->unpersistedBytes = key.size;
    entry->dataBytes = diskBytes;
    index.insert(entry);
    const FileDescriptor fd(::open(index.dataPath(*entry).c_str(), O_RDWR | O_CLOEXEC));
    if (fd) state_->persister.persistLater(entry, fd.get());
    return true;
}

void ContentCache::discard(const host::ItemIdentifier& identifier) {
    std::scoped_lock lock(state_->mutex);
    state_->index.discard(identifier);
}

bool ContentCache::holdsLocalChanges(const host::ItemIdentifier& identifier) const {
    std::scoped_lock lock(state_->mutex);
    for (const auto& entry : state_->index.entriesOf(identifier))
        if (entry->localChanges) return true;
    return false;
}

std::int64_t ContentCache::usedBytes() const {
    std::scoped_lock lock(state_->mutex);
    return state_->index.usedBytes();
}

std::int64_t ContentCache::presentBytes(const CacheKey& key) const {
    std::scoped_lock lock(state_->mutex);
    for (const auto& entry : state_->index.entriesOf(key.identifier)) {
        if (entry->key.contentVersion != key.contentVersion) continue;
        if (entry->localChanges) return entry->key.size;
        if (entry->key.size == key.size) return entry->present.count(0, key.size);
    }
    return 0;
}

void ContentCache::keep(std::unordered_set<host::ItemIdentifier> identifiers) {
    std::scoped_lock lock(state_->mutex);
    state_->index.keep(std::move(identifiers));
    state_->index.evict();
}

}  // namespace tw::mount
