#pragma once
// What the mount keeps across restarts: the last change-feed anchor, the record of each known item and the
// changes made here that the service does not have yet, in one SQLite file under $XDG_STATE_HOME/tidewright/.

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

// A change made to an item on this machine that the service does not have yet. Its item keeps its local
// contents and fields until the change is sent: the feed's changes never discard them.
struct PendingChange {
    host::ItemIdentifier identifier;  // a local identity (inode_table.h) for an item not created yet
    host::ItemFieldSet fields = 0;    // what changed (host::ItemFields bits); contentsField: the cached file
    host::ItemVersion baseVersion;    // the version the change was made on (empty for a creation)
    bool operator==(const PendingChange&) const = default;
};

class StateStore {
public:
    struct Snapshot {
        std::optional<host::SyncAnchor> anchor;
        std::vector<ItemRecord> records;
    };

    // Opens or creates the database (missing folders 0700, the file 0600).
    explicit StateStore(const std::filesystem::path& file);
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    Snapshot load();
    // One transaction: `updated` records written over, `removed` ones deleted, then the anchor set.
    void save(const host::SyncAnchor& anchor, const std::vector<ItemRecord>& updated,
              const std::vector<host::ItemIdentifier>& removed);
    // Forgets the anchor and every record (the feed has to start again); pending changes stay.
    void clear();

    // The pending changes, one per item, in no particular order.
    std::vector<PendingChange> pendingChanges();
    // Records `change`, in place of the item's earlier one.
    void putPendingChange(const PendingChange& change);
    // The item's change reached the service, or was given up (nothing when it has none).
    void removePendingChange(const host::ItemIdentifier& identifier);

private:
    struct Database;
    std::unique_ptr<Database> database_;
};

}  // namespace tw::mount
