#pragma once
// What the mount knows of the space: a record per item, the listings of the folders it has listed through the
// extension (each with the unique names its children are shown by), the inodes the kernel knows them by, and
// the trash view. Change batches from the working set are applied here; each application returns what the
// kernel must be told and what the caller must do, and tells no one itself.
//
// Thread-safe: every member takes the catalog's one lock, never held across a host call. A listing made
// while a change batch was applied may be older than that batch: it answers its request but is not kept.
//
// Kept listings persist: which folders are listed, with their children's records, go to the state store
// with the change tracker's next save, and a restart rebuilds them from the saved records, so that a folder
// listed before lists again without the service. While the service is known to be unreachable, a listing
// that would have to be asked for fails at once (EIO).

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "host_calls/enumeration_calls.h"
#include "host_calls/limits.h"
#include "mount/inode_table.h"
#include "mount/item_record.h"
#include "mount/reachability.h"
#include "mount/state_store.h"
#include "mount/trash_view.h"

namespace tw::mount {

using Deadline = hostcalls::Deadline;
using ChangeBatch = hostcalls::ChangeBatch;

// What the kernel must hear of after a change, in the Notifier's terms.
struct Invalidations {
    struct Entry {  // the name may now lead elsewhere, or nowhere (a cached miss included)
        Inode folder;
        std::string name;
        bool operator==(const Entry&) const = default;
    };
    struct Deletion {  // `child` (0: unknown) is gone from the folder's `name`
        Inode folder;
        Inode child;
        std::string name;
        bool operator==(const Deletion&) const = default;
    };
    struct Attributes {  // the inode's attributes changed; with `data`, its contents too
        Inode inode;
        bool data;
        bool operator==(const Attributes&) const = default;
    };
    std::vector<Entry> entries;
    std::vector<Deletion> deletions;
    std::vector<Attributes> inodes;
};

// The outcome of one change batch.
struct AppliedChanges {
    Invalidations invalidations;
    std::vector<host::ItemIdentifier> discarded;  // items whose cached contents are no longer theirs
    std::vector<ItemRecord> updated;              // records to save
    std::vector<host::ItemIdentifier> removed;    // records to delete from the saved state
    // Items a change batch said otherwise of than the catalog does, left alone because they were changed
    // here after the batch was asked for: which of the two is newer only a look at the item tells.
    std::vector<host::ItemIdentifier> unsure;
};

class ItemCatalog {
public:
    using Id = host::ItemIdentifier;
    // Whether the item holds changes made here that the service does not have yet: a change from the feed
    // never discards its cached contents (nor replaces its content version, size and date in the view).
    // Called with the catalog's lock held; it must not call the catalog.
    using HoldsLocalChanges = std::function<bool(const Id&)>;

    struct Child {
        std::string name;  // as shown: unique within the folder
        Id identifier;
        bool isFolder = false;
        bool isLink = false;
    };
    struct Found {
        Id identifier;
        ItemRecord record;
        bool superseded = false;  // an inode of a file's earlier contents (the record is theirs)
    };
    struct Entry {
        Inode inode;
        ItemRecord record;
    };

    // What a restart finds of an earlier run: the records saved, and the folders whose listings were kept,
    // each rebuilt from the saved records whose parent it is.
    struct Saved {
        std::vector<ItemRecord> records;
        std::vector<Id> listed;
    };

    // `extension` lists the folders, and must outlive the catalog, as must `reachability` (none: every
    // listing is asked for), which each listing's outcome is told to.
    ItemCatalog(host::ReplicatedExtension& extension, TrashView trash, HoldsLocalChanges holdsLocalChanges,
                Saved saved = {}, Reachability* reachability = nullptr);

    const std::string& trashFolderName() const { return trashFolderName_; }

