#pragma once
// What the mount keeps across restarts: the last change-feed anchor and the record of each known item, in
// one SQLite file under $XDG_STATE_HOME/tidewright/.

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "mount/item_record.h"
#include "platform/host/enumeration.h"

namespace tw::mount {

// $XDG_STATE_HOME/tidewright (default ~/.local/state/tidewright) and $XDG_CACHE_HOME/tidewright (default
// ~/.cache/tidewright); relative XDG values are ignored, as the base directory rules say.
std::filesystem::path stateFolder();
std::filesystem::path cacheFolder();

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
    // Forgets the anchor and every record (the feed has to start again).
    void clear();

private:
    struct Database;
    std::unique_ptr<Database> database_;
};

}  // namespace tw::mount
