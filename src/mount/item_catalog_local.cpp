// The item catalog's changes made on this machine: files the service does not know yet, the local contents
// of files being written, what the service answered to a change sent, and a file manager's drafts in the
// trash's info folder.
#include <utility>

#include "mount/display_names.h"
#include "mount/inode_table.h"
#include "mount/item_catalog.h"

namespace tw::mount {

using Id = ItemCatalog::Id;

// --- items made here ------------------------------------------------------------------------------------

Id ItemCatalog::addLocal(ItemRecord record) {
    std::scoped_lock lock(mutex_);
    if (record.identifier.empty()) record.identifier = localIdentity(nextLocal_++);
    ++generation_;
    const Id identifier = record.identifier;
    const Id parent = record.parent;
    const std::string name = record.name;
    records_[identifier] = std::move(record);
    localChildren_[parent].insert(identifier);
    if (const auto found = listings_.find(parent); found != listings_.end()) {
        auto& listing = found->second;
        listing.children.push_back(identifier);
        // The newest child keeps a free name as it is; only a taken one makes the folder's names change.
        if (parent != host::trashContainer && displayName(name) == name && !listing.byName.contains(name) &&
            !(parent == host::rootContainer && name == trashFolderName_)) {
            listing.nameOf[identifier] = name;
            listing.byName[name] = identifier;
        } else {
            nameChildren(parent, listing);
        }
    }
    return identifier;
}

void ItemCatalog::updateLocal(const Id& identifier, std::int64_t size, std::optional<host::Date> modified) {
    std::scoped_lock lock(mutex_);
    const auto record = records_.find(identifier);
    auto [local, made] = localContents_.try_emplace(identifier);
    if (made && record != records_.end())
        local->second.contentVersion = record->second.version.contentVersion;
    local->second.size = size;
    if (modified) local->second.modified = modified;
    if (record != records_.end()) {
        record->second.size = size;
        record->second.modified = local->second.modified;
    }
}

void ItemCatalog::holdLocal(const Id& identifier, std::int64_t size, std::optional<host::Date> modified,
                            std::string contentVersion) {
    {
        std::scoped_lock lock(mutex_);
        localContents_[identifier] = {size, modified, std::move(contentVersion)};
    }
    updateLocal(identifier, size, modified);
}

void ItemCatalog::dropLocalContents(const Id& identifier) {
    std::scoped_lock lock(mutex_);
    localContents_.erase(identifier);
}

void ItemCatalog::moveLocal(const Id& local, const Id& parent, const std::string& name) {
    std::scoped_lock lock(mutex_);
    const auto record = records_.find(local);
    if (record == records_.end()) return;
    ++generation_;
    const Id before = record->second.parent;
    unlist(before, local);
    record->second.parent = parent;
    record->second.name = name;
    localChildren_[parent].insert(local);
    if (const auto listing = listings_.find(parent); listing != listings_.end()) {
        listing->second.children.push_back(local);
        nameChildren(parent, listing->second);
    }
}

void ItemCatalog::removeLocal(const Id& local) {
    std::scoped_lock lock(mutex_);
    localContents_.erase(local);
    const auto record = records_.find(local);
    if (record == records_.end()) return;
    ++generation_;
    unlist(record->second.parent, local);
    records_.erase(record);
}

void ItemCatalog::unlist(const Id& folder, const Id& child) {
    if (const auto locals = localChildren_.find(folder); locals != localChildren_.end()) {
        locals->second.erase(child);
        if (locals->second.empty()) localChildren_.erase(locals);
    }
    if (const auto listing = listings_.find(folder); listing != listings_.end()) {
        std::erase(listing->second.children, child);
        nameChildren(folder, listing->second);
    }
}

AppliedChanges ItemCatalog::uploaded(const ItemRecord& record, bool replaced) {
    AppliedChanges changes;
    {
        std::scoped_lock lock(mutex_);
        localContents_.erase(record.identifier);
        const auto known = records_.find(record.identifier);
        if (known != records_.end() && !replaced) {
            // The kernel's pages are of these very contents: the record takes the service's version of them.
            ++generation_;
            changedHereNow(record.identifier);
            known->second = record;
            changes.updated.push_back(record);
            return changes;
        }
    }
    return changedHere({record});
}

AppliedChanges ItemCatalog::adopt(const Id& local, const Id& target) {
    AppliedChanges changes;
    std::scoped_lock lock(mutex_);
    const auto from = records_.find(local);
    const auto to = records_.find(target);
    if (from == records_.end() || to == records_.end()) return changes;
    ++generation_;
    const ItemRecord made = from->second;
    unlist(made.parent, local);
    records_.erase(from);
    // The target's inode keeps its earlier contents for the handles open on it; the local file's inode, whose
    // pages are the new contents, is the target's from here on.
    inodes_.supersede(target, to->second);
    inodes_.rename(local, target);
    localContents_.erase(local);
    localContents_[target] = {made.size, made.modified, to->second.version.contentVersion};
    changedHereNow(target);
    to->second.size = made.size;
    to->second.modified = made.modified;
    return changes;
}

AppliedChanges ItemCatalog::changedHere(const std::vector<ItemRecord>& records) {
    ChangeBatch batch;
    for (const auto& record : records)
        batch.updated.push_back(itemFor(record));
    return apply(batch);
}

// --- drafts in the info folder --------------------------------------------------------------------------

namespace {
const std::string draftPrefix = "\x02draft-";
}

bool ItemCatalog::isDraft(const Id& identifier) {
    return identifier.starts_with(draftPrefix);
}

bool ItemCatalog::isMadeUp(const Id& identifier) {
    return identifier == TrashView::folder || identifier == TrashView::infoFolder ||
           TrashView::isInfo(identifier) || isDraft(identifier);
}

Id ItemCatalog::addDraft(const std::string& name) {
    std::scoped_lock lock(mutex_);
    const Id draft = draftPrefix + std::to_string(nextDraft_++);
    if (const auto old = drafts_.find(name); old != drafts_.end()) records_.erase(old->second);
    drafts_[name] = draft;
    records_[draft] = ItemRecord{.identifier = draft, .parent = TrashView::infoFolder, .name = name};
    return draft;
}

void ItemCatalog::renameDraft(const Id& draft, const std::string& name) {
    std::scoped_lock lock(mutex_);
    const auto record = records_.find(draft);
    if (record == records_.end()) return;
    drafts_.erase(record->second.name);
    if (const auto old = drafts_.find(name); old != drafts_.end() && old->second != draft)
        records_.erase(old->second);
    drafts_[name] = draft;
    record->second.name = name;
}

void ItemCatalog::removeDraft(const Id& draft) {
    std::scoped_lock lock(mutex_);
    const auto record = records_.find(draft);
    if (record == records_.end()) return;
    if (const auto named = drafts_.find(record->second.name);
        named != drafts_.end() && named->second == draft)
        drafts_.erase(named);
    records_.erase(record);
}

}  // namespace tw::mount
