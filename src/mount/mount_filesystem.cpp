#include "mount/mount_filesystem.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "mount/display_names.h"
#include "mount/mount_errors.h"
#include "mount/mount_log.h"

namespace tw::mount {
namespace {

using Clock = std::chrono::steady_clock;

// Identifiers of the folders and files the mount makes up itself: they start with a byte no item
// identifier of the service holds.
const host::ItemIdentifier trashFolder = "\x01trash";
const host::ItemIdentifier trashInfoFolder = "\x01trash-info";
const std::string trashInfoPrefix = "\x01info/";
const std::string trashInfoSuffix = ".trashinfo";

// The change feed tells the kernel what changed, so what it caches may stay long.
constexpr double cacheSeconds = 3600;

// What a plain listing says of an entry that has no inode yet (as libfuse's own high-level layer does).
constexpr ino_t unknownInode = 0xffffffff;

// The largest read the kernel sends (the max_read mount option says the same).
constexpr unsigned maxRequest = 1 << 20;

bool isTrashInfo(const host::ItemIdentifier& identifier) {
    return identifier.starts_with(trashInfoPrefix);
}

timespec timeOf(const std::optional<host::Date>& date, std::chrono::system_clock::time_point fallback) {
    const double seconds =
        date ? date->secondsSince1970 : std::chrono::duration<double>(fallback.time_since_epoch()).count();
    const double whole = std::floor(seconds);
    return timespec{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
}

// An open file: a cache handle for an item's contents, or the text of a generated .trashinfo.
struct OpenFile {
    host::ItemIdentifier identifier;
    host::ItemVersion version;
    std::int64_t size = 0;
    std::shared_ptr<ContentCache::Handle> handle;
    std::string text;
};

// A folder's entries as they were when it was opened, so that offsets stay stable while it is read.
struct FolderSnapshot {
    struct Entry {
        std::string name;
        host::ItemIdentifier identifier;  // empty for "." and ".."
        bool isFolder = true;
    };
    std::vector<Entry> entries;
};

MountFilesystem& self(fuse_req_t request) {
    return *static_cast<MountFilesystem*>(fuse_req_userdata(request));
}

void replyError(fuse_req_t request) {
    fuse_reply_err(request, errnoFor(std::current_exception()));
}

void interrupted(fuse_req_t, void* stop) {
    static_cast<std::stop_source*>(stop)->request_stop();
}

}  // namespace

MountFilesystem::MountFilesystem(std::shared_ptr<host::ReplicatedExtension> extension, MountSettings settings)
    : extension_(std::move(extension)),
      settings_(std::move(settings)),
      cache_(settings_.cacheFolder, settings_.cacheMaxBytes),
      mountedAt_(std::chrono::system_clock::now()) {
    if (settings_.stateFile) {
        store_ = std::make_unique<StateStore>(*settings_.stateFile);
        auto snapshot = store_->load();
        anchor_ = snapshot.anchor;
        for (auto& record : snapshot.records)
            records_[record.identifier] = std::move(record);
    }
    const auto folder = [](const Id& identifier, const Id& parent, std::string name) {
        return ItemRecord{
            .identifier = identifier, .parent = parent, .name = std::move(name), .isFolder = true};
    };
    records_[host::rootContainer] = folder(host::rootContainer, host::rootContainer, "");
    records_[trashFolder] = folder(trashFolder, host::rootContainer, trashFolderName());
    records_[host::trashContainer] = folder(host::trashContainer, trashFolder, "files");
    records_[trashInfoFolder] = folder(trashInfoFolder, trashFolder, "info");
    inodes_[FUSE_ROOT_ID] = InodeEntry{host::rootContainer, 1};
    inodeOf_[host::rootContainer] = FUSE_ROOT_ID;
}

MountFilesystem::~MountFilesystem() {
    stop();
}

std::string MountFilesystem::trashFolderName() const {
    return ".Trash-" + std::to_string(settings_.uid);
}

void MountFilesystem::onSynchronized(std::function<void(std::chrono::system_clock::time_point)> callback) {
    std::scoped_lock lock(mutex_);
    onSynchronized_ = std::move(callback);
}

void MountFilesystem::start(fuse_session* session) {
    notifier_.start(session);
    tracker_ = std::jthread([this](std::stop_token stop) { track(stop); });
}

void MountFilesystem::stop() {
    if (tracker_.joinable()) {
        tracker_.request_stop();
        trackWake_.notify_all();
        tracker_.join();
    }
    notifier_.stop();
}

// --- inodes and records ---------------------------------------------------------------------------------

fuse_ino_t MountFilesystem::inodeFor(const Id& identifier) {
    if (auto known = inodeOf_.find(identifier); known != inodeOf_.end()) return known->second;
    const fuse_ino_t inode = nextInode_++;
    inodes_[inode] = InodeEntry{identifier, 0};
    inodeOf_[identifier] = inode;
    return inode;
}

std::optional<fuse_ino_t> MountFilesystem::knownInode(const Id& identifier) const {
    if (auto known = inodeOf_.find(identifier); known != inodeOf_.end()) return known->second;
    return std::nullopt;
}

const ItemRecord* MountFilesystem::recordOf(fuse_ino_t inode, Id* identifier) const {
    const auto entry = inodes_.find(inode);
    if (entry == inodes_.end()) return nullptr;
    const auto record = records_.find(entry->second.identifier);
    if (record == records_.end()) return nullptr;
    if (identifier) *identifier = entry->second.identifier;
    return &record->second;
}

struct stat MountFilesystem::attributesOf(const ItemRecord& record, fuse_ino_t inode) const {
    struct stat attributes {};
    attributes.st_ino = inode;
    attributes.st_mode =
        record.isFolder ? S_IFDIR | (0777 & ~settings_.umask) : S_IFREG | (0666 & ~settings_.umask);
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

fuse_entry_param MountFilesystem::entryFor(const Id& identifier) {
    fuse_entry_param entry{};
    entry.ino = inodeFor(identifier);
    ++inodes_[entry.ino].lookups;
    entry.attr = attributesOf(records_.at(identifier), entry.ino);
    entry.attr_timeout = cacheSeconds;
    entry.entry_timeout = cacheSeconds;
    return entry;
}

std::string MountFilesystem::shownName(const ItemRecord& record) {
    auto shown = displayName(record.name);
    if (shown != record.name && renamedLogged_.insert(record.identifier).second)
        mountLog().info("the name of item " + record.identifier +
                        " cannot be a Linux file name; shown as \"" + shown + "\"");
    return shown;
}

std::string MountFilesystem::trashPathOf(const ItemRecord& record) const {
    // Where the item was before the trash, as far as the mount saw it; else at the top.
    std::string path = displayName(record.name);
    const auto from = trashedFrom_.find(record.identifier);
    Id folder = from == trashedFrom_.end() ? host::rootContainer : from->second;
    for (int depth = 0; folder != host::rootContainer && depth < 256; ++depth) {
        const auto parent = records_.find(folder);
        if (parent == records_.end() || parent->second.parent == host::trashContainer)
            return displayName(record.name);
        path = displayName(parent->second.name) + "/" + path;
        folder = parent->second.parent;
    }
    return path;
}

std::string MountFilesystem::trashInfoOf(const Id& identifier) const {
    const auto item = records_.find(identifier.substr(trashInfoPrefix.size()));
    if (item == records_.end()) return {};
    return trashInfo(trashPathOf(item->second), item->second.modified);
}

void MountFilesystem::dropListings() {
    for (const auto& [folder, children] : listings_) {
        const auto folderInode = knownInode(folder);
        if (!folderInode) continue;
        for (const auto& child : children)
            if (auto record = records_.find(child); record != records_.end())
                notifier_.invalidateEntry(*folderInode, displayName(record->second.name));
        notifier_.invalidateInode(*folderInode, false);
    }
    listings_.clear();
    ++generation_;
}

// --- listings -------------------------------------------------------------------------------------------

std::vector<MountFilesystem::Id> MountFilesystem::listing(const Id& folder, Deadline deadline) {
    std::uint64_t generation;
    {
        std::scoped_lock lock(mutex_);
        if (auto known = listings_.find(folder); known != listings_.end()) return known->second;
        generation = generation_;
    }
    const auto items = listContainer(*extension_, folder, deadline);
    std::scoped_lock lock(mutex_);
    // Changes applied while the listing was under way are newer than it: then it answers this request
    // but is not kept, and records already known are left as the changes made them.
    const bool current = generation == generation_;
    std::vector<Id> identifiers;
    std::set<Id> listed;
    for (const auto& item : items) {
        auto record = recordFor(*item);
        if (folder == host::trashContainer && record.parent != host::trashContainer) continue;
        if (folder == host::rootContainer && record.name == trashFolderName()) continue;
        if (!listed.insert(record.identifier).second) continue;
        identifiers.push_back(record.identifier);
        if (current || !records_.contains(record.identifier)) records_[record.identifier] = std::move(record);
    }
    if (current) {
        if (folder == host::trashContainer) {
            // Nodes the feed put in the trash that the trash no longer holds are gone for good.
            for (auto record = records_.begin(); record != records_.end();) {
                if (record->second.parent == host::trashContainer && !listed.contains(record->first)) {
                    purged_.push_back(record->first);
                    trashedFrom_.erase(record->first);
                    record = records_.erase(record);
                } else {
                    ++record;
                }
            }
        }
        listings_[folder] = identifiers;
    }
    return identifiers;
}

std::vector<MountFilesystem::Child> MountFilesystem::children(const Id& folder, Deadline deadline) {
    if (folder == trashFolder) return {{"files", host::trashContainer}, {"info", trashInfoFolder}};
    const bool info = folder == trashInfoFolder;
    const auto identifiers = listing(info ? host::trashContainer : folder, deadline);
    std::vector<Child> children;
    std::scoped_lock lock(mutex_);
    if (folder == host::rootContainer) children.push_back({trashFolderName(), trashFolder});
    for (const auto& identifier : identifiers) {
        const auto record = records_.find(identifier);
        if (record == records_.end()) continue;
        if (!info) {
            children.push_back({shownName(record->second), identifier});
            continue;
        }
        const Id infoIdentifier = trashInfoPrefix + identifier;
        const auto name = displayName(record->second.name) + trashInfoSuffix;
        records_[infoIdentifier] =
            ItemRecord{.identifier = infoIdentifier,
                       .parent = trashInfoFolder,
                       .name = name,
                       .size = static_cast<std::int64_t>(trashInfoOf(infoIdentifier).size()),
                       .modified = record->second.modified};
        children.push_back({name, infoIdentifier});
    }
    return children;
}

// --- change tracking ------------------------------------------------------------------------------------

void MountFilesystem::track(std::stop_token stop) {
    auto workingSet = extension_->enumerator(host::workingSet, host::Request{});
    while (!stop.stop_requested()) {
        followChanges(*workingSet, stop);
        std::unique_lock lock(trackMutex_);
        trackWake_.wait_for(lock, stop, settings_.pollInterval, [] { return false; });
    }
    workingSet->invalidate();
}

void MountFilesystem::followChanges(host::Enumerator& workingSet, std::stop_token stop) {
    std::optional<host::SyncAnchor> from;
    {
        std::scoped_lock lock(mutex_);
        from = anchor_;
    }
    try {
        if (!from) {
            from = currentAnchor(workingSet, stop, deadline());
            if (!from) return;  // the service did not answer; asked again at the next round
            {
                // A listing made before the anchor may lack changes that the feed from it will not repeat.
                std::scoped_lock lock(mutex_);
                dropListings();
                anchor_ = from;
            }
            save({}, {});
        }
        for (;;) {
            auto batch = nextChanges(workingSet, *from, stop, deadline());
            apply(batch);
            const bool moved = batch.anchor != *from;
            from = batch.anchor;
            if (!batch.moreComing) break;
            if (!moved) {
                mountLog().error("the change feed announces more changes without moving past " + *from);
                return;
            }
        }
    } catch (const Error& error) {
        if (error.domain() == fileProviderErrorDomain &&
            error.code() == static_cast<std::int64_t>(FileProviderErrorCode::syncAnchorExpired)) {
            mountLog().info("the change feed no longer reaches back to " + from.value_or("") +
                            "; folders are listed again");
            {
                std::scoped_lock lock(mutex_);
                dropListings();
                anchor_.reset();
            }
            if (store_) try {
                    store_->clear();
                } catch (const std::exception& failure) {
                    mountLog().error(std::string("the mount's state cannot be cleared: ") + failure.what());
                }
            return;
        }
        if (!stop.stop_requested()) mountLog().error(std::string("changes not followed: ") + error.what());
        return;
    } catch (const std::exception& error) {
        if (!stop.stop_requested()) mountLog().error(std::string("changes not followed: ") + error.what());
        return;
    }
    std::function<void(std::chrono::system_clock::time_point)> callback;
    {
        std::scoped_lock lock(mutex_);
        callback = onSynchronized_;
    }
    if (callback) callback(std::chrono::system_clock::now());
}

void MountFilesystem::apply(const ChangeBatch& batch) {
    std::vector<ItemRecord> updated;
    std::vector<Id> removed;
    {
        std::scoped_lock lock(mutex_);
        ++generation_;
        bool relistTrash = false;
        const auto forget = [this](const Id& folder, const Id& child, const std::string& name) {
            if (auto list = listings_.find(folder); list != listings_.end()) std::erase(list->second, child);
            if (auto folderInode = knownInode(folder))
                notifier_.deleteEntry(*folderInode, knownInode(child).value_or(0), displayName(name));
            if (folder == host::trashContainer)
                if (auto infoInode = knownInode(trashInfoFolder))
                    notifier_.invalidateEntry(*infoInode, displayName(name) + trashInfoSuffix);
        };
        const auto add = [this](const Id& folder, const Id& child, const std::string& name) {
            if (auto list = listings_.find(folder); list != listings_.end())
                if (std::find(list->second.begin(), list->second.end(), child) == list->second.end())
                    list->second.push_back(child);
            if (auto folderInode = knownInode(folder))
                notifier_.invalidateEntry(*folderInode, displayName(name));  // a cached miss included
            if (folder == host::trashContainer)
                if (auto infoInode = knownInode(trashInfoFolder))
                    notifier_.invalidateEntry(*infoInode, displayName(name) + trashInfoSuffix);
        };
        for (const auto& item : batch.updated) {
            auto record = recordFor(*item);
            if (record.identifier == host::rootContainer || record.identifier == host::trashContainer)
                continue;
            const auto old = records_.find(record.identifier);
            if (old == records_.end()) {
                add(record.parent, record.identifier, record.name);
            } else {
                const auto& before = old->second;
                if (before.parent == host::trashContainer && record.parent == host::trashContainer) {
                    // Still in the trash as far as the feed says; it may be gone for good: the trash is
                    // listed again, and what it lacks is dropped then.
                    relistTrash = true;
                    if (auto files = knownInode(host::trashContainer))
                        notifier_.invalidateEntry(*files, displayName(before.name));
                    if (auto info = knownInode(trashInfoFolder))
                        notifier_.invalidateEntry(*info, displayName(before.name) + trashInfoSuffix);
                }
                if (before.parent != record.parent || before.name != record.name) {
                    forget(before.parent, record.identifier, before.name);
                    add(record.parent, record.identifier, record.name);
                    if (record.parent == host::trashContainer && before.parent != host::trashContainer)
                        trashedFrom_[record.identifier] = before.parent;
                }
                if (before.version.contentVersion != record.version.contentVersion ||
                    before.size != record.size) {
                    cache_.discard(record.identifier);
                    if (auto inode = knownInode(record.identifier)) notifier_.invalidateInode(*inode, true);
                } else if (before != record) {
                    if (auto inode = knownInode(record.identifier)) notifier_.invalidateInode(*inode, false);
                }
            }
            if (record.parent != host::trashContainer) trashedFrom_.erase(record.identifier);
            updated.push_back(record);
            records_[record.identifier] = std::move(record);
        }
        for (const auto& identifier : batch.deleted) {
            const auto old = records_.find(identifier);
            if (old == records_.end()) continue;
            forget(old->second.parent, identifier, old->second.name);
            cache_.discard(identifier);
            trashedFrom_.erase(identifier);
            records_.erase(old);
            removed.push_back(identifier);
        }
        if (relistTrash) listings_.erase(host::trashContainer);
        anchor_ = batch.anchor;
    }
    save(updated, std::move(removed));
}

void MountFilesystem::save(const std::vector<ItemRecord>& updated, std::vector<Id> removed) {
    if (!store_) return;
    host::SyncAnchor anchor;
    {
        std::scoped_lock lock(mutex_);
        if (!anchor_) return;
        anchor = *anchor_;
        removed.insert(removed.end(), purged_.begin(), purged_.end());
        purged_.clear();
    }
    try {
        store_->save(anchor, updated, removed);
    } catch (const std::exception& error) {
        mountLog().error(std::string("the mount's state cannot be saved: ") + error.what());
    }
}

Delivery MountFilesystem::fetchContents(const Id& identifier, const host::ItemVersion& version,
                                        host::ByteRange wanted, std::stop_token stop, Deadline deadline) {
    auto fetched = fetchRange(*extension_, identifier, version, wanted, stop, deadline);
    if (fetched.item && fetched.item->itemVersion().contentVersion != version.contentVersion) {
        // Bytes of another version would be mixed into this one's: the reader learns of it instead.
        std::error_code ignored;
        std::filesystem::remove(fetched.delivery.file, ignored);
        mountLog().error("item " + identifier + " changed on the service while it was read");
        throw Error("tidewright", 1, {}, "the file changed on the service while it was read");
    }
    return fetched.delivery;
}

// --- request handlers -----------------------------------------------------------------------------------

struct MountFilesystem::Handlers {
    static void init(void*, fuse_conn_info* connection) {
        // Large requests, and reads spliced from the cache file's descriptor without a copy.
        connection->max_readahead = maxRequest;
        connection->max_read = maxRequest;  // as the max_read mount option says
        for (const unsigned capability :
             {FUSE_CAP_SPLICE_WRITE, FUSE_CAP_SPLICE_MOVE, FUSE_CAP_READDIRPLUS, FUSE_CAP_ASYNC_READ})
            if (connection->capable & capability) connection->want |= capability;
        connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;  // plus whenever the kernel asks
    }

