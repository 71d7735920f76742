#include "mount/trash_view.h"

#include "mount/display_names.h"

namespace tw::mount {
namespace {
const std::string infoPrefix = "\x01info/";
// A trashed item's ancestors are walked up to this depth: records that loop never end the walk otherwise.
constexpr int deepest = 256;
}  // namespace

const TrashView::Id TrashView::folder = "\x01trash";
const TrashView::Id TrashView::infoFolder = "\x01trash-info";

bool TrashView::isInfo(const Id& identifier) {
    return identifier.starts_with(infoPrefix);
}

TrashView::Id TrashView::infoOf(const Id& item) {
    return infoPrefix + item;
}

TrashView::Id TrashView::itemOf(const Id& info) {
    return info.substr(infoPrefix.size());
}

TrashView::TrashView(uid_t uid) : folderName_(".Trash-" + std::to_string(uid)) {}

std::vector<ItemRecord> TrashView::folderRecords() const {
    const auto made = [](const Id& identifier, const Id& parent, std::string name) {
        return ItemRecord{
            .identifier = identifier, .parent = parent, .name = std::move(name), .isFolder = true};
    };
    return {made(folder, host::rootContainer, folderName_), made(host::trashContainer, folder, "files"),
            made(infoFolder, folder, "info")};
}

bool TrashView::isOthersTrash(const std::string& name) const {
    return name.starts_with(".Trash-") && name != folderName_;
}

void TrashView::moved(const Id& item, const Id& fromParent, const Id& toParent) {
    if (toParent != host::trashContainer)
        trashedFrom_.erase(item);
    else if (fromParent != host::trashContainer)
        trashedFrom_[item] = fromParent;
}

void TrashView::forget(const Id& item) {
    trashedFrom_.erase(item);
}

std::string TrashView::originalPath(const ItemRecord& item, const RecordOf& recordOf) const {
    std::string path = displayName(item.name);
    const auto from = trashedFrom_.find(item.identifier);
    Id at = from == trashedFrom_.end() ? host::rootContainer : from->second;
    for (int depth = 0; at != host::rootContainer && depth < deepest; ++depth) {
        const auto* parent = recordOf(at);
        // A folder the mount does not know, or one in the trash itself: the item's place is unknown.
        if (!parent || parent->parent == host::trashContainer) return displayName(item.name);
        path = displayName(parent->name) + "/" + path;
        at = parent->parent;
    }
    return path;
}

std::string TrashView::infoText(const ItemRecord& item, const RecordOf& recordOf) const {
    return trashInfo(originalPath(item, recordOf), item.modified);
}

ItemRecord TrashView::infoRecord(const ItemRecord& item, const std::string& shownName,
                                 const RecordOf& recordOf) const {
    return ItemRecord{.identifier = infoOf(item.identifier),
                      .parent = infoFolder,
                      .name = infoName(shownName),
                      .size = static_cast<std::int64_t>(infoText(item, recordOf).size()),
                      .modified = item.modified};
}

}  // namespace tw::mount
