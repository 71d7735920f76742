#pragma once
// Files changed on the mount, from the first write until the service has their contents: each one's local
// file (the content cache's file holding local changes, read and written by every handle of it), its row in
// the journal, and the uploads that send it.
//
// A changed file is journaled when a writer flushes it (close, fsync): its bytes reach the disk first, then
// its row is committed, so what a program was told is saved survives a crash. Its upload starts `delay` after
// the last writer closed it, or at once when asked (uploadNow: `status --wait`, unmount): a new file as a
// creation, a changed one as a modification on the version it was changed from, so that a change made on the
// service meanwhile ends as a conflicting copy rather than a lost edit. A file changed during its upload goes
// up again afterwards. A failed upload is tried again after growing pauses and never dropped.
//
// Thread-safe. No lock is held across a host call, and none of its locks while it calls the catalog.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "mount/content_cache.h"
#include "mount/item_catalog.h"
#include "mount/mount_status.h"
#include "mount/reachability.h"
#include "mount/state_store.h"

namespace tw::mount {

struct WriteBackSettings {
    std::chrono::milliseconds delay{5000};  // after the last close of a changed file
    std::chrono::milliseconds firstRetry{5000};
    std::chrono::milliseconds lastRetry{std::chrono::minutes(10)};
    std::chrono::milliseconds deadline{90000};  // of a fetch made to open a file for writing
    int uploads = 4;                            // at once
    std::filesystem::path stagingFolder;        // the copies of files being uploaded (made 0700)
};

// One file holding changes made here. Its handles share it; its contents are written through
// contents().fd() under `writing`, followed by WriteBack::wrote().
class LocalFile {
public:
    ContentCache::Handle& contents() const { return *contents_; }
    std::shared_ptr<ContentCache::Handle> shared() const { return contents_; }
    // The identifier it was first known by (a new file's local identity): its cache file's.
    const host::ItemIdentifier& identity() const { return identity_; }
    // Held through each write and truncation of the file, and while its upload copies it.
    std::mutex writing;

private:
    friend class WriteBack;
    LocalFile(std::shared_ptr<ContentCache::Handle> contents, host::ItemIdentifier identity)
        : contents_(std::move(contents)), identity_(std::move(identity)) {}

    std::shared_ptr<ContentCache::Handle> contents_;
    const host::ItemIdentifier identity_;
    std::atomic<std::uint64_t> generation{1};  // counts its changes (under `writing`)
    std::int64_t unflushed = 0;  // bytes written since the disk was last asked to start on them (`writing`)
    std::mutex journaling;       // orders the writes of its journal row
    // The rest is guarded by the WriteBack's mutex.
    PendingChange change;
    std::uint64_t journaled = 0;  // the generation its journal row stands for (0: none yet)
    int writers = 0;
    bool uploading = false;
    std::stop_source cancel;  // of the upload under way
    bool removed = false;
    bool suspended = false;
    bool settling = false;  // its upload ended with nothing left to send: it becomes the service's file
    std::chrono::steady_clock::time_point due = std::chrono::steady_clock::time_point::max();
    // The generation the last upload sent, and what it made of it, while a writer still has it open.
    std::uint64_t sent = 0;
    std::optional<ItemRecord> sentAs;
    bool sentAsCopy = false;
};

class WriteBack {
public:
    using Id = host::ItemIdentifier;
    using Deliver = std::function<void(const AppliedChanges&)>;

    // Puts the journal's files back: their local files reopened, the files made here back in the catalog,
    // each due for upload. `store` (none: nothing survives a restart), `reachability` (none: uploads tell no
    // one whether the service answered) and the rest must outlive it.
    WriteBack(host::ReplicatedExtension& extension, ContentCache& cache, ItemCatalog& catalog,
              StateStore* store, WriteBackSettings settings, Deliver deliver,
              Reachability* reachability = nullptr);
    ~WriteBack();
    WriteBack(const WriteBack&) = delete;
    WriteBack& operator=(const WriteBack&) = delete;

    void start();
    // Ends the uploads (one under way is cancelled and stays pending) and every wait of uploadNow().
    // Idempotent.
    void stop();

    // Whether the item holds local changes: for the catalog (takes a lock of its own only).
    bool holds(const Id& identifier) const;
    // The item's local file, if it has one. Once it has none, the catalog shows what its last upload made
    // of it (a new file's identifier is the service's then).
    std::shared_ptr<LocalFile> find(const Id& identifier) const;
    // The item's local file with one more writer, if it has one; waits while it becomes the service's file.
    std::shared_ptr<LocalFile> join(const Id& identifier);