    // Sets `folder` to the folder `inode` names; otherwise the errno that says why it names none.
    static int folderOf(MountFilesystem& fs, fuse_ino_t inode, Id& folder) {
        std::scoped_lock lock(fs.mutex_);
        const auto* record = fs.recordOf(inode, &folder);
        if (!record) return ENOENT;
        return record->isFolder ? 0 : ENOTDIR;
    }

    static void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) try {
        auto& fs = self(request);
        Id folder;
        if (const int error = folderOf(fs, parent, folder)) return (void)fuse_reply_err(request, error);
        const std::string wanted = name;
        std::optional<Id> found;
        // Another user's trash folder names nothing: it is not asked of the service.
        if (!(folder == host::rootContainer && wanted.starts_with(".Trash-") &&
              wanted != fs.trashFolderName())) {
            for (const auto& child : fs.children(folder, fs.deadline()))
                if (child.name == wanted) {
                    found = child.identifier;
                    break;
                }
        }
        fuse_entry_param entry{};
        {
            std::scoped_lock lock(fs.mutex_);
            if (found && fs.records_.contains(*found)) {
                entry = fs.entryFor(*found);
            } else {
                entry.entry_timeout = cacheSeconds;  // a miss, kept until the feed says otherwise
            }
        }
        fuse_reply_entry(request, &entry);
    } catch (...) {
        replyError(request);
    }

