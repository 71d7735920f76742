#pragma once
// The filesystem the mount serves, put together: the item catalog (records, listings, names, inodes, the
// trash view) answers lookup, getattr and readdir from memory; reads are served from the content cache; the
// change tracker follows the working set, and what changed reaches the kernel through the notifier. The FUSE
// request handlers (fuse_operations.cpp) are thin: each asks these parts. Read-only: every change is refused
// with EROFS.
//
// The request handlers run on libfuse's threads, several at once; none holds a lock across a host call, and
// none waits past the deadline of its settings. The kernel hears of changes only through the notifier.

#include <fuse_lowlevel.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "mount/change_tracker.h"
#include "mount/content_cache.h"
#include "mount/item_catalog.h"
#include "mount/mount_status.h"
#include "mount/notifier.h"
#include "mount/open_handles.h"
#include "mount/state_store.h"
#include "platform/host/host.h"

namespace tw::mount {

struct MountSettings {
    std::filesystem::path mountpoint;
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

    // The name of the trash folder at the mount's root: ".Trash-" and the mounting user's id.
    std::string trashFolderName() const { return catalog_.trashFolderName(); }

    // The request handlers' table, which reaches the parts below.
    struct Handlers;

private:
    // The saved records; sets savedAnchor_ and pending_ on the way.
    std::vector<ItemRecord> loadState();
    Deadline deadline() const { return std::chrono::steady_clock::now() + settings_.deadline; }
    struct stat attributesOf(const ItemRecord& record, Inode inode) const;
    // A range of one version of a file, through the extension; bytes of another version are refused.
    Delivery fetchContents(const host::ItemIdentifier& identifier, const host::ItemVersion& version,
                           host::ByteRange wanted, std::stop_token stop, Deadline deadline);
    // Tells the kernel (through the notifier) and the cache what a change batch changed.
    void deliver(const AppliedChanges& changes);

    std::shared_ptr<host::ReplicatedExtension> extension_;
    MountSettings settings_;
    std::chrono::system_clock::time_point mountedAt_;
    ContentCache cache_;
    std::unique_ptr<StateStore> store_;
    // Items holding changes made here that the service does not have yet, as the state file records them.
    // Read from the state file once; nothing changes it while mounted yet.
    std::set<host::ItemIdentifier> pending_;
    std::optional<host::SyncAnchor> savedAnchor_;
    Notifier notifier_;
    ItemCatalog catalog_;
    OpenHandles<OpenFile> files_;  // destroyed before the cache: they hold cache handles
    OpenHandles<OpenFolder> folders_;
    ChangeTracker tracker_;
};

}  // namespace tw::mount