    // A new empty file `name` in `parent`, with one writer: its local identity is the catalog's.
    std::shared_ptr<LocalFile> create(const Id& parent, const std::string& name);
    // A new symbolic link `name` to `target` in `parent`, journaled at once and never sent: its local
    // identity. Throws std::system_error (ENOSPC...) when it cannot be saved.
    Id createLink(const Id& parent, const std::string& name, const std::string& target);
    // The target of a link createLink() made.
    std::string linkTarget(LocalFile& file) const;
    // The item's local file with one more writer: the one it has, or one made of its cached contents, the
    // first `keep` bytes kept (fetched through `fetch` where missing) and the rest cut off.
    std::shared_ptr<LocalFile> openForWriting(const ItemRecord& record, std::int64_t keep,
                                              const RangeFetcher& fetch, std::stop_token stop,
                                              std::chrono::steady_clock::time_point deadline);
    // After a write of `length` bytes at `offset` through its descriptor, with `writing` held.
    void wrote(LocalFile& file, std::int64_t offset, std::int64_t length);
    // A truncation or a growth; takes `writing`.
    void resize(LocalFile& file, std::int64_t size);
    // Its modification date set (utimens).
    void touch(LocalFile& file, host::Date modified);
    // Makes the file's changes durable and journals them (a flush or an fsync). Throws std::system_error
    // (ENOSPC, EIO...) when they could not be saved.
    void commit(LocalFile& file);
    // A writer closed it; the last one starts the write-back delay.
    void closed(LocalFile& file);

    // The item was removed (unlink, or replaced by a rename): its local changes are dropped, and a file the
    // service has not made yet is never sent. Returns whether it had local changes.
    bool remove(const Id& identifier);
    // No upload of the item starts, and one under way is cancelled and waited for, until resume(): around a
    // removal sent to the service, which an upload ending after it would undo (a modification brings an
    // item back from the trash).
    void suspend(const Id& identifier);
    void resume(const Id& identifier);
    // A local file renamed or moved before its creation: it is made under the new name.
    void moved(const Id& local, const Id& parent, const std::string& name);
    // A safe save: the local file `local` was renamed over `target` (a file of the service's), whose new
    // contents it is: it goes up as a modification of the target. False when `local` is no longer a file
    // the service has not made (its creation ended meanwhile): nothing changed then.
    bool adopt(const Id& local, const ItemRecord& target);

    // Every file with changes not uploaded yet, and where it stands.
    std::vector<PendingEntry> entries() const;
    UploadState stateOf(const Id& identifier) const;
    // Every pending upload starts now; waits until none is left or `deadline` (or, `untilEachFailed`, until
    // each that is left has failed once more: a mount that ends does not wait out an unreachable service).
    // Returns whether none is left.
    bool uploadNow(std::chrono::steady_clock::time_point deadline, bool untilEachFailed = false);
    // Called with the number of files waiting whenever it changes (on the thread that changed it).
    void onWaitingChanged(std::function<void(int)> callback);
    // Whether the last upload that reached the service was refused because the space takes no changes (it
    // is read-only or unavailable): new changes are refused then.
    bool spaceRefusesChanges() const { return refusing_; }

private:
    using Clock = std::chrono::steady_clock;
    void restore();
    // With mutex_ held.
    static UploadState stateOf(const LocalFile& file);
    void work(std::stop_token stop);
    void upload(const std::shared_ptr<LocalFile>& file, std::stop_token stop);
    void failed(const std::shared_ptr<LocalFile>& file, std::exception_ptr error);
    // With mutex_ held: the next file whose upload may start now, or when the next one will be due.
    std::shared_ptr<LocalFile> nextDue(Clock::time_point now, Clock::time_point& wake) const;
    // A write, resize or touch: the catalog shows the file's size and date.
    void changedHere(LocalFile& file, std::optional<host::Date> modified);
    void journal(LocalFile& file, const Id& replacing = {});
    void unjournal(LocalFile& file, const Id& identifier);
    // With mutex_ held by `lock`: cancels the file's upload under way and waits for its end.
    void endUpload(LocalFile& file, std::unique_lock<std::mutex>& lock);
    void uploadEnded(LocalFile& file);
    // With `writing` held and no writer left: the file is what its last upload made of it.
    void settle(const std::shared_ptr<LocalFile>& file, const Id& identifier);
    void forget(const std::shared_ptr<LocalFile>& file);  // with mutex_ held
    // With mutex_ held: the item's local file, by its identifier or (until the catalog knows the made item)
    // a new file's local identity.
    std::shared_ptr<LocalFile> lookUp(const Id& identifier) const;
    void waitingChanged();  // without mutex_
    std::shared_ptr<LocalFile> add(std::shared_ptr<ContentCache::Handle> contents, PendingChange change);

    host::ReplicatedExtension& extension_;
    ContentCache& cache_;
    ItemCatalog& catalog_;
    StateStore* store_;
    const WriteBackSettings settings_;
    const Deliver deliver_;
    Reachability* const reachability_;

    mutable std::mutex heldMutex_;  // guards held_ alone: the catalog asks with its own lock held
    std::set<Id> held_;

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::map<Id, std::shared_ptr<LocalFile>> files_;  // by the item's identifier now
    std::map<Id, std::shared_ptr<LocalFile>> made_;   // by their local identities, new files just made
    std::function<void(int)> onWaiting_;
    int lastWaiting_ = -1;
    std::atomic<bool> refusing_{false};
    std::vector<std::jthread> workers_;
    bool stopping_ = false;
};

}  // namespace tw::mount