    static void forget(fuse_req_t request, fuse_ino_t inode, std::uint64_t lookups) {
        forgetOne(self(request), inode, lookups);
        fuse_reply_none(request);
    }

    static void forgetMulti(fuse_req_t request, size_t count, fuse_forget_data* forgets) {
        auto& fs = self(request);
        for (size_t i = 0; i < count; ++i)
            forgetOne(fs, forgets[i].ino, forgets[i].nlookup);
        fuse_reply_none(request);
    }

    static void forgetOne(MountFilesystem& fs, fuse_ino_t inode, std::uint64_t lookups) {
        std::scoped_lock lock(fs.mutex_);
        const auto entry = fs.inodes_.find(inode);
        if (entry == fs.inodes_.end() || inode == FUSE_ROOT_ID) return;
        entry->second.lookups -= std::min(lookups, entry->second.lookups);
        if (entry->second.lookups == 0) {
            fs.inodeOf_.erase(entry->second.identifier);
            fs.inodes_.erase(entry);
        }
    }

    static void getattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
        auto& fs = self(request);
        struct stat attributes;
        {
            std::scoped_lock lock(fs.mutex_);
            const auto* record = fs.recordOf(inode);
            if (!record) return (void)fuse_reply_err(request, ENOENT);
            attributes = fs.attributesOf(*record, inode);
        }
        fuse_reply_attr(request, &attributes, cacheSeconds);
    }

