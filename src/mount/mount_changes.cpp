// The changes a program makes on the mount: files opened for writing, created and resized go to the
// write-back; folders made, items renamed, moved and removed go to the service at once, through the host
// calls, and their answer is applied to the catalog as the feed's report of them will be.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/xattr.h>

#include <system_error>

#include "host_calls/item_calls.h"
#include "host_calls/template_item.h"
#include "mount/inode_table.h"
#include "mount/mount_filesystem.h"
#include "mount/mount_log.h"
#include "platform/text.h"

namespace tw::mount {
namespace {

using Id = ItemCatalog::Id;

[[noreturn]] void fail(int error) {
    throw std::system_error(error, std::generic_category());
}

// A name the service can hold: UTF-8 (anything else is refused before it is stored) within NAME_MAX bytes.
void checkName(const std::string& name) {
    if (name.size() > 255) fail(ENAMETOOLONG);
    if (name.empty() || decodeUTF8Lossy(name) != name) fail(EINVAL);
}

std::optional<host::Date> dateOf(const timespec& time) {
    return host::Date{static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9};
}

bool inTrashView(const Id& folder) {
    return folder == host::trashContainer || folder == TrashView::folder || folder == TrashView::infoFolder;
}

}  // namespace

RangeFetcher MountFilesystem::fetcherFor(const Id& identifier, const host::ItemVersion& version) {
    // Each fetch has a deadline of its own: a read-ahead's as much as a reader's.
    return [this, identifier, version](host::ByteRange wanted, std::stop_token cancelled) {
        return fetchContents(identifier, version, wanted, cancelled, deadline());
    };
}

Id MountFilesystem::folderAt(Inode inode) const {
    const auto found = catalog_.find(inode);
    if (!found) fail(ENOENT);
    if (!found->record.isFolder) fail(ENOTDIR);
    return found->identifier;
}

void MountFilesystem::checkWritable() const {
    // The service said it takes no changes now: a new one is refused, the pending ones wait.
    if (writeBack_->spaceRefusesChanges()) fail(EROFS);
}

std::shared_ptr<Draft> MountFilesystem::draftOf(const Id& draft, bool make) {
    std::scoped_lock lock(draftsMutex_);
    auto& bytes = drafts_[draft];
    if (!bytes && make) bytes = std::make_shared<Draft>();
    if (!bytes) drafts_.erase(draft);
    return drafts_.contains(draft) ? drafts_.at(draft) : nullptr;
}

std::optional<UploadState> MountFilesystem::stateOf(Inode inode) const {
    const auto found = catalog_.find(inode);
    if (!found || found->record.isFolder || TrashView::isInfo(found->identifier) ||
        ItemCatalog::isDraft(found->identifier))
        return std::nullopt;
    const auto state = writeBack_->stateOf(found->identifier);
    return state == UploadState::uploaded && pinner_.holds(found->record) ? UploadState::pinned : state;
}

bool MountFilesystem::pinnedAt(Inode inode) const {
    const auto found = catalog_.find(inode);
    return found && pinner_.pinnedThrough(found->identifier);
}

void MountFilesystem::pinAt(Inode inode, bool pinned, int flags) {
    const auto found = catalog_.find(inode);
    if (!found) fail(ENOENT);
    const auto& identifier = found->identifier;
    // What the trash view makes up and links are nothing of the service's to keep.
    if (found->record.isLink || ItemCatalog::isMadeUp(identifier)) fail(EPERM);
    // A file the service has not made yet has no identifier to pin by: its own contents are here anyway.
    if (isLocalIdentity(identifier)) fail(EAGAIN);
    const auto through = pinner_.pinnedThrough(identifier);
    if ((flags & XATTR_CREATE) && through) fail(EEXIST);
    if ((flags & XATTR_REPLACE) && !through) fail(ENODATA);
    if (!pinned && !through) fail(ENODATA);
    if (!pinned && *through != identifier) fail(EPERM);  // a folder above it is pinned: unpin that one
    if (pinner_.pin(identifier, pinned))
        mountLog().info(std::string(pinned ? "pinned " : "unpinned ") +
                        catalog_.pathOf(identifier).value_or(identifier));
}

std::shared_ptr<OpenFile> MountFilesystem::openFile(Inode inode, int flags, std::stop_token stop) {
    // The catalog is asked before the write-back: an upload that ends in between makes the local file the
    // service's, under that upload's version (and a new file's identifier), and the open asks again.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const auto found = catalog_.find(inode);
        if (!found) fail(ENOENT);
        if (auto file = openFile(inode, *found, flags, stop)) return file;
    }
    fail(ESTALE);
}

