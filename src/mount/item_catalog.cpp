#include "mount/item_catalog.h"

#include <algorithm>
#include <tuple>

#include "mount/display_names.h"
#include "mount/mount_log.h"

namespace tw::mount {
namespace {

using Id = ItemCatalog::Id;

// Whether a file's contents changed (a folder keeps its inode whatever its versions say).
bool contentsDiffer(const ItemRecord& a, const ItemRecord& b) {
    return !b.isFolder && (a.version.contentVersion != b.version.contentVersion || a.size != b.size);
}

// Keeps the first of each repeated value, in order; `key` orders them.
template <typename T, typename Key>
void dropRepeats(std::vector<T>& values, Key key) {
    std::set<decltype(key(values.front()))> seen;
    std::erase_if(values, [&](const T& value) { return !seen.insert(key(value)).second; });
}

// Whether the record is of an item of the service's that the state store keeps: not a file made here and
// not yet sent, a draft, or what the trash view makes up.
bool persists(const Id& identifier) {
    return !isLocalIdentity(identifier) && !ItemCatalog::isMadeUp(identifier) &&
           identifier != host::rootContainer && identifier != host::trashContainer;
}

void dropRepeats(Invalidations& told) {
    dropRepeats(told.entries, [](const auto& entry) { return std::make_tuple(entry.folder, entry.name); });
    dropRepeats(told.deletions, [](const auto& deletion) {
        return std::make_tuple(deletion.folder, deletion.child, deletion.name);
    });
    dropRepeats(told.inodes, [](const auto& inode) { return std::make_tuple(inode.inode, inode.data); });
}

}  // namespace

// The folders one change touches, with the names they showed before it, so that the names that lead
// elsewhere afterwards are told to the kernel once every change of the batch is in.
struct ItemCatalog::Touched {
    struct Folder {
        bool listed = false;  // a kept listing before the changes: `before` holds its names
        std::unordered_map<std::string, Id> before;
        std::vector<std::pair<std::string, Inode>> removed;  // unlisted: displayName and inode of who left
        std::vector<std::string> added;                      // unlisted: displayName of who came
    };
    std::unordered_map<Id, Folder> folders;
};

ItemCatalog::ItemCatalog(host::ReplicatedExtension& extension, TrashView trash,
                         HoldsLocalChanges holdsLocalChanges, Saved saved, Reachability* reachability)
    : extension_(extension),
      reachability_(reachability),
      trashFolderName_(trash.folderName()),
      holdsLocalChanges_(holdsLocalChanges ? std::move(holdsLocalChanges) : [](const Id&) { return false; }),
      trash_(std::move(trash)) {
    for (auto& record : saved.records)
        records_[record.identifier] = std::move(record);
    records_[host::rootContainer] = ItemRecord{
        .identifier = host::rootContainer, .parent = host::rootContainer, .name = "", .isFolder = true};
    for (auto& record : trash_.folderRecords())
        records_[record.identifier] = std::move(record);
    std::scoped_lock lock(mutex_);
    restoreListings(saved.listed);
}

void ItemCatalog::restoreListings(const std::vector<Id>& listed) {
    const std::set<Id> folders(listed.begin(), listed.end());
    std::unordered_map<Id, std::vector<const ItemRecord*>> children;
    for (const auto& [identifier, record] : records_)
        if (persists(identifier) && folders.contains(record.parent))
            children[record.parent].push_back(&record);
    for (const auto& folder : folders) {
        // A folder the saved records no longer hold is listed again when asked.
        const auto* record = recordOf(folder);
        if (!record || !record->isFolder) continue;
        auto& found = children[folder];
        // In the service's order, as near as the records tell: by creation.
        const auto created = [](const ItemRecord* item) {
            return item->created ? item->created->secondsSince1970 : 0.0;
        };
        std::sort(found.begin(), found.end(), [&](const ItemRecord* a, const ItemRecord* b) {
            return std::make_pair(created(a), a->identifier) < std::make_pair(created(b), b->identifier);
        });
        auto& listing = listings_[folder];
        for (const auto* child : found)
            listing.children.push_back(child->identifier);
        nameChildren(folder, listing);
    }
}

void ItemCatalog::listingKept(const Id& folder) {
    listingChanges_.dropped.erase(folder);
    listingChanges_.kept.insert(folder);
}

void ItemCatalog::listingDropped(const Id& folder) {
    listingChanges_.kept.erase(folder);
    listingChanges_.dropped.insert(folder);
}

ListingChanges ItemCatalog::takeListingChanges() {
    std::scoped_lock lock(mutex_);
    ListingChanges changes;
    changes.droppedAll = listingChanges_.droppedAll;
    changes.dropped.assign(listingChanges_.dropped.begin(), listingChanges_.dropped.end());
    for (const auto& folder : listingChanges_.kept) {
        const auto listing = listings_.find(folder);
        if (listing == listings_.end()) continue;
        changes.kept.push_back(folder);
        for (const auto& child : listing->second.children)
            if (const auto* record = recordOf(child); record && persists(child))
                changes.records.push_back(*record);
    }
    // A change made here reaches the saved records at once, not when the feed reports it: a restart in
    // between would rebuild a listing from what the item was.
    for (const auto& identifier : listingChanges_.changed) {
        if (!persists(identifier)) continue;
        if (const auto* record = recordOf(identifier))
            changes.records.push_back(*record);
        else
            changes.gone.push_back(identifier);
    }
    listingChanges_ = {};
    return changes;
}

// --- what the kernel asks -------------------------------------------------------------------------------

const ItemRecord* ItemCatalog::recordOf(const Id& identifier) const {
    const auto record = records_.find(identifier);
    return record == records_.end() ? nullptr : &record->second;
}

TrashView::RecordOf ItemCatalog::recordLookup() const {
    return [this](const Id& identifier) { return recordOf(identifier); };
}

std::optional<ItemCatalog::Found> ItemCatalog::find(Inode inode) const {
    std::scoped_lock lock(mutex_);
    const auto* entry = inodes_.find(inode);
    if (!entry) return std::nullopt;
    if (entry->superseded) return Found{entry->identifier, *entry->superseded, true};
    const auto* record = recordOf(entry->identifier);
    if (!record) return std::nullopt;
    return Found{entry->identifier, *record, false};
}

std::optional<ItemCatalog::Entry> ItemCatalog::lookUp(const Id& identifier) {
    std::scoped_lock lock(mutex_);
    const auto* record = recordOf(identifier);
    if (!record) return std::nullopt;
    const Inode inode = inodes_.inodeFor(identifier);
    inodes_.countLookup(inode);
    return Entry{inode, *record};
}

std::optional<Inode> ItemCatalog::knownInode(const Id& identifier) const {
    std::scoped_lock lock(mutex_);
    return inodes_.knownInode(identifier);
}

std::optional<ItemRecord> ItemCatalog::record(const Id& identifier) const {
    std::scoped_lock lock(mutex_);
    const auto* record = recordOf(identifier);
    return record ? std::optional<ItemRecord>(*record) : std::nullopt;
}

void ItemCatalog::forget(Inode inode, std::uint64_t lookups) {
    std::scoped_lock lock(mutex_);
    inodes_.forget(inode, lookups);
}

std::optional<std::string> ItemCatalog::pathOf(const Id& identifier) const {
    std::scoped_lock lock(mutex_);
    std::string path;
    Id at = identifier;
    for (int depth = 0; at != host::rootContainer; ++depth) {
        if (at == host::trashContainer) {
            path = trashFolderName_ + "/files/" + path;
            break;
        }
        const auto* record = recordOf(at);
        if (!record || depth > 4096) return std::nullopt;
        const auto name = shownName(record->parent, at, record->name);
        path = path.empty() ? name : name + "/" + path;
        at = record->parent;
    }
    if (path.ends_with('/')) path.pop_back();
    return path;
}

std::string ItemCatalog::trashInfoText(const Id& info) const {
    std::scoped_lock lock(mutex_);
    const auto* item = recordOf(TrashView::itemOf(info));
    if (!item || item->parent != host::trashContainer) return {};
    return trash_.infoText(*item, recordLookup());
}

// --- listings and names ---------------------------------------------------------------------------------

void ItemCatalog::nameChildren(const Id& folder, Listing& listing) {
    std::vector<NameClaim> claims;
    for (const auto& child : listing.children) {
        const auto* record = recordOf(child);
        // The root's name of the trash folder is the mount's own: an item of that name is not shown.
        if (record && !(folder == host::rootContainer && record->name == trashFolderName_))
            claims.push_back({record->name, record->created, child});
    }
    const auto names = uniqueNames(claims);
    listing.nameOf.clear();
    listing.byName.clear();
    for (std::size_t k = 0; k < names.size(); ++k) {
        const auto& child = claims[k].identifier;
        listing.nameOf[child] = names[k];
        listing.byName[names[k]] = child;
        if (folder == host::trashContainer)
            records_[TrashView::infoOf(child)] =
                trash_.infoRecord(records_.at(child), names[k], recordLookup());
    }
}

std::vector<Id> ItemCatalog::listing(const Id& folder, Deadline deadline) {
    std::uint64_t generation;
    {
        std::scoped_lock lock(mutex_);
        if (const auto known = listings_.find(folder); known != listings_.end())
            return known->second.children;
        generation = generation_;
    }
    // Offline, a listing never made fails at once: it would only wait for its retries to fail.
    if (reachability_) reachability_->check();
    const auto list = [&] { return hostcalls::listContainer(extension_, folder, {.deadline = deadline}); };
    const auto items = reachability_ ? reachability_->record(list) : list();
    std::scoped_lock lock(mutex_);
    // Changes applied while the listing was under way are newer than it: then it answers this request but
    // is not kept, and records already known are left as the changes made them.
    const bool current = generation == generation_;
    std::vector<Id> identifiers;
    std::set<Id> listed;
    for (const auto& item : items) {
        auto record = recordFor(*item);
        if (folder == host::trashContainer && record.parent != host::trashContainer) continue;
        if (folder == host::rootContainer && record.name == trashFolderName_) continue;
        if (!listed.insert(record.identifier).second) continue;
        identifiers.push_back(record.identifier);
        const auto known = records_.find(record.identifier);
        if (known == records_.end()) {
            keepLocalContents(record, nullptr);
            records_.emplace(record.identifier, std::move(record));
        } else if (current) {
            keepLocalContents(record, &known->second);
            // Newer contents than the kernel may hold pages of: they get an inode of their own.
            if (contentsDiffer(known->second, record)) inodes_.supersede(record.identifier, known->second);
            known->second = std::move(record);
        }
    }
    // Files made here that the service does not list yet.
    if (const auto locals = localChildren_.find(folder); locals != localChildren_.end())
        for (const auto& local : locals->second)
            if (listed.insert(local).second) identifiers.push_back(local);
    if (!current) return identifiers;
    if (folder == host::trashContainer) {
        // Nodes the feed put in the trash that the trash no longer holds are gone for good.
        for (auto record = records_.begin(); record != records_.end();) {
            if (record->second.parent == host::trashContainer && !listed.contains(record->first)) {
                purged_.push_back(record->first);
                trash_.forget(record->first);
                records_.erase(TrashView::infoOf(record->first));
                record = records_.erase(record);
            } else {
                ++record;
            }
        }
    }
    auto& kept = listings_[folder];
    kept.children = identifiers;
    nameChildren(folder, kept);
    listingKept(folder);
    return identifiers;
}

std::vector<ItemCatalog::Child> ItemCatalog::present(const Id& folder, const Id& listed,
                                                     const std::vector<Id>& identifiers) {
    // The kept listing when there is one: changes applied since `identifiers` were listed are in it.
    Listing computed;
    const Listing* shown;
    if (const auto kept = listings_.find(listed); kept != listings_.end()) {
        shown = &kept->second;
    } else {
        computed.children = identifiers;
        nameChildren(listed, computed);
        shown = &computed;
    }
    const bool info = folder == TrashView::infoFolder;
    std::vector<Child> children;
    if (folder == host::rootContainer) children.push_back({trashFolderName_, TrashView::folder, true});
    for (const auto& identifier : shown->children) {
        const auto named = shown->nameOf.find(identifier);
        const auto* record = recordOf(identifier);
        if (!record || named == shown->nameOf.end()) continue;
        const auto& name = named->second;
        if (info) {
            children.push_back({TrashView::infoName(name), TrashView::infoOf(identifier), false});
            continue;
        }
        if (name != record->name && renamedLogged_.insert(identifier).second)
            mountLog().info("the name of item " + identifier +
                            (displayName(record->name) != record->name ? " cannot be a Linux file name"
                                                                       : " is another item's in its folder") +
                            "; shown as \"" + name + "\"");
        children.push_back({name, identifier, record->isFolder, record->isLink});
    }
    return children;
}

std::vector<ItemCatalog::Child> ItemCatalog::children(const Id& folder, Deadline deadline) {
    if (folder == TrashView::folder)
        return {{"files", host::trashContainer, true}, {"info", TrashView::infoFolder, true}};
    const Id listed = folder == TrashView::infoFolder ? host::trashContainer : folder;
    const auto identifiers = listing(listed, deadline);
    std::scoped_lock lock(mutex_);
    auto children = present(folder, listed, identifiers);
    if (folder == TrashView::infoFolder) {
        std::set<std::string> shown;
        for (const auto& child : children)
            shown.insert(child.name);
        for (const auto& [name, draft] : drafts_)
            if (!shown.contains(name)) children.push_back({name, draft, false});
    }
    return children;
}

std::optional<Id> ItemCatalog::childNamed(const Id& folder, const std::string& name, Deadline deadline) {
    if (folder == host::rootContainer) {
        if (name == trashFolderName_) return TrashView::folder;
        if (trash_.isOthersTrash(name)) return std::nullopt;
    }
    if (folder == TrashView::folder) {
        if (name == "files") return host::trashContainer;
        if (name == "info") return TrashView::infoFolder;
        return std::nullopt;
    }
    const bool info = folder == TrashView::infoFolder;
    std::optional<Id> draft;
    if (info) {
        std::scoped_lock lock(mutex_);
        if (const auto found = drafts_.find(name); found != drafts_.end()) draft = found->second;
    }
    const std::string suffix = TrashView::infoName("");
    if (info && !name.ends_with(suffix)) return draft;
    const std::string wanted = info ? name.substr(0, name.size() - suffix.size()) : name;
    const Id listed = info ? host::trashContainer : folder;
    // The trash's own .trashinfo of a name goes before a draft of it.
    const auto in = [&](const Listing& listing) -> std::optional<Id> {
        const auto found = listing.byName.find(wanted);
        if (found == listing.byName.end()) return draft;
        return info ? TrashView::infoOf(found->second) : found->second;
    };
    {
        std::scoped_lock lock(mutex_);
        if (const auto kept = listings_.find(listed); kept != listings_.end()) return in(kept->second);
    }
    const auto identifiers = listing(listed, deadline);
    std::scoped_lock lock(mutex_);
    if (const auto kept = listings_.find(listed); kept != listings_.end()) return in(kept->second);
    Listing computed;
    computed.children = identifiers;
    nameChildren(listed, computed);
    return in(computed);
}

std::string ItemCatalog::shownName(const Id& folder, const Id& child, const std::string& serviceName) const {
    if (const auto listing = listings_.find(folder); listing != listings_.end())
        if (const auto named = listing->second.nameOf.find(child); named != listing->second.nameOf.end())
            return named->second;
    return displayName(serviceName);
}

// --- what the change feed says --------------------------------------------------------------------------

void ItemCatalog::keepLocalContents(ItemRecord& record, const ItemRecord* before) const {
    if (!holdsLocalChanges_(record.identifier)) return;
    const auto local = localContents_.find(record.identifier);
    if (local != localContents_.end()) {
        record.size = local->second.size;
        record.modified = local->second.modified;
        record.version.contentVersion = local->second.contentVersion;
    } else if (before) {
        record.size = before->size;
        record.modified = before->modified;
        record.version.contentVersion = before->version.contentVersion;
    }
}

void ItemCatalog::touch(Touched& touched, const Id& folder) const {
    if (touched.folders.contains(folder)) return;
    auto& entry = touched.folders[folder];
    if (const auto listing = listings_.find(folder); listing != listings_.end()) {
        entry.listed = true;
        entry.before = listing->second.byName;
    }
}

void ItemCatalog::leave(Touched& touched, const Id& folder, const Id& child, const std::string& serviceName) {
    touch(touched, folder);
    if (const auto listing = listings_.find(folder); listing != listings_.end())
        std::erase(listing->second.children, child);
    auto& entry = touched.folders[folder];
    if (!entry.listed)
        entry.removed.emplace_back(displayName(serviceName), inodes_.knownInode(child).value_or(0));
}

void ItemCatalog::arrive(Touched& touched, const Id& folder, const Id& child,
                         const std::string& serviceName) {
    touch(touched, folder);
    if (const auto listing = listings_.find(folder); listing != listings_.end()) {
        auto& children = listing->second.children;
        if (std::find(children.begin(), children.end(), child) == children.end()) children.push_back(child);
    }
    auto& entry = touched.folders[folder];
    if (!entry.listed) entry.added.push_back(displayName(serviceName));
}

void ItemCatalog::tell(const Touched& touched, Invalidations& out) {
    for (const auto& [folder, entry] : touched.folders) {
        const auto listing = listings_.find(folder);
        std::unordered_map<std::string, Id> after;
        if (listing != listings_.end()) {
            nameChildren(folder, listing->second);
            after = listing->second.byName;
        }
        // The trash's names are also those of its .trashinfo files.
        std::vector<std::pair<std::optional<Inode>, bool>> views = {{inodes_.knownInode(folder), false}};
        if (folder == host::trashContainer)
            views.push_back({inodes_.knownInode(TrashView::infoFolder), true});
        for (const auto& [inode, info] : views) {
            if (!inode) continue;
            const auto shown = [info](const std::string& name) {
                return info ? TrashView::infoName(name) : name;
            };
            const auto childInode = [&](const Id& child) {
                return inodes_.knownInode(info ? TrashView::infoOf(child) : child).value_or(0);
            };
            if (!entry.listed) {
                for (const auto& [name, child] : entry.removed)
                    out.deletions.push_back({*inode, info ? 0 : child, shown(name)});
                for (const auto& name : entry.added)
                    out.entries.push_back({*inode, shown(name)});
                continue;
            }
            const bool dropped = listing == listings_.end();  // listed again when next asked
            for (const auto& [name, child] : entry.before) {
                const auto now = after.find(name);
                if (dropped)
                    out.entries.push_back({*inode, shown(name)});
                else if (now == after.end() || now->second != child)
                    out.deletions.push_back({*inode, childInode(child), shown(name)});
            }
            for (const auto& [name, child] : after)
                if (!entry.before.contains(name)) out.entries.push_back({*inode, shown(name)});
        }
    }
}

void ItemCatalog::supersede(const Id& identifier, const ItemRecord& before, Invalidations& out) {
    if (!inodes_.supersede(identifier, before)) return;
    // The name leads to a fresh inode from now on; the old one keeps its pages for the handles open on it.
    if (const auto folder = inodes_.knownInode(before.parent))
        out.entries.push_back({*folder, shownName(before.parent, identifier, before.name)});
}

std::uint64_t ItemCatalog::changeMark() const {
    std::scoped_lock lock(mutex_);
    return changesHere_;
}

void ItemCatalog::changedHereNow(const Id& identifier) {
    changedHereAt_[identifier] = ++changesHere_;
    listingChanges_.changed.insert(identifier);
}

AppliedChanges ItemCatalog::apply(const ChangeBatch& batch, std::optional<std::uint64_t> askedAt) {
    AppliedChanges changes;
    auto& out = changes.invalidations;
    // A batch of nothing changes nothing: a listing made meanwhile is as good as before.
    if (batch.updated.empty() && batch.deleted.empty()) return changes;
    Touched touched;
    std::scoped_lock lock(mutex_);
    ++generation_;
    // Whether the batch may predate a change made here to the item; a change made here is marked.
    const auto passedBy = [&](const Id& identifier) {
        if (!askedAt) {
            changedHereNow(identifier);
            return false;
        }
        const auto changed = changedHereAt_.find(identifier);
        return changed != changedHereAt_.end() && changed->second > *askedAt;
    };
    bool relistTrash = false;
    for (const auto& item : batch.updated) {
        auto record = recordFor(*item);
        const Id identifier = record.identifier;
        if (identifier == host::rootContainer || identifier == host::trashContainer) continue;
        const auto old = records_.find(identifier);
        if (passedBy(identifier)) {
            if (old == records_.end() || old->second != record) changes.unsure.push_back(identifier);
            continue;
        }
        keepLocalContents(record, old == records_.end() ? nullptr : &old->second);
        if (old == records_.end()) {
            arrive(touched, record.parent, identifier, record.name);
        } else {
            const ItemRecord before = old->second;
            // Still in the trash as far as the feed says; it may be gone for good: the trash is listed
            // again, and what it lacks is dropped then.
            if (before.parent == host::trashContainer && record.parent == host::trashContainer)
                relistTrash = true;
            if (contentsDiffer(before, record)) {
                changes.discarded.push_back(identifier);
                supersede(identifier, before, out);
            } else if (before != record) {
                if (const auto inode = inodes_.knownInode(identifier)) out.inodes.push_back({*inode, false});
            }
            if (before.parent != record.parent || before.name != record.name) {
                leave(touched, before.parent, identifier, before.name);
                arrive(touched, record.parent, identifier, record.name);
                trash_.moved(identifier, before.parent, record.parent);
                if (before.parent == host::trashContainer) records_.erase(TrashView::infoOf(identifier));
            }
        }
        changes.updated.push_back(record);
        records_[identifier] = std::move(record);
    }
    for (const auto& identifier : batch.deleted) {
        const auto old = records_.find(identifier);
        if (old == records_.end()) continue;
        if (passedBy(identifier)) {
            changes.unsure.push_back(identifier);
            continue;
        }
        leave(touched, old->second.parent, identifier, old->second.name);
        if (!holdsLocalChanges_(identifier)) changes.discarded.push_back(identifier);
        trash_.forget(identifier);
        records_.erase(old);
        records_.erase(TrashView::infoOf(identifier));
        changes.removed.push_back(identifier);
    }
    if (relistTrash) {
        touch(touched, host::trashContainer);
        listings_.erase(host::trashContainer);
        listingDropped(host::trashContainer);
    }
    // What the batch was asked after is older than it: no later batch can predate it.
    if (askedAt)
        std::erase_if(changedHereAt_, [&](const auto& changed) { return changed.second <= *askedAt; });
    tell(touched, out);
    dropRepeats(out);
    return changes;
}

Invalidations ItemCatalog::dropListings() {
    Invalidations out;
    std::scoped_lock lock(mutex_);
    for (const auto& [folder, listing] : listings_) {
        std::vector<std::pair<std::optional<Inode>, bool>> views = {{inodes_.knownInode(folder), false}};
        if (folder == host::trashContainer)
            views.push_back({inodes_.knownInode(TrashView::infoFolder), true});
        for (const auto& [inode, info] : views) {
            if (!inode) continue;
            for (const auto& [name, child] : listing.byName)
                out.entries.push_back({*inode, info ? TrashView::infoName(name) : name});
            out.inodes.push_back({*inode, false});
        }
    }
    listings_.clear();
    listingChanges_ = {.droppedAll = true, .changed = std::move(listingChanges_.changed)};
    ++generation_;
    return out;
}

std::vector<Id> ItemCatalog::takePurged() {
    std::scoped_lock lock(mutex_);
    return std::exchange(purged_, {});
}

// The service made a file made here (the write-back's creation).
AppliedChanges ItemCatalog::created(const Id& local, const ItemRecord& made) {
    AppliedChanges changes;
    Touched touched;
    std::scoped_lock lock(mutex_);
    const auto old = records_.find(local);
    if (old == records_.end()) return changes;
    ++generation_;
    const ItemRecord before = std::move(old->second);
    records_.erase(old);
    localContents_.erase(local);
    if (const auto locals = localChildren_.find(before.parent); locals != localChildren_.end()) {
        locals->second.erase(local);
        if (locals->second.empty()) localChildren_.erase(locals);
    }
    // Changed again while it went up: the local contents still show.
    if (holdsLocalChanges_(made.identifier))
        localContents_[made.identifier] = {before.size, before.modified, made.version.contentVersion};
    leave(touched, before.parent, local, before.name);
    inodes_.rename(local, made.identifier);
    // The name the local item had is the made item's: no name of the kernel's leads elsewhere for it.
    for (auto& [name, child] : touched.folders[before.parent].before)
        if (child == local) child = made.identifier;
    arrive(touched, made.parent, made.identifier, made.name);
    auto shown = made;
    keepLocalContents(shown, nullptr);
    records_[made.identifier] = shown;
    changedHereNow(made.identifier);
    changes.updated.push_back(made);
    tell(touched, changes.invalidations);
    return changes;
}

}  // namespace tw::mount