    static void opendir(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) try {
        auto& fs = self(request);
        Id folder;
        if (const int error = folderOf(fs, inode, folder)) return (void)fuse_reply_err(request, error);
        auto snapshot = std::make_unique<FolderSnapshot>();
        snapshot->entries.push_back({".", {}, true});
        snapshot->entries.push_back({"..", {}, true});
        const auto children = fs.children(folder, fs.deadline());
        {
            std::scoped_lock lock(fs.mutex_);
            for (const auto& child : children)
                if (const auto record = fs.records_.find(child.identifier); record != fs.records_.end())
                    snapshot->entries.push_back({child.name, child.identifier, record->second.isFolder});
        }
        info->fh = fs.keepOpen(std::move(snapshot));
        if (fuse_reply_open(request, info) != 0) fs.releaseOpen(info->fh);
    } catch (...) {
        replyError(request);
    }

    static void readdir(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info,
                        bool plus) {
        auto& fs = self(request);
        const auto& snapshot = *reinterpret_cast<FolderSnapshot*>(info->fh);
        std::vector<char> buffer(size);
        size_t used = 0;
        std::scoped_lock lock(fs.mutex_);
        for (auto next = static_cast<size_t>(std::max<off_t>(offset, 0)); next < snapshot.entries.size();
             ++next) {
            const auto& entry = snapshot.entries[next];
            const bool real = !entry.identifier.empty() && fs.records_.contains(entry.identifier);
            size_t needed;
            char* at = buffer.data() + used;
            const auto nextOffset = static_cast<off_t>(next + 1);
            if (!plus) {
                struct stat attributes {};
                // No inode is made for an entry the kernel has not looked up: it would never be forgotten.
                attributes.st_ino =
                    real ? fs.knownInode(entry.identifier).value_or(unknownInode) : FUSE_ROOT_ID;
                attributes.st_mode = entry.isFolder ? S_IFDIR : S_IFREG;
                needed =
                    fuse_add_direntry(request, at, size - used, entry.name.c_str(), &attributes, nextOffset);
            } else if (!real) {
                fuse_entry_param none{};
                none.attr.st_ino = FUSE_ROOT_ID;
                none.attr.st_mode = S_IFDIR;
                needed =
                    fuse_add_direntry_plus(request, at, size - used, entry.name.c_str(), &none, nextOffset);
            } else {
                // Counted as a lookup only when it fits: the kernel learns of no entry that does not.
                fuse_entry_param param{};
                param.ino = fs.inodeFor(entry.identifier);
                param.attr = fs.attributesOf(fs.records_.at(entry.identifier), param.ino);
                param.attr_timeout = cacheSeconds;
                param.entry_timeout = cacheSeconds;
                needed =
                    fuse_add_direntry_plus(request, at, size - used, entry.name.c_str(), &param, nextOffset);
                if (needed <= size - used) ++fs.inodes_[param.ino].lookups;
            }
            if (needed > size - used) break;
            used += needed;
        }
        fuse_reply_buf(request, buffer.data(), used);
    }