bool MountFilesystem::unchanged(Inode inode, const ItemCatalog::Found& found) const {
    const auto now = catalog_.find(inode);
    return now && now->identifier == found.identifier &&
           now->record.version.contentVersion == found.record.version.contentVersion &&
           now->record.size == found.record.size;
}

std::shared_ptr<OpenFile> MountFilesystem::openFile(Inode inode, const ItemCatalog::Found& found, int flags,
                                                    std::stop_token stop) {
    if (found.record.isFolder) fail(EISDIR);
    // An inode of contents the item no longer has: the kernel looks the name up again and opens the inode of
    // the present contents.
    if (found.superseded) fail(ESTALE);
    const bool writing = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC);
    auto file = std::make_shared<OpenFile>();
    file->identifier = found.identifier;
    file->version = found.record.version;
    file->size = found.record.size;
    if (TrashView::isInfo(file->identifier)) {
        if (writing) fail(EACCES);
        file->text = catalog_.trashInfoText(file->identifier);
        return file;
    }
    if (ItemCatalog::isDraft(file->identifier)) {
        file->draft = draftOf(file->identifier, true);
        file->writable = writing;
        if (flags & O_TRUNC) {
            std::scoped_lock lock(file->draft->mutex);
            file->draft->bytes.clear();
            catalog_.updateLocal(file->identifier, 0, std::nullopt);
        }
        return file;
    }
    if (writing) {
        if (found.record.parent == host::trashContainer) fail(EACCES);
        checkWritable();
    }
    file->local = writing ? writeBack_->join(found.identifier) : writeBack_->find(found.identifier);
    if (!file->local && !unchanged(inode, found)) return nullptr;
    const auto fetcher = fetcherFor(file->identifier, file->version);
    if (writing && !file->local) {
        const auto keep = (flags & O_TRUNC) ? 0 : found.record.size;
        file->local = writeBack_->openForWriting(found.record, keep, fetcher, stop, deadline());
    }
    file->writable = writing;
    file->contents = file->local
                         ? file->local->shared()
                         : cache_.open({file->identifier, file->version.contentVersion, file->size}, fetcher);
    return file;
}

std::pair<ItemCatalog::Entry, std::shared_ptr<OpenFile>> MountFilesystem::createFile(Inode parent,
                                                                                     const std::string& name,
                                                                                     int flags) {
    const auto folder = folderAt(parent);
    checkName(name);
    if (folder == TrashView::infoFolder) {
        // A file manager's .trashinfo, written before it moves the item into the trash.
        if (catalog_.childNamed(folder, name, deadline()) && (flags & O_EXCL)) fail(EEXIST);
        auto file = std::make_shared<OpenFile>();
        file->identifier = catalog_.addDraft(name);
        file->draft = draftOf(file->identifier, true);
        file->writable = true;
        const auto entry = catalog_.lookUp(file->identifier);
        if (!entry) fail(EIO);
        return {*entry, file};
    }
    if (inTrashView(folder)) fail(EACCES);
    if (const auto existing = catalog_.childNamed(folder, name, deadline())) {
        if (flags & O_EXCL) fail(EEXIST);
        const auto entry = catalog_.lookUp(*existing);
        if (!entry) fail(ENOENT);
        try {
            return {*entry, openFile(entry->inode, flags, {})};
        } catch (...) {
            catalog_.forget(entry->inode, 1);
            throw;
        }
    }
    checkWritable();
    auto file = std::make_shared<OpenFile>();
    file->local = writeBack_->create(folder, name);
    file->contents = file->local->shared();
    file->writable = true;
    file->identifier = file->local->identity();
    const auto entry = catalog_.lookUp(file->identifier);
    if (!entry) fail(EIO);
    return {*entry, file};
}

ItemCatalog::Entry MountFilesystem::makeLink(Inode parent, const std::string& name,
                                             const std::string& target) {
    const auto folder = folderAt(parent);
    checkName(name);
    if (inTrashView(folder)) fail(EACCES);
    if (catalog_.childNamed(folder, name, deadline())) fail(EEXIST);
    const auto entry = catalog_.lookUp(writeBack_->createLink(folder, name, target));
    if (!entry) fail(EIO);
    return *entry;
}

