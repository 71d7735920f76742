#pragma once
// The filesystem the mount serves, put together: the item catalog (records, listings, names, inodes, the
// trash view) answers lookup, getattr and readdir from memory; reads are served from the content cache; the
// change tracker follows the working set, and what changed reaches the kernel through the notifier. Files
// written on the mount are the write-back's until the service has them; folders made, items renamed, moved
// and removed are sent to the service at once (mount_changes.cpp). The FUSE request handlers
// (fuse_operations.cpp) are thin: each asks these parts.
//
// The request handlers run on libfuse's threads, several at once; none holds a lock across a host call, and
// none waits past the deadline of its settings. The kernel hears of changes only through the notifier.

#include <fuse_lowlevel.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

#include "mount/change_tracker.h"
#include "mount/content_cache.h"
#include "mount/item_catalog.h"
#include "mount/mount_status.h"
#include "mount/notifier.h"
#include "mount/open_handles.h"
#include "mount/pinner.h"
#include "mount/reachability.h"
#include "mount/state_store.h"
#include "mount/write_back.h"
#include "platform/host/host.h"

namespace tw::mount {

struct MountSettings {
    std::filesystem::path mountpoint;
    std::string space;  // its name, shown in the mount table's source; none: "tidewright" alone
    std::chrono::milliseconds pollInterval = std::chrono::seconds(10);
    std::int64_t cacheMaxBytes = std::int64_t{10} << 30;
    // The longest a request handler waits for the extension (listing, fetch) and a change batch is waited
    // for.
    std::chrono::milliseconds deadline = std::chrono::seconds(90);
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t umask = 022;                              // files 0666 & ~umask, folders 0777 & ~umask
    std::vector<std::string> fuseOptions;            // further -o options for libfuse and the kernel
    std::filesystem::path cacheFolder;               // the content cache's files
    std::optional<std::filesystem::path> stateFile;  // where the anchor and records persist; none: nowhere
    std::chrono::milliseconds writeBack = std::chrono::seconds(5);   // from the last close to the upload
    std::chrono::milliseconds firstRetry = std::chrono::seconds(5);  // of a failed upload, doubling
};

class MountFilesystem {
public:
    // Opens the content cache and the state file (their errors are thrown).
    MountFilesystem(std::shared_ptr<host::ReplicatedExtension> extension, MountSettings settings);
    ~MountFilesystem();
    MountFilesystem(const MountFilesystem&) = delete;
    MountFilesystem& operator=(const MountFilesystem&) = delete;

    // The request handlers; the session's user data must be this object.
    static const fuse_lowlevel_ops& operations();

    // Starts the notifier and the change tracking on a mounted session; stop() ends both (before the
    // session is destroyed).
    void start(fuse_session* session);
    void stop();

    // Called after each round of change tracking that reached the end of the feed, once the kernel has been
    // told what the round changed, with the time it ended.
    void onSynchronized(std::function<void(std::chrono::system_clock::time_point)> callback);

    // What waits to be uploaded, whether the service answers, the last sync. Safe from any thread.
    MountStatus status() const;
    // Starts every pending upload now (not waiting for the write-back delay nor a retry's pause) and waits
    // until nothing waits to be uploaded or `deadline` passes. Returns whether everything is uploaded.
    bool uploadNow(std::chrono::steady_clock::time_point deadline);
    // Called, on any thread, with the number of changes waiting to be uploaded whenever it changes.
    void onWaitingChanged(std::function<void(int waiting)> callback);
    // Called, on any thread, whenever the service stops or starts being reachable (true: offline).
    void onOfflineChanged(std::function<void(bool offline)> callback);

    // The name of the trash folder at the mount's root: ".Trash-" and the mounting user's id.
    std::string trashFolderName() const { return catalog_.trashFolderName(); }

    // The request handlers' table, which reaches the parts below.
    struct Handlers;

private:
    // The saved records and listings; sets savedAnchor_ on the way.
    ItemCatalog::Saved loadState();
    // Offline: what needs the service fails at once. Back online: the feed and the uploads catch up now.
    void reachabilityChanged(bool offline);
    // A file opened: its contents in the cache (or its local file), or the text of a .trashinfo. `flags`
    // as open(2)'s. Throws std::system_error with the errno to answer.
    std::shared_ptr<OpenFile> openFile(Inode inode, int flags, std::stop_token stop);
    // Whether the catalog still says what `found` said of the inode's contents.
    bool unchanged(Inode inode, const ItemCatalog::Found& found) const;
    // The open of what `found` says the inode is; none when an upload changed that meanwhile.
    std::shared_ptr<OpenFile> openFile(Inode inode, const ItemCatalog::Found& found, int flags,
                                       std::stop_token stop);