    // --- what the kernel asks ---------------------------------------------------------------------------
    // What an inode stands for; none for an inode the kernel never had or an item that is gone.
    std::optional<Found> find(Inode inode) const;
    // The children of a folder as the mount shows them, listed through the extension when not known (its
    // errors are thrown; ETIMEDOUT at `deadline`).
    std::vector<Child> children(const Id& folder, Deadline deadline);
    // The child of `folder` shown as `name`, if any (listed as for children()).
    std::optional<Id> childNamed(const Id& folder, const std::string& name, Deadline deadline);
    // The item's inode (made when missing) with one lookup counted, and its record; none without a record.
    std::optional<Entry> lookUp(const Id& identifier);
    std::optional<Inode> knownInode(const Id& identifier) const;
    std::optional<ItemRecord> record(const Id& identifier) const;
    void forget(Inode inode, std::uint64_t lookups);
    // Where the item is shown, from the mount's root ("docs/a.txt"); none when a folder on the way is
    // unknown.
    std::optional<std::string> pathOf(const Id& identifier) const;
    // The text of a generated .trashinfo (empty when its item is no longer in the trash).
    std::string trashInfoText(const Id& info) const;

    // --- what the change feed says ----------------------------------------------------------------------
    // A mark of this moment, taken before a change batch (or an item) is asked for.
    std::uint64_t changeMark() const;
    // A batch of the service's, asked for at `askedAt` (changeMark()): an item changed here since then keeps
    // what the catalog says (the batch may predate that change; AppliedChanges::unsure). Without `askedAt`,
    // the batch is what a change made here answered.
    AppliedChanges apply(const ChangeBatch& batch, std::optional<std::uint64_t> askedAt = std::nullopt);
    // Forgets every listing (they may lack changes the feed will not repeat): the kernel is to forget their
    // names.
    Invalidations dropListings();
    // Records dropped since the last call because the trash no longer holds them (gone for good).
    std::vector<Id> takePurged();
    // The listings kept and dropped since the last call, with the present records of the kept ones' children
    // (those the service knows), for the state store.
    ListingChanges takeListingChanges();

    // --- what a file manager writes into the trash's info folder ----------------------------------------
    // Its .trashinfo files (and their temporary copies) before it moves the item into the trash: kept in
    // memory, shown in the info folder until the trash's own .trashinfo of that name takes their place.
    Id addDraft(const std::string& name);
    static bool isDraft(const Id& identifier);
    // What the trash view makes up (its folders, the .trashinfo files) or a draft in it: nothing the service
    // holds.
    static bool isMadeUp(const Id& identifier);
    // Renamed within the info folder, over another draft of that name if there is one.
    void renameDraft(const Id& draft, const std::string& name);
    void removeDraft(const Id& draft);

    // --- changes made here --------------------------------------------------------------------------------
    // A record for a file the service does not know yet, shown in its parent's listing (listed again or
    // not); returns the local identity it is known by until created() replaces it: a new one when the
    // record has none, else the record's own (one the journal kept across a restart).
    Id addLocal(ItemRecord record);
    // The service made the local item: it is known by the service's identifier from now on, with the same
    // inode. The feed's later report of the item then changes nothing.
    AppliedChanges created(const Id& local, const ItemRecord& made);
    // A file holding local changes has a new size or modification date.
    void updateLocal(const Id& identifier, std::int64_t size, std::optional<host::Date> modified);
    // The item holds local changes of that size and date, made on the service's `contentVersion` (a
    // restart's journal): its records show them from now on, whatever the service lists.
    void holdLocal(const Id& identifier, std::int64_t size, std::optional<host::Date> modified,
                   std::string contentVersion);
    // The item no longer holds local changes (they were dropped): the service's record shows again.
    void dropLocalContents(const Id& identifier);
    // A local file renamed or moved (within the mount).
    void moveLocal(const Id& local, const Id& parent, const std::string& name);
    // A local file removed before the service made it.
    void removeLocal(const Id& local);
    // A file's local contents went up: `record` is the item as the service now has it. With `replaced` the
    // local contents gave way to the service's (they went up as a conflicting copy): the item gets a fresh
    // inode, as for any change of contents; otherwise the inode stays, as its pages are these contents.
    AppliedChanges uploaded(const ItemRecord& record, bool replaced);
    // A safe save: the local file `local` was renamed over the file `target`, whose contents it now is. The
    // target's inode goes on standing for its earlier contents; `local`'s inode is the target's from now on.
    AppliedChanges adopt(const Id& local, const Id& target);
    // The outcome of a change the service answered (a folder made, an item renamed, moved or trashed),
    // applied as the feed's report of it will be.
    AppliedChanges changedHere(const std::vector<ItemRecord>& records);

private:
    // With mutex_ held: the item was just changed here (AppliedChanges::unsure).
    void changedHereNow(const Id& identifier);
    struct Listing {
        std::vector<Id> children;                    // in the service's order
        std::unordered_map<Id, std::string> nameOf;  // shown names, unique
        std::unordered_map<std::string, Id> byName;
    };
    struct Touched;

