#include "mount/range_persister.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "mount/cache_io.h"
#include "mount/cache_sidecar.h"
#include "mount/private_files.h"
#include "platform/log.h"

namespace tw::mount {

namespace {

const Logger& log() {
    static const Logger logger("com.tidewright.mount", "cache");
    return logger;
}

}  // namespace

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

std::filesystem::path RangePersister::temporaryFor(const std::string& stem) {
    auto temporary = index_.rangesPath(stem);
    temporary += "." + std::to_string(temporaryCounter_++) + std::string(temporarySuffix);
    return temporary;
}

void RangePersister::persist(CacheEntry& entry, int fd) {
    std::scoped_lock order(entry.persisting);
    SidecarRecord record;
    std::int64_t pendingBytes = 0;
    int pendingChanges = 0;
    {
        std::scoped_lock lock(mutex_);
        if (entry.dropped || (entry.unpersistedBytes == 0 && entry.unpersistedChanges == 0)) return;
        record = {entry.key, entry.present, entry.localChanges};
        pendingBytes = entry.unpersistedBytes;
        pendingChanges = entry.unpersistedChanges;
    }
    if (::fdatasync(fd) != 0) throwErrno("cannot flush the cache file");
    // The stem does not change while `persisting` is held (only settle() renames, holding it too).
    const auto temporary = temporaryFor(entry.name);
    writeFileDurably(temporary, encodeSidecar(record));
    const auto rangesBytes = diskBytesOf(temporary);
    std::scoped_lock lock(mutex_);
    // Renamed under the lock: a drop in between must not see its sidecar come back.
    if (entry.dropped) {
        ::unlink(temporary.c_str());
        return;
    }
    if (::rename(temporary.c_str(), index_.rangesPath(entry).c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), "cannot save the cached ranges of a file");
    }
    entry.unpersistedBytes -= pendingBytes;
    entry.unpersistedChanges -= pendingChanges;
    index_.account(entry, entry.dataBytes, rangesBytes);
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
            log().error(std::string("the cached ranges of a file were not saved: ") + e.what());
        }
        lock.lock();
    }
}

void RangePersister::settle(const std::shared_ptr<CacheEntry>& entry, int fd,
                            const std::string& contentVersion) {
    std::scoped_lock order(entry->persisting);
    SidecarRecord record;
    {
        std::scoped_lock lock(mutex_);
        if (!entry->localChanges) throw std::logic_error("the cache file holds no local changes");
        record = {CacheKey{entry->key.identifier, contentVersion, entry->key.size}, entry->present, false};
    }
    if (::fdatasync(fd) != 0) throwErrno("cannot flush the cache file");
    const auto stem = stemFor(record.key);
    const auto temporary = temporaryFor(stem);
    writeFileDurably(temporary, encodeSidecar(record));
    const auto rangesBytes = diskBytesOf(temporary);

    std::scoped_lock lock(mutex_);
    const auto fail = [&](auto&& error) {
        ::unlink(temporary.c_str());
        throw error;
    };
    for (const auto& other : index_.entriesOf(record.key.identifier)) {
        if (other == entry || other->name != stem) continue;
        if (other->localChanges)
            fail(std::logic_error("another cache file of that version holds local changes"));
        index_.drop(other);
    }
    if (::rename(temporary.c_str(), index_.rangesPath(stem).c_str()) != 0)
        fail(std::system_error(errno, std::generic_category(), "cannot save the record of a cache file"));
    if (stem != entry->name) {
        if (::rename(index_.dataPath(*entry).c_str(), index_.dataPath(stem).c_str()) != 0) {
            const int error = errno;
            ::unlink(index_.rangesPath(stem).c_str());
            throw std::system_error(error, std::generic_category(), "cannot rename a cache file");
        }
        ::unlink(index_.rangesPath(*entry).c_str());
    }
    entry->key = record.key;
    entry->name = stem;
    entry->localChanges = false;
    entry->unpersistedChanges = 0;  // a whole file fetches nothing: the record written is all of it
    entry->unpersistedBytes = 0;
    index_.account(*entry, entry->dataBytes, rangesBytes);
}

}  // namespace tw::mount