    static void readdirPlain(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                             fuse_file_info* info) {
        readdir(request, inode, size, offset, info, false);
    }
    static void readdirPlus(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                            fuse_file_info* info) {
        readdir(request, inode, size, offset, info, true);
    }

    static void releasedir(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
        self(request).releaseOpen(info->fh);
        fuse_reply_err(request, 0);
    }

    static void open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) try {
        auto& fs = self(request);
        if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC))
            return (void)fuse_reply_err(request, EROFS);
        auto file = std::make_unique<OpenFile>();
        {
            std::scoped_lock lock(fs.mutex_);
            const auto* record = fs.recordOf(inode, &file->identifier);
            if (!record) return (void)fuse_reply_err(request, ENOENT);
            if (record->isFolder) return (void)fuse_reply_err(request, EISDIR);
            file->version = record->version;
            file->size = record->size;
            if (isTrashInfo(file->identifier)) file->text = fs.trashInfoOf(file->identifier);
        }
        if (isTrashInfo(file->identifier)) {
            info->direct_io = 1;  // generated: its length may differ from what getattr said before
        } else {
            // Each read-ahead fetch has a deadline of its own.
            auto readAhead = [&fs, identifier = file->identifier, version = file->version](
                                 host::ByteRange wanted, std::stop_token stop) {
                return fs.fetchContents(identifier, version, wanted, stop, fs.deadline());
            };
            file->handle = fs.cache_.open({file->identifier, file->version.contentVersion, file->size},
                                          std::move(readAhead));
            info->keep_cache = 1;  // a new content version invalidates the kernel's pages
        }
        info->fh = fs.keepOpen(std::move(file));
        if (fuse_reply_open(request, info) != 0) fs.releaseOpen(info->fh);
    } catch (...) {
        replyError(request);
    }

    static void read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
        auto& fs = self(request);
        const auto& file = *reinterpret_cast<OpenFile*>(info->fh);
        if (!file.handle) {
            const auto from = std::min<size_t>(static_cast<size_t>(offset), file.text.size());
            // Replied from a copy: the kernel wakes the reader once it has the bytes, and the reader's close
            // may free `file` (release, on another thread) before this reply's write returns.
            const auto bytes = file.text.substr(from, std::min(size, file.text.size() - from));
            return (void)fuse_reply_buf(request, bytes.data(), bytes.size());
        }
        if (offset >= file.size) return (void)fuse_reply_buf(request, nullptr, 0);
        const auto length = std::min<std::int64_t>(static_cast<std::int64_t>(size), file.size - offset);
        std::stop_source stop;
        fuse_req_interrupt_func(request, interrupted, &stop);
        const auto deadline = fs.deadline();
        const auto fetch = [&](host::ByteRange wanted, std::stop_token cancelled) {
            return fs.fetchContents(file.identifier, file.version, wanted, cancelled, deadline);
        };
        std::int64_t present = 0;
        int error = 0;
        try {
            present = file.handle->ensure(offset, length, fetch, stop.get_token(), deadline);
        } catch (...) {
            error = errnoFor(std::current_exception());
        }
        // Waits for an interrupt callback under way: `stop` must outlive it.
        fuse_req_interrupt_func(request, nullptr, nullptr);
        if (error != 0) return (void)fuse_reply_err(request, error);
        fuse_bufvec data = FUSE_BUFVEC_INIT(static_cast<size_t>(std::min(present, length)));
        data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        data.buf[0].fd = file.handle->fd();
        data.buf[0].pos = offset;
        fuse_reply_data(request, &data, FUSE_BUF_SPLICE_MOVE);
    }

    static void release(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
        self(request).releaseOpen(info->fh);
        fuse_reply_err(request, 0);
    }

    static void statfs(fuse_req_t request, fuse_ino_t) {
        struct statvfs answer {};
        answer.f_bsize = 4096;
        answer.f_frsize = 4096;
        answer.f_namemax = 255;
        fuse_reply_statfs(request, &answer);
    }

    // This mount is read-only: every change is refused.
    static void refuse(fuse_req_t request) { fuse_reply_err(request, EROFS); }
};