    // All with mutex_ held.
    const ItemRecord* recordOf(const Id& identifier) const;
    TrashView::RecordOf recordLookup() const;
    // Names the listing's children (and, for the trash, makes the records of their .trashinfo files).
    void nameChildren(const Id& folder, Listing& listing);
    std::vector<Child> present(const Id& folder, const Id& listed, const std::vector<Id>& identifiers);
    std::string shownName(const Id& folder, const Id& child, const std::string& serviceName) const;
    // A record from the service of an item holding local changes shows the local contents' size, date and
    // content version (those of the record `before` it, when nothing else is known of them).
    void keepLocalContents(ItemRecord& record, const ItemRecord* before) const;
    // A change batch's steps: what each folder showed before, who left and who came, and at the end what
    // the kernel is to forget.
    void touch(Touched& touched, const Id& folder) const;
    void leave(Touched& touched, const Id& folder, const Id& child, const std::string& serviceName);
    void arrive(Touched& touched, const Id& folder, const Id& child, const std::string& serviceName);
    void tell(const Touched& touched, Invalidations& out);
    void supersede(const Id& identifier, const ItemRecord& before, Invalidations& out);
    // A local item leaves the folder's listing.
    void unlist(const Id& folder, const Id& child);

    // The folder's listing through the extension (called without the lock), kept when no change came
    // meanwhile.
    std::vector<Id> listing(const Id& folder, Deadline deadline);
    // With mutex_ held: each saved listing rebuilt from the records whose parent it is.
    void restoreListings(const std::vector<Id>& listed);
    // With mutex_ held: what takeListingChanges() is to say of the folder.
    void listingKept(const Id& folder);
    void listingDropped(const Id& folder);

    host::ReplicatedExtension& extension_;
    Reachability* const reachability_;
    const std::string trashFolderName_;
    const HoldsLocalChanges holdsLocalChanges_;

    mutable std::mutex mutex_;
    TrashView trash_;
    InodeTable inodes_;
    std::unordered_map<Id, ItemRecord> records_;
    std::unordered_map<Id, Listing> listings_;  // complete listings only
    std::set<Id> renamedLogged_;
    std::vector<Id> purged_;
    struct {
        bool droppedAll = false;
        std::set<Id> kept, dropped;
        std::set<Id> changed;        // changed here: a saved listing must not show what they were
    } listingChanges_;               // since the last takeListingChanges()
    std::uint64_t generation_ = 0;   // counts applied change batches: an older listing is not kept
    std::uint64_t changesHere_ = 0;  // counts the changes made here (changeMark())
    std::unordered_map<Id, std::uint64_t> changedHereAt_;  // the mark of each item's last change made here
    std::uint64_t nextLocal_ = 1;
    std::unordered_map<Id, std::set<Id>> localChildren_;  // local items by parent
    struct LocalContents {
        std::int64_t size = 0;
        std::optional<host::Date> modified;
        std::string contentVersion;  // the service's version they were changed from
    };
    std::unordered_map<Id, LocalContents> localContents_;  // of the items holding local changes
    std::map<std::string, Id> drafts_;                     // in the info folder, by name
    std::uint64_t nextDraft_ = 1;
};

}  // namespace tw::mount