    // --- changes (mount_changes.cpp); each throws std::system_error with the errno to answer ---------------
    // A symbolic link `name` to `target` in the folder `parent`: kept on this machine only.
    ItemCatalog::Entry makeLink(Inode parent, const std::string& name, const std::string& target);
    std::string linkTarget(Inode inode);
    // A new file `name` in the folder `parent`, opened for writing.
    std::pair<ItemCatalog::Entry, std::shared_ptr<OpenFile>> createFile(Inode parent, const std::string& name,
                                                                        int flags);
    ItemCatalog::Entry makeFolder(Inode parent, const std::string& name);
    void removeEntry(Inode parent, const std::string& name, bool folder);
    void renameEntry(Inode parent, const std::string& name, Inode newParent, const std::string& newName,
                     unsigned flags);
    // setattr: a size (through `file` when the kernel names an open one), dates; modes and owners are
    // accepted and not kept, as the service keeps none.
    ItemRecord setAttributes(Inode inode, const struct stat& wanted, int toSet, const OpenFile* file);
    // Fetches of ranges of one version of a file, each with a deadline of its own.
    RangeFetcher fetcherFor(const ItemCatalog::Id& identifier, const host::ItemVersion& version);
    // The folder `inode` names, with its identifier; ENOENT, ENOTDIR otherwise.
    ItemCatalog::Id folderAt(Inode inode) const;
    // The state of a file's changes for user.tidewright.state; none for what is not a file.
    std::optional<UploadState> stateOf(Inode inode) const;
    // user.tidewright.pinned: whether the item is pinned, itself or through a folder above it.
    bool pinnedAt(Inode inode) const;
    // Pins or unpins the item itself; `flags` as setxattr's (XATTR_CREATE, XATTR_REPLACE).
    void pinAt(Inode inode, bool pinned, int flags);
    void checkWritable() const;
    // A draft in the trash's info folder, made (empty) when `make`.
    std::shared_ptr<Draft> draftOf(const ItemCatalog::Id& draft, bool make);
    Deadline deadline() const { return std::chrono::steady_clock::now() + settings_.deadline; }
    struct stat attributesOf(const ItemRecord& record, Inode inode) const;
    // A range of one version of a file, through the extension; bytes of another version are refused.
    Delivery fetchContents(const host::ItemIdentifier& identifier, const host::ItemVersion& version,
                           host::ByteRange wanted, std::stop_token stop, Deadline deadline);
    // Bytes of an open file fetched for one read and not kept (the cache is full): what the fetch delivered
    // of [offset, offset + length).
    std::string readUncached(const OpenFile& file, std::int64_t offset, std::int64_t length,
                             std::stop_token stop, Deadline deadline);
    // Tells the kernel (through the notifier) and the cache what a change batch changed.
    void deliver(const AppliedChanges& changes);

    std::shared_ptr<host::ReplicatedExtension> extension_;
    MountSettings settings_;
    std::chrono::system_clock::time_point mountedAt_;
    ContentCache cache_;
    std::unique_ptr<StateStore> store_;
    std::optional<host::SyncAnchor> savedAnchor_;
    Reachability reachability_;
    Notifier notifier_;
    ItemCatalog catalog_;
    Pinner pinner_;
    std::unique_ptr<WriteBack> writeBack_;
    std::mutex draftsMutex_;
    std::unordered_map<ItemCatalog::Id, std::shared_ptr<Draft>> drafts_;
    OpenHandles<OpenFile> files_;  // destroyed before the cache: they hold cache handles
    OpenHandles<OpenFolder> folders_;
    ChangeTracker tracker_;
    std::atomic<bool> started_{false};
    mutable std::mutex statusMutex_;
    std::optional<std::chrono::system_clock::time_point> lastSync_;
    std::function<void(bool)> onOffline_;  // under statusMutex_
};

}  // namespace tw::mount
