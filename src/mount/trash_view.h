#pragma once
// The service's trash as the mount shows it: the freedesktop.org trash folder ".Trash-$UID" at the mount's
// root, holding "files" (the trash container's items, under their names as the catalog shows them) and "info"
// (for each of those NAME, a generated NAME.trashinfo saying where the item was and when it was trashed).
//
// Not thread-safe: the item catalog guards it with its own lock.

#include <sys/types.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "mount/item_record.h"

namespace tw::mount {

class TrashView {
public:
    using Id = host::ItemIdentifier;
    // The record of an item the catalog knows, or null.
    using RecordOf = std::function<const ItemRecord*(const Id&)>;

    // Identities of what the view makes up: they start with a byte no service identifier holds.
    static const Id folder;      // .Trash-$UID
    static const Id infoFolder;  // .Trash-$UID/info ("files" is the trash container itself)
    static bool isInfo(const Id& identifier);
    static Id infoOf(const Id& item);
    static Id itemOf(const Id& info);
    static std::string infoName(const std::string& shownName) { return shownName + ".trashinfo"; }

    // The view of the user `uid` (whose id names the folder).
    explicit TrashView(uid_t uid);

    const std::string& folderName() const { return folderName_; }
    // Records of the folders the view makes up: the trash folder, files (the trash container) and info.
    std::vector<ItemRecord> folderRecords() const;
    // Whether `name` in the mount's root is another user's trash folder: it names nothing, and the service
    // is not asked.
    bool isOthersTrash(const std::string& name) const;

    // Where an item was before the trash, as the change feed told: kept while it stays there. Items the mount
    // only ever saw in the trash were at the top, as far as it can tell.
    void moved(const Id& item, const Id& fromParent, const Id& toParent);
    void forget(const Id& item);

    // The .trashinfo of a trashed item, and its record as "info/" lists it when files/ shows the item as
    // `shownName`.
    std::string infoText(const ItemRecord& item, const RecordOf& recordOf) const;
    ItemRecord infoRecord(const ItemRecord& item, const std::string& shownName,
                          const RecordOf& recordOf) const;

private:
    // The item's path from the mount's root before it was trashed (its own name at the end).
    std::string originalPath(const ItemRecord& item, const RecordOf& recordOf) const;

    std::string folderName_;
    std::unordered_map<Id, Id> trashedFrom_;
};

}  // namespace tw::mount