std::string MountFilesystem::linkTarget(Inode inode) {
    const auto found = catalog_.find(inode);
    if (!found) fail(ENOENT);
    if (!found->record.isLink) fail(EINVAL);
    const auto local = writeBack_->find(found->identifier);
    if (!local) fail(ENOENT);
    return writeBack_->linkTarget(*local);
}

ItemCatalog::Entry MountFilesystem::makeFolder(Inode parent, const std::string& name) {
    const auto folder = folderAt(parent);
    checkName(name);
    if (inTrashView(folder)) fail(EACCES);
    if (catalog_.childNamed(folder, name, deadline())) fail(EEXIST);
    reachability_.check();  // a folder is made on the service at once, or not at all
    auto made = hostcalls::TemplateItem::toCreate(folder, name);
    made.ofType(ContentType::folder());
    const auto answer = reachability_.record([&] {
        return hostcalls::createItem(*extension_, made.share(), made.changedFields(), std::nullopt, 0,
                                     {.deadline = deadline()});
    });
    const auto record = recordFor(*answer.item);
    deliver(catalog_.changedHere({record}));
    const auto entry = catalog_.lookUp(record.identifier);
    if (!entry) fail(EIO);
    return *entry;
}

void MountFilesystem::removeEntry(Inode parent, const std::string& name, bool folder) {
    const auto container = folderAt(parent);
    const auto child = catalog_.childNamed(container, name, deadline());
    if (!child) fail(ENOENT);
    // The trash's .trashinfo files are made from what it holds: removing one (as a restore does) changes
    // nothing.
    if (TrashView::isInfo(*child)) return;
    if (ItemCatalog::isDraft(*child)) {
        catalog_.removeDraft(*child);
        std::scoped_lock lock(draftsMutex_);
        drafts_.erase(*child);
        return;
    }
    if (*child == TrashView::folder || *child == TrashView::infoFolder || *child == host::trashContainer)
        fail(EACCES);
    auto record = catalog_.record(*child);
    if (!record) fail(ENOENT);
    if (folder && !record->isFolder) fail(ENOTDIR);
    if (!folder && record->isFolder) fail(EISDIR);
    if (folder && !catalog_.children(*child, deadline()).empty()) fail(ENOTEMPTY);

    if (isLocalIdentity(*child)) {
        // Never sent: nothing of it goes to the service.
        writeBack_->remove(*child);
        catalog_.removeLocal(*child);
        return;
    }
    checkWritable();
    reachability_.check();
    const bool purge = record->parent == host::trashContainer;
    // Its upload, if any, ends first: one ending after the removal would bring the item back.
    writeBack_->suspend(*child);
    try {
        reachability_.record([&] {
            hostcalls::deleteItem(*extension_, *child, record->version, 0, {.deadline = deadline()});
        });
    } catch (...) {
        writeBack_->resume(*child);
        throw;
    }
    writeBack_->remove(*child);
    if (purge) {
        ChangeBatch gone;
        gone.deleted.push_back(*child);
        deliver(catalog_.apply(gone));
    } else {
        // Live items go to the service's trash, never for good in one step.
        record->parent = host::trashContainer;
        deliver(catalog_.changedHere({*record}));
    }
}

