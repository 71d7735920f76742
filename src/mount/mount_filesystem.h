#pragma once
// The filesystem the mount serves: an inode per known item, a record per item answering lookup and getattr
// from memory, folder listings taken from the extension's enumerators and kept, reads served from the
// content cache, the service's trash as the mount's .Trash-$UID folder, and the working set followed so
// that what changes on the service reaches the kernel. Read-only: every change is refused with EROFS.
//
// The request handlers run on libfuse's threads, several at once; none holds the lock across a host call,
// and none waits past the deadline of its settings. The kernel hears of changes only through the notifier.

#include <fuse_lowlevel.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "mount/content_cache.h"
#include "mount/host_calls.h"
#include "mount/item_record.h"
#include "mount/notifier.h"
#include "platform/host/host.h"
#include "mount/state_store.h"

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

    // Called after each round of change tracking that reached the end of the feed, with the time it ended.
    void onSynchronized(std::function<void(std::chrono::system_clock::time_point)> callback);

    // The name of the trash folder at the mount's root: ".Trash-" and the mounting user's id.
    std::string trashFolderName() const;

    // Implementation details, public for the handlers' table.
    struct Handlers;

private:
    using Id = host::ItemIdentifier;
    struct InodeEntry {
        Id identifier;
        std::uint64_t lookups = 0;
    };
    struct Child {
        std::string name;
        Id identifier;
    };

    // All with mutex_ held.
    fuse_ino_t inodeFor(const Id& identifier);
    std::optional<fuse_ino_t> knownInode(const Id& identifier) const;
    const ItemRecord* recordOf(fuse_ino_t inode, Id* identifier = nullptr) const;
    struct stat attributesOf(const ItemRecord& record, fuse_ino_t inode) const;
    fuse_entry_param entryFor(const Id& identifier);  // counts a lookup
    std::string shownName(const ItemRecord& record);
    std::string trashPathOf(const ItemRecord& record) const;
    std::string trashInfoOf(const Id& identifier) const;
    void dropListings();

    // The children of a folder as the mount shows them, listed through the extension when not known.
    std::vector<Child> children(const Id& folder, Deadline deadline);
    std::vector<Id> listing(const Id& folder, Deadline deadline);
    Deadline deadline() const { return std::chrono::steady_clock::now() + settings_.deadline; }

    // A range of one version of a file, through the extension; bytes of another version are refused.
    Delivery fetchContents(const Id& identifier, const host::ItemVersion& version, host::ByteRange wanted,
                           std::stop_token stop, Deadline deadline);

    void track(std::stop_token stop);
    void followChanges(host::Enumerator& workingSet, std::stop_token stop);
    void apply(const ChangeBatch& batch);
    void save(const std::vector<ItemRecord>& updated, std::vector<Id> removed);
    // What an open file or folder handle (fuse_file_info::fh) points to. The filesystem owns it: a handle the
    // kernel never releases (a file still open when the mount ends) goes with the filesystem.
    std::uint64_t keepOpen(std::shared_ptr<void> object);
    void releaseOpen(std::uint64_t handle);

    std::shared_ptr<host::ReplicatedExtension> extension_;
    MountSettings settings_;
    ContentCache cache_;
    std::unique_ptr<StateStore> store_;
    Notifier notifier_;
    std::chrono::system_clock::time_point mountedAt_;

    mutable std::mutex mutex_;
    std::unordered_map<fuse_ino_t, InodeEntry> inodes_;
    std::unordered_map<Id, fuse_ino_t> inodeOf_;
    fuse_ino_t nextInode_ = 2;
    std::unordered_map<Id, ItemRecord> records_;
    std::unordered_map<Id, std::vector<Id>> listings_;  // complete listings only
    std::unordered_map<Id, Id> trashedFrom_;            // the folder an item was in before the trash
    std::set<Id> renamedLogged_;
    std::vector<Id> purged_;        // removed records not yet saved
    std::uint64_t generation_ = 0;  // counts applied change batches: an older listing is not kept
    std::optional<host::SyncAnchor> anchor_;
    std::function<void(std::chrono::system_clock::time_point)> onSynchronized_;

    std::mutex openMutex_;
    std::unordered_map<std::uint64_t, std::shared_ptr<void>> open_;

    std::mutex trackMutex_;
    std::condition_variable_any trackWake_;
    std::jthread tracker_;
};

}  // namespace tw::mount
