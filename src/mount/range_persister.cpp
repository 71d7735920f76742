#include "mount/range_persister.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "mount/cache_io.h"
#include "mount/cache_sidecar.h"
#include "mount/mount_log.h"
#include "platform/atomic_file.h"

namespace tw::mount {

RangePersister::RangePersister(std::mutex& mutex, CacheIndex& index)
    : mutex_(mutex), index_(index), thread_([this] { run(); }) {}

RangePersister::~RangePersister() {
    {
        std::scoped_lock lock(queueMutex_);
        stopping_ = true;
        queueChanged_.notify_one();
    }
    thread_.join();
}

bool RangePersister::persist(CacheEntry& entry, int fd) {
    std::scoped_lock order(entry.persisting);
    SidecarRecord record;
    std::int64_t pendingBytes = 0;
    int pendingChanges = 0;
    {
        std::scoped_lock lock(mutex_);
        if (entry.dropped || (entry.unpersistedBytes == 0 && entry.unpersistedChanges == 0)) return false;
        record = {entry.key, entry.present, entry.localChanges};
        pendingBytes = entry.unpersistedBytes;
        pendingChanges = entry.unpersistedChanges;
    }
    if (::fdatasync(fd) != 0) throwErrno("cannot flush the cache file");
    // The stem does not change while `persisting` is held (only settle() renames, holding it too).
    AtomicFile sidecar(index_.rangesPath(entry));
    sidecar.write(encodeSidecar(record));
    sidecar.sync();
    const auto rangesBytes = diskBytesOf(sidecar.temporaryPath());
    std::scoped_lock lock(mutex_);
    // Renamed under the lock: a drop in between must not see its sidecar come back (the temporary file goes
    // with `sidecar`). Recovery checks every sidecar against its file, so the folder needs no flush.
    if (entry.dropped) return false;
    sidecar.commit(AtomicFile::Placement::replace, AtomicFile::FolderSync::skip);
    entry.unpersistedBytes -= pendingBytes;
    entry.unpersistedChanges -= pendingChanges;
    index_.account(entry, entry.dataBytes, rangesBytes);
    return true;
}

void RangePersister::persistLater(std::shared_ptr<CacheEntry> entry, int fd) {
    const int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) return;  // the ranges are persisted when the handle closes
    std::scoped_lock lock(queueMutex_);
    queue_.emplace_back(std::move(entry), duplicate);
    queueChanged_.notify_one();
}

void RangePersister::run() {
    std::unique_lock lock(queueMutex_);
    for (;;) {
        queueChanged_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        auto [entry, duplicate] = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        const FileDescriptor fd(duplicate);
        try {
            persist(*entry, fd.get());
        } catch (const std::exception& e) {
            cacheLog().error(std::string("the cached ranges of a file were not saved: ") + e.what());
        }
        lock.lock();
    }
}

void RangePersister::settle(const std::shared_ptr<CacheEntry>& entry, int fd,
                            const host::ItemIdentifier& identifier, const std::string& contentVersion) {
    std::scoped_lock order(entry->persisting);
    SidecarRecord record;
    {
        std::scoped_lock lock(mutex_);
        if (!entry->localChanges) throw std::logic_error("the cache file holds no local changes");
        record = {CacheKey{identifier, contentVersion, entry->key.size}, entry->present, false};
    }
    if (::fdatasync(fd) != 0) throwErrno("cannot flush the cache file");
    const auto stem = stemFor(record.key);
    AtomicFile sidecar(index_.rangesPath(stem));
    sidecar.write(encodeSidecar(record));
    sidecar.sync();
    const auto rangesBytes = diskBytesOf(sidecar.temporaryPath());

    std::scoped_lock lock(mutex_);
    for (const auto& other : index_.entriesOf(record.key.identifier)) {
        if (other == entry || other->name != stem) continue;
        if (other->localChanges)
            throw std::logic_error("another cache file of that version holds local changes");
        index_.drop(other);
    }
    sidecar.commit(AtomicFile::Placement::replace, AtomicFile::FolderSync::skip);
    if (stem != entry->name) {
        if (::rename(index_.dataPath(*entry).c_str(), index_.dataPath(stem).c_str()) != 0) {
            const int error = errno;
            ::unlink(index_.rangesPath(stem).c_str());
            throw std::system_error(error, std::generic_category(), "cannot rename a cache file");
        }
        ::unlink(index_.rangesPath(*entry).c_str());
    }
    index_.rekey(entry, record.key);
    entry->name = stem;
    entry->localChanges = false;
    entry->unpersistedChanges = 0;  // a whole file fetches nothing: the record written is all of it
    entry->unpersistedBytes = 0;
    index_.account(*entry, entry->dataBytes, rangesBytes);
}

}  // namespace tw::mount