void MountFilesystem::renameEntry(Inode parent, const std::string& name, Inode newParent,
                                  const std::string& newName, unsigned flags) {
    if (flags & RENAME_EXCHANGE) fail(EINVAL);
    if (flags & ~unsigned{RENAME_NOREPLACE}) fail(EINVAL);
    const auto from = folderAt(parent);
    const auto to = folderAt(newParent);
    checkName(newName);
    const auto source = catalog_.childNamed(from, name, deadline());
    if (!source) fail(ENOENT);
    if (ItemCatalog::isDraft(*source)) {
        // A draft's temporary copy saved over the draft: both stay in the info folder.
        if (to != TrashView::infoFolder) fail(EACCES);
        if (const auto target = catalog_.childNamed(to, newName, deadline());
            target && ItemCatalog::isDraft(*target) && *target != *source) {
            std::scoped_lock lock(draftsMutex_);
            drafts_.erase(*target);
        }
        catalog_.renameDraft(*source, newName);
        return;
    }
    auto record = catalog_.record(*source);
    if (!record || TrashView::isInfo(*source) || *source == TrashView::folder ||
        *source == TrashView::infoFolder || *source == host::trashContainer)
        fail(EACCES);
    if (to == TrashView::folder || to == TrashView::infoFolder) fail(EACCES);
    const auto target = catalog_.childNamed(to, newName, deadline());
    if (target == source) return;
    std::optional<ItemRecord> replaced;
    if (target) {
        if (flags & RENAME_NOREPLACE) fail(EEXIST);
        replaced = catalog_.record(*target);
        if (!replaced || TrashView::isInfo(*target)) fail(EACCES);
        if (record->isFolder && !replaced->isFolder) fail(ENOTDIR);
        if (!record->isFolder && replaced->isFolder) fail(EISDIR);
        if (replaced->isFolder && !catalog_.children(*target, deadline()).empty()) fail(ENOTEMPTY);
    }

    if (isLocalIdentity(*source)) {
        // A safe save: a new file renamed over an existing one is that file's new contents, the same item.
        if (replaced && !record->isLink && !isLocalIdentity(replaced->identifier) &&
            writeBack_->adopt(*source, *replaced)) {
            deliver(catalog_.adopt(*source, replaced->identifier));
            return;
        }
        if (replaced) removeEntry(newParent, newName, false);
        if (isLocalIdentity(*source)) {
            writeBack_->moved(*source, to, newName);
            catalog_.moveLocal(*source, to, newName);
            return;
        }
        record = catalog_.record(*source);  // made by the service meanwhile: renamed there
        if (!record) fail(ENOENT);
    }
    checkWritable();
    reachability_.check();
    if (replaced) removeEntry(newParent, newName, replaced->isFolder);
    auto change = hostcalls::TemplateItem::toModify(*source);
    if (newName != record->name) change.named(newName);
    if (to != record->parent) change.inParent(to);
    const auto answer = reachability_.record([&] {
        return hostcalls::modifyItem(*extension_, change.share(), record->version, change.changedFields(),
                                     std::nullopt, 0, {.deadline = deadline()});
    });
    auto moved = recordFor(*answer.item);
    deliver(catalog_.changedHere({moved}));
}

ItemRecord MountFilesystem::setAttributes(Inode inode, const struct stat& wanted, int toSet,
                                          const OpenFile* file) {
    const auto found = catalog_.find(inode);
    if (!found) fail(ENOENT);
    if (found->superseded && (toSet & FUSE_SET_ATTR_SIZE)) fail(ESTALE);
    if (ItemCatalog::isDraft(found->identifier)) {
        if (toSet & FUSE_SET_ATTR_SIZE) {
            if (wanted.st_size < 0 || wanted.st_size > (1 << 20)) fail(EFBIG);
            const auto draft = draftOf(found->identifier, true);
            std::scoped_lock lock(draft->mutex);
            draft->bytes.resize(static_cast<std::size_t>(wanted.st_size));
            catalog_.updateLocal(found->identifier, wanted.st_size, std::nullopt);
        }
        return catalog_.find(inode)->record;
    }
    auto local = file && file->local ? file->local : writeBack_->find(found->identifier);
    if (toSet & FUSE_SET_ATTR_SIZE) {
        if (found->record.isFolder) fail(EISDIR);
        if (TrashView::isInfo(found->identifier) || found->record.parent == host::trashContainer)
            fail(EACCES);
        checkWritable();
        if (wanted.st_size < 0) fail(EINVAL);
        bool opened = false;
        if (!local) {
            // A truncation by name: the file is opened for writing and closed again around it.
            local = writeBack_->join(found->identifier);
            if (!local) {
                // An upload that ended since the catalog was asked changed what the inode is: ask again.
                if (!unchanged(inode, *found)) return setAttributes(inode, wanted, toSet, file);
                local = writeBack_->openForWriting(found->record, wanted.st_size,
                                                   fetcherFor(found->identifier, found->record.version), {},
                                                   deadline());
            }
            opened = true;
        }
        try {
            writeBack_->resize(*local, wanted.st_size);
            if (opened) writeBack_->commit(*local);
        } catch (...) {
            if (opened) writeBack_->closed(*local);
            throw;
        }
        if (opened) writeBack_->closed(*local);
    }
    if ((toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)) && local)
        writeBack_->touch(*local,
                          (toSet & FUSE_SET_ATTR_MTIME_NOW) ? currentDate() : *dateOf(wanted.st_mtim));
    // Modes, owners and access times: the service keeps none of them.
    const auto now = catalog_.find(inode);
    if (!now) fail(ENOENT);
    return now->record;
}

}  // namespace tw::mount