const fuse_lowlevel_ops& MountFilesystem::operations() {
    static const fuse_lowlevel_ops table = [] {
        using H = Handlers;
        fuse_lowlevel_ops ops{};
        ops.init = H::init;
        ops.lookup = H::lookup;
        ops.forget = H::forget;
        ops.forget_multi = H::forgetMulti;
        ops.getattr = H::getattr;
        ops.opendir = H::opendir;
        ops.readdir = H::readdirPlain;
        ops.readdirplus = H::readdirPlus;
        ops.releasedir = H::releasedir;
        ops.open = H::open;
        ops.read = H::read;
        ops.release = H::release;
        ops.statfs = H::statfs;
        ops.setattr = [](fuse_req_t r, fuse_ino_t, struct stat*, int, fuse_file_info*) { H::refuse(r); };
        ops.mknod = [](fuse_req_t r, fuse_ino_t, const char*, mode_t, dev_t) { H::refuse(r); };
        ops.mkdir = [](fuse_req_t r, fuse_ino_t, const char*, mode_t) { H::refuse(r); };
        ops.unlink = [](fuse_req_t r, fuse_ino_t, const char*) { H::refuse(r); };
        ops.rmdir = [](fuse_req_t r, fuse_ino_t, const char*) { H::refuse(r); };
        ops.symlink = [](fuse_req_t r, const char*, fuse_ino_t, const char*) { H::refuse(r); };
        ops.rename = [](fuse_req_t r, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
            H::refuse(r);
        };
        ops.link = [](fuse_req_t r, fuse_ino_t, fuse_ino_t, const char*) { H::refuse(r); };
        ops.write = [](fuse_req_t r, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
            H::refuse(r);
        };
        ops.write_buf = [](fuse_req_t r, fuse_ino_t, fuse_bufvec*, off_t, fuse_file_info*) { H::refuse(r); };
        ops.create = [](fuse_req_t r, fuse_ino_t, const char*, mode_t, fuse_file_info*) { H::refuse(r); };
        ops.setxattr = [](fuse_req_t r, fuse_ino_t, const char*, const char*, size_t, int) { H::refuse(r); };
        ops.removexattr = [](fuse_req_t r, fuse_ino_t, const char*) { H::refuse(r); };
        ops.fallocate = [](fuse_req_t r, fuse_ino_t, int, off_t, off_t, fuse_file_info*) { H::refuse(r); };
        ops.copy_file_range = [](fuse_req_t r, fuse_ino_t, off_t, fuse_file_info*, fuse_ino_t, off_t,
                                 fuse_file_info*, size_t, int) { H::refuse(r); };
        return ops;
    }();
    return table;
}

std::uint64_t MountFilesystem::keepOpen(std::shared_ptr<void> object) {
    const auto handle = reinterpret_cast<std::uint64_t>(object.get());
    std::scoped_lock lock(openMutex_);
    open_.emplace(handle, std::move(object));
    return handle;
}

void MountFilesystem::releaseOpen(std::uint64_t handle) {
    std::shared_ptr<void> object;  // destroyed outside the lock
    std::scoped_lock lock(openMutex_);
    if (const auto found = open_.find(handle); found != open_.end()) {
        object = std::move(found->second);
        open_.erase(found);
    }
}

}  // namespace tw::mount
