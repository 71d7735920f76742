#pragma once
// What the mount keeps across restarts: the last change-feed anchor, the record of each known item, the
// folders whose listings are kept (a listing is the saved records whose parent the folder is, so that it is
// rebuilt at a restart and lists offline), the journal of changes made here that the service does not have
// yet and the pinned items, in one SQLite file under $XDG_STATE_HOME/tidewright/. Every commit is flushed to
// disk before it returns.

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "mount/item_record.h"
#include "platform/host/enumeration.h"
#include "platform/host/host.h"

namespace tw::mount {

// $XDG_STATE_HOME/tidewright (default ~/.local/state/tidewright) and $XDG_CACHE_HOME/tidewright (default
// ~/.cache/tidewright); relative XDG values are ignored, as the base directory rules say.
std::filesystem::path stateFolder();
std::filesystem::path cacheFolder();

// A file changed on this machine whose contents the service does not have yet: one row of the journal. Its
// local file is the content cache's file holding local changes under (`cacheIdentity`,
// `baseVersion.contentVersion`). The feed's changes never discard it; it goes once its upload settles it.
struct PendingChange {
    host::ItemIdentifier identifier;     // the service's, or a local identity (inode_table.h) for a new file
    host::ItemIdentifier cacheIdentity;  // the identity its local file is cached under (its first one)
    host::ItemIdentifier parent;         // where a new file is to be made, and its name
    std::string name;
    host::ItemVersion baseVersion;  // the service's version the change was made on (empty for a new file)
    std::optional<host::Date> modified;
    int attempts = 0;        // uploads tried and failed
    std::string lastError;   // the last failure in words
    bool localOnly = false;  // kept on this machine only: never uploaded
    bool isLink = false;     // a symbolic link (local-only), its target the local file's bytes
    bool operator==(const PendingChange&) const = default;
};

// What changed of the kept listings since they were last saved.
struct ListingChanges {
    bool droppedAll = false;                    // every listing saved before is forgotten first
    std::vector<host::ItemIdentifier> dropped;  // folders no longer listed
    std::vector<host::ItemIdentifier> kept;     // folders listed from now on
    std::vector<ItemRecord> records;            // of the kept folders' children, and of items changed here
    std::vector<host::ItemIdentifier> gone;     // items changed here that are no more: their records go
};

class StateStore {
public:
    struct Snapshot {
        std::optional<host::SyncAnchor> anchor;
        std::vector<ItemRecord> records;
        std::vector<host::ItemIdentifier> listed;  // the folders whose listings were kept
    };

    // Opens or creates the database (missing folders 0700, the file 0600).
    explicit StateStore(const std::filesystem::path& file);
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    Snapshot load();
    // One transaction: `updated` records written over, the listings' changes made (their records written
    // over too), `removed` records deleted, then the anchor set.
    void save(const host::SyncAnchor& anchor, const std::vector<ItemRecord>& updated,
              const std::vector<host::ItemIdentifier>& removed, const ListingChanges& listings = {});
    // Forgets the anchor, every record and every listing (the feed has to start again); pending changes stay.
    void clear();

    // The journal, one row per item, in identifier order.
    std::vector<PendingChange> pendingChanges();
    // Records `change` durably (it survives a power cut once this returns), in place of the row of
    // `replacing` (the change's identifier when empty: a new file's row is replaced once it is made).
    void putPendingChange(const PendingChange& change, const host::ItemIdentifier& replacing = {});
    // The item's change reached the service (nothing when it has none).
    void removePendingChange(const host::ItemIdentifier& identifier);

    // The pinned items (files and folders), in identifier order; clear() keeps them.
    std::vector<host::ItemIdentifier> pins();
    void pin(const host::ItemIdentifier& identifier, bool pinned);

private:
    struct Database;
    std::unique_ptr<Database> database_;
};

}  // namespace tw::mount
