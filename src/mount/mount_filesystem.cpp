#include "mount/mount_filesystem.h"

#include <fcntl.h>

#include <cmath>

#include "host_calls/item_calls.h"
#include "mount/cache_io.h"
#include "mount/mount_log.h"

namespace tw::mount {
namespace {

timespec timeOf(const std::optional<host::Date>& date, std::chrono::system_clock::time_point fallback) {
    const double seconds =
        date ? date->secondsSince1970 : std::chrono::duration<double>(fallback.time_since_epoch()).count();
    const double whole = std::floor(seconds);
    return timespec{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
}

}  // namespace

MountFilesystem::MountFilesystem(std::shared_ptr<host::ReplicatedExtension> extension, MountSettings settings)
    : extension_(std::move(extension)),
      settings_(std::move(settings)),
      mountedAt_(std::chrono::system_clock::now()),
      cache_(settings_.cacheFolder, settings_.cacheMaxBytes),
      store_(settings_.stateFile ? std::make_unique<StateStore>(*settings_.stateFile) : nullptr),
      catalog_(
          *extension_, TrashView(settings_.uid),
          [this](const host::ItemIdentifier& identifier) {
              return writeBack_ && writeBack_->holds(identifier);
          },
          loadState(), &reachability_),
      pinner_(
          catalog_, cache_, store_.get(),
          [this](const host::ItemIdentifier& identifier, const host::ItemVersion& version) {
              return fetcherFor(identifier, version);
          },
          settings_.deadline),
      writeBack_(std::make_unique<WriteBack>(
          *extension_, cache_, catalog_, store_.get(),
          WriteBackSettings{.delay = settings_.writeBack,
                            .firstRetry = settings_.firstRetry,
                            .deadline = settings_.deadline,
                            .stagingFolder = settings_.cacheFolder / "uploads"},
          [this](const AppliedChanges& changes) { deliver(changes); }, &reachability_)),
      tracker_(
          *extension_, catalog_, store_.get(), savedAnchor_, settings_.pollInterval, settings_.deadline,
          [this](const AppliedChanges& changes) { deliver(changes); }, &reachability_) {
    onSynchronized({});
    reachability_.onChanged([this](bool offline) { reachabilityChanged(offline); });
}

MountFilesystem::~MountFilesystem() {
    stop();
}

ItemCatalog::Saved MountFilesystem::loadState() {
    if (!store_) return {};
    auto snapshot = store_->load();
    savedAnchor_ = snapshot.anchor;
    return {std::move(snapshot.records), std::move(snapshot.listed)};
}

void MountFilesystem::reachabilityChanged(bool offline) {
    if (!offline && started_) {
        // Back: the feed from the saved anchor, then every pending upload, without waiting out their pauses.
        tracker_.wake();
        writeBack_->uploadNow(std::chrono::steady_clock::now());
    }
    std::function<void(bool)> callback;
    {
        std::scoped_lock lock(statusMutex_);
        callback = onOffline_;
    }
    if (callback) callback(offline);
}

void MountFilesystem::onOfflineChanged(std::function<void(bool)> callback) {
    std::scoped_lock lock(statusMutex_);
    onOffline_ = std::move(callback);
}

void MountFilesystem::onSynchronized(std::function<void(std::chrono::system_clock::time_point)> callback) {
    tracker_.onSynchronized(
        [this, callback = std::move(callback)](std::chrono::system_clock::time_point when) {
            notifier_.flush();
            {
                std::scoped_lock lock(statusMutex_);
                lastSync_ = when;
            }
            if (callback) callback(when);
        });
}

MountStatus MountFilesystem::status() const {
    MountStatus status;
    status.entries = writeBack_->entries();
    status.offline = reachability_.offline();
    status.reachable = tracker_.following() && !status.offline;
    status.cacheBytes = cache_.usedBytes();
    status.cacheLimit = settings_.cacheMaxBytes;
    status.pinned = pinner_.progress();
    std::scoped_lock lock(statusMutex_);
    status.lastSync = lastSync_;
    return status;
}

bool MountFilesystem::uploadNow(std::chrono::steady_clock::time_point deadline) {
    return writeBack_->uploadNow(deadline);
}

void MountFilesystem::onWaitingChanged(std::function<void(int)> callback) {
    writeBack_->onWaitingChanged(std::move(callback));
}

void MountFilesystem::start(fuse_session* session) {
    notifier_.start(session);
    writeBack_->start();
    tracker_.start();
    pinner_.start();
    started_ = true;
}

void MountFilesystem::stop() {
    pinner_.stop();
    if (started_.exchange(false)) {
        // What waits goes up before the mount ends, as far as the deadline allows; the rest stays journaled.
        writeBack_->uploadNow(std::chrono::steady_clock::now() + settings_.deadline, true);
    }
    writeBack_->stop();
    tracker_.stop();
    notifier_.stop();
}

void MountFilesystem::deliver(const AppliedChanges& changes) {
    for (const auto& identifier : changes.discarded)
        cache_.discard(identifier);
    const auto& told = changes.invalidations;
    for (const auto& deletion : told.deletions)
        notifier_.deleteEntry(deletion.folder, deletion.child, deletion.name);
    for (const auto& entry : told.entries)
        notifier_.invalidateEntry(entry.folder, entry.name);
    for (const auto& inode : told.inodes)
        notifier_.invalidateInode(inode.inode, inode.data);
    const bool changed = !changes.updated.empty() || !changes.removed.empty() || !changes.discarded.empty() ||
                         !told.entries.empty() || !told.deletions.empty() || !told.inodes.empty();
    if (changed) pinner_.changed(changes.removed);
}

struct stat MountFilesystem::attributesOf(const ItemRecord& record, Inode inode) const {
    struct stat attributes {};
    attributes.st_ino = inode;
    attributes.st_mode = record.isFolder ? S_IFDIR | (0777 & ~settings_.umask)
                         : record.isLink ? S_IFLNK | 0777
                                         : S_IFREG | (0666 & ~settings_.umask);
    attributes.st_nlink = record.isFolder ? 2 : 1;
    attributes.st_uid = settings_.uid;
    attributes.st_gid = settings_.gid;
    attributes.st_size = record.isFolder ? 0 : record.size;
    attributes.st_blocks = (attributes.st_size + 511) / 512;
    attributes.st_blksize = 1 << 20;
    attributes.st_mtim = timeOf(record.modified ? record.modified : record.created, mountedAt_);
    attributes.st_ctim = attributes.st_mtim;
    attributes.st_atim = attributes.st_mtim;
    return attributes;
}

Delivery MountFilesystem::fetchContents(const host::ItemIdentifier& identifier,
                                        const host::ItemVersion& version, host::ByteRange wanted,
                                        std::stop_token stop, Deadline deadline) {
    // Whole pages: the kernel asks for them anyway, and the next read finds them present.
    constexpr std::int64_t alignment = 4096;
    // Offline, a fetch fails at once rather than wait for its retries to fail.
    reachability_.check();
    auto fetched = reachability_.record([&] {
        return hostcalls::fetchPartialContents(*extension_, identifier, version, wanted, alignment,
                                               {.stop = std::move(stop), .deadline = deadline});
    });
    if (fetched.item && fetched.item->itemVersion().contentVersion != version.contentVersion) {
        // Bytes of another version would be mixed into this one's: the reader learns of it instead.
        std::error_code ignored;
        std::filesystem::remove(fetched.file, ignored);
        mountLog().error("item " + identifier + " changed on the service while it was read");
        throw Error("tidewright", 1, {}, "the file changed on the service while it was read");
    }
    return Delivery{std::move(fetched.file), fetched.range};
}

std::string MountFilesystem::readUncached(const OpenFile& file, std::int64_t offset, std::int64_t length,
                                          std::stop_token stop, Deadline deadline) {
    const auto delivery =
        fetchContents(file.identifier, file.version, {offset, length}, std::move(stop), deadline);
    const Removed remove{delivery.file};
    const FileDescriptor fd(::open(delivery.file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw std::system_error(errno, std::generic_category(), "cannot open a fetched range");
    // The delivery holds its range at the file's own offsets.
    return readAt(fd.get(), offset,
                  std::min(length, delivery.range.location + delivery.range.length - offset));
}

}  // namespace tw::mount
