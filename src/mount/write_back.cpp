#include "mount/write_back.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>

#include "host_calls/item_calls.h"
#include "host_calls/template_item.h"
#include "mount/cache_io.h"
#include "mount/inode_table.h"
#include "mount/mount_log.h"
#include "platform/error.h"
#include "platform/private_folder.h"
#include "platform/uuid.h"

namespace tw::mount {
namespace {

using Clock = std::chrono::steady_clock;

// The bytes a writer writes before the disk is asked to start writing them out.
constexpr std::int64_t startWriteOutBytes = 8 << 20;

}  // namespace

WriteBack::WriteBack(host::ReplicatedExtension& extension, ContentCache& cache, ItemCatalog& catalog,
                     StateStore* store, WriteBackSettings settings, Deliver deliver,
                     Reachability* reachability)
    : extension_(extension),
      cache_(cache),
      catalog_(catalog),
      store_(store),
      settings_(std::move(settings)),
      deliver_(std::move(deliver)),
      reachability_(reachability) {
    makePrivateFolder(settings_.stagingFolder);
    // Copies an upload left behind when the mount last ended.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(settings_.stagingFolder, ignored))
        std::filesystem::remove(entry.path(), ignored);
    restore();
}

WriteBack::~WriteBack() {
    stop();
}

void WriteBack::restore() {
    if (!store_) return;
    for (auto change : store_->pendingChanges()) {
        auto contents = cache_.open({change.cacheIdentity, change.baseVersion.contentVersion, 0});
        if (!contents->holdsLocalChanges()) {
            // The cache folder lost it (removed by hand): nothing is left to upload.
            mountLog().error("the local file of " + change.name + " is gone; its change cannot be uploaded");
            contents->discardLocalChanges();
            store_->removePendingChange(change.identifier);
            continue;
        }
        if (isLocalIdentity(change.identifier)) {
            catalog_.addLocal(ItemRecord{.identifier = change.identifier,
                                         .parent = change.parent,
                                         .name = change.name,
                                         .size = contents->size(),
                                         .created = change.modified,
                                         .modified = change.modified,
                                         .isLink = change.isLink});
        }
        const auto file = add(std::move(contents), change);
        file->journaled = file->generation;
        file->due = Clock::now();
        catalog_.holdLocal(change.identifier, file->contents().size(), change.modified,
                           change.baseVersion.contentVersion);
    }
}

std::shared_ptr<LocalFile> WriteBack::add(std::shared_ptr<ContentCache::Handle> contents,
                                          PendingChange change) {
    auto file = std::shared_ptr<LocalFile>(new LocalFile(std::move(contents), change.cacheIdentity));
    const auto identifier = change.identifier;
    file->change = std::move(change);
    {
        std::scoped_lock held(heldMutex_);
        held_.insert(identifier);
    }
    std::scoped_lock lock(mutex_);
    files_[identifier] = file;
    return file;
}

void WriteBack::start() {
    std::scoped_lock lock(mutex_);
    stopping_ = false;
    if (!workers_.empty()) return;
    for (int i = 0; i < settings_.uploads; ++i)
        workers_.emplace_back([this](std::stop_token stop) { work(stop); });
}

void WriteBack::stop() {
    std::vector<std::jthread> workers;
    {
        std::scoped_lock lock(mutex_);
        workers.swap(workers_);
        stopping_ = true;  // a wait of uploadNow() ends too
    }
    changed_.notify_all();
    for (auto& worker : workers)
        worker.request_stop();
    workers.clear();  // joins
}

bool WriteBack::holds(const Id& identifier) const {
    std::scoped_lock lock(heldMutex_);
    return held_.contains(identifier);
}

std::shared_ptr<LocalFile> WriteBack::lookUp(const Id& identifier) const {
    auto found = files_.find(identifier);
    if (found == files_.end()) {
        found = made_.find(identifier);
        if (found == made_.end()) return nullptr;
    }
    return found->second->removed ? nullptr : found->second;
}

std::shared_ptr<LocalFile> WriteBack::find(const Id& identifier) const {
    std::scoped_lock lock(mutex_);
    return lookUp(identifier);
}

std::shared_ptr<LocalFile> WriteBack::join(const Id& identifier) {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto file = lookUp(identifier);
        if (!file) return nullptr;
        if (!file->settling) {
            ++file->writers;
            file->due = Clock::time_point::max();
            return file;
        }
        changed_.wait(lock);
    }
}

std::shared_ptr<LocalFile> WriteBack::create(const Id& parent, const std::string& name) {
    const std::optional<host::Date> modified = currentDate();
    const Id local = catalog_.addLocal(
        ItemRecord{.parent = parent, .name = name, .size = 0, .created = modified, .modified = modified});
    auto contents = cache_.open({local, "", 0});
    contents->holdLocalChanges(ContentCache::Handle::Record::later);
    const auto file = add(std::move(contents), PendingChange{.identifier = local,
                                                             .cacheIdentity = local,
                                                             .parent = parent,
                                                             .name = name,
                                                             .modified = modified});
    std::scoped_lock lock(mutex_);
    ++file->writers;
    return file;
}

WriteBack::Id WriteBack::createLink(const Id& parent, const std::string& name, const std::string& target) {
    const std::optional<host::Date> modified = currentDate();
    const Id local = catalog_.addLocal(ItemRecord{.parent = parent,
                                                  .name = name,
                                                  .size = std::ssize(target),
                                                  .created = modified,
                                                  .modified = modified,
                                                  .isLink = true});
    auto contents = cache_.open({local, "", 0});
    try {
        contents->holdLocalChanges(ContentCache::Handle::Record::later);
        writeAt(contents->fd(), target, 0);
        contents->wrote(std::ssize(target));
    } catch (...) {
        contents->discardLocalChanges();
        catalog_.removeLocal(local);
        throw;
    }
    const auto file = add(std::move(contents), PendingChange{.identifier = local,
                                                             .cacheIdentity = local,
                                                             .parent = parent,
                                                             .name = name,
                                                             .modified = modified,
                                                             .localOnly = true,
                                                             .isLink = true});
    try {
        commit(*file);
    } catch (...) {
        remove(local);
        catalog_.removeLocal(local);
        throw;
    }
    return local;
}

std::string WriteBack::linkTarget(LocalFile& file) const {
    std::scoped_lock writing(file.writing);
    return readAt(file.contents().fd(), 0, file.contents().size());
}

std::shared_ptr<LocalFile> WriteBack::openForWriting(const ItemRecord& record, std::int64_t keep,
                                                     const RangeFetcher& fetch, std::stop_token stop,
                                                     Clock::time_point deadline) {
    if (auto file = join(record.identifier)) return file;
    auto contents = cache_.open({record.identifier, record.version.contentVersion, record.size});
    keep = std::clamp<std::int64_t>(keep, 0, record.size);
    for (std::int64_t present = 0; present < keep;) {
        const auto got = contents->ensure(present, keep - present, fetch, stop, deadline);
        if (got <= 0)
            throw std::system_error(EIO, std::generic_category(), "the file's contents ended early");
        present += got;
    }
    if (keep < record.size)
        contents->resize(keep);
    else
        contents->holdLocalChanges();
    std::shared_ptr<LocalFile> file;
    {
        std::scoped_lock lock(mutex_);
        // Another writer made it meanwhile, on the same cache file.
        if (const auto found = files_.find(record.identifier);
            found != files_.end() && !found->second->removed)
            file = found->second;
    }
    if (!file)
        file = add(std::move(contents), PendingChange{.identifier = record.identifier,
                                                      .cacheIdentity = record.identifier,
                                                      .parent = record.parent,
                                                      .name = record.name,
                                                      .baseVersion = record.version,
                                                      .modified = record.modified});
    std::scoped_lock lock(mutex_);
    ++file->writers;
    file->due = Clock::time_point::max();
    return file;
}

void WriteBack::wrote(LocalFile& file, std::int64_t offset, std::int64_t length) {
    file.contents().wrote(offset + length);
    // The disk starts on what was written while the writer goes on, so that the flush of its close waits for
    // the last bytes only, not for all of a large file.
    file.unflushed += length;
    if (file.unflushed >= startWriteOutBytes) {
        ::sync_file_range(file.contents().fd(), 0, 0,
                          SYNC_FILE_RANGE_WRITE);  // a hint: a failure changes nothing
        file.unflushed = 0;
    }
    ++file.generation;
    changedHere(file, currentDate());
}

void WriteBack::resize(LocalFile& file, std::int64_t size) {
    std::scoped_lock writing(file.writing);
    file.contents().resize(size);
    ++file.generation;
    changedHere(file, currentDate());
}

void WriteBack::touch(LocalFile& file, host::Date modified) {
    std::scoped_lock writing(file.writing);
    ++file.generation;
    changedHere(file, modified);
}

void WriteBack::changedHere(LocalFile& file, std::optional<host::Date> modified) {
    Id identifier;
    {
        std::scoped_lock lock(mutex_);
        file.change.modified = modified;
        identifier = file.change.identifier;
    }
    catalog_.updateLocal(identifier, file.contents().size(), modified);
}

void WriteBack::commit(LocalFile& file) {
    {
        std::scoped_lock lock(mutex_);
        if (file.removed || file.journaled == file.generation) return;
    }
    // The bytes first, then the row that promises them.
    file.contents().makeDurable();
    journal(file);
    waitingChanged();
}

void WriteBack::journal(LocalFile& file, const Id& replacing) {
    std::scoped_lock order(file.journaling);
    PendingChange change;
    std::uint64_t generation;
    {
        std::scoped_lock lock(mutex_);
        if (file.removed) return;
        generation = file.generation;
        change = file.change;
    }
    if (store_) store_->putPendingChange(change, replacing);
    std::scoped_lock lock(mutex_);
    file.journaled = std::max(file.journaled, generation);
}

void WriteBack::unjournal(LocalFile& file, const Id& identifier) {
    std::scoped_lock order(file.journaling);
    if (store_) store_->removePendingChange(identifier);
}

void WriteBack::closed(LocalFile& file) {
    std::shared_ptr<LocalFile> shared;
    {
        std::scoped_lock lock(mutex_);
        if (--file.writers > 0 || file.removed) return;
        file.due = Clock::now() + settings_.delay;
        if (file.sent == file.generation && !file.uploading) {
            const auto found = files_.find(file.change.identifier);
            if (found != files_.end()) {
                shared = found->second;
                shared->settling = true;
            }
        }
    }
    if (shared) {
        // Its last upload sent what it holds: it is the service's version now, nothing to send again.
        std::unique_lock writing(shared->writing);
        if (shared->generation == shared->sent) {
            settle(shared, shared->change.identifier);
        } else {
            writing.unlock();
            std::scoped_lock lock(mutex_);
            shared->settling = false;
        }
    }
    changed_.notify_all();
    waitingChanged();
}

void WriteBack::endUpload(LocalFile& file, std::unique_lock<std::mutex>& lock) {
    file.cancel.request_stop();
    changed_.wait(lock, [&] { return !file.uploading; });
}

void WriteBack::uploadEnded(LocalFile& file) {
    {
        std::scoped_lock lock(mutex_);
        file.uploading = false;
    }
    changed_.notify_all();
}

bool WriteBack::remove(const Id& identifier) {
    std::shared_ptr<LocalFile> file;
    {
        std::unique_lock lock(mutex_);
        const auto found = files_.find(identifier);
        if (found == files_.end()) return false;
        file = found->second;
        file->removed = true;
        // An upload under way ends first: nothing of it may reach the service after the removal.
        endUpload(*file, lock);
        forget(file);
    }
    file->contents().discardLocalChanges();
    catalog_.dropLocalContents(identifier);
    unjournal(*file, identifier);
    changed_.notify_all();
    waitingChanged();
    return true;
}

void WriteBack::suspend(const Id& identifier) {
    std::unique_lock lock(mutex_);
    const auto found = files_.find(identifier);
    if (found == files_.end()) return;
    const auto file = found->second;
    file->suspended = true;
    endUpload(*file, lock);
}

void WriteBack::resume(const Id& identifier) {
    {
        std::scoped_lock lock(mutex_);
        const auto found = files_.find(identifier);
        if (found == files_.end()) return;
        found->second->suspended = false;
        found->second->due = std::min(found->second->due, Clock::now());
    }
    changed_.notify_all();
}

void WriteBack::forget(const std::shared_ptr<LocalFile>& file) {
    if (const auto found = files_.find(file->change.identifier);
        found != files_.end() && found->second == file)
        files_.erase(found);
    std::scoped_lock held(heldMutex_);
    held_.erase(file->change.identifier);
}

void WriteBack::moved(const Id& local, const Id& parent, const std::string& name) {
    std::shared_ptr<LocalFile> file = find(local);
    if (!file) return;
    bool journaled;
    {
        std::scoped_lock lock(mutex_);
        file->change.parent = parent;
        file->change.name = name;
        journaled = file->journaled != 0;
    }
    if (journaled) journal(*file);
}

bool WriteBack::adopt(const Id& local, const ItemRecord& target) {
    const auto file = find(local);
    if (!file) return false;
    {
        std::unique_lock lock(mutex_);
        endUpload(*file, lock);
        if (file->change.identifier != local) return false;
    }
    remove(target.identifier);  // the target's own local changes, if any, give way
    {
        std::scoped_lock lock(mutex_);
        files_.erase(local);
        file->change.identifier = target.identifier;
        file->change.parent = target.parent;
        file->change.name = target.name;
        file->change.baseVersion = target.version;
        file->sent = 0;
        files_[target.identifier] = file;
        std::scoped_lock held(heldMutex_);
        held_.erase(local);
        held_.insert(target.identifier);
    }
    journal(*file, local);
    changed_.notify_all();
    return true;
}

void WriteBack::settle(const std::shared_ptr<LocalFile>& file, const Id& identifier) {
    const auto made = *file->sentAs;
    if (file->sentAsCopy) {
        // It went up as a conflicting copy: the item's contents are the service's again.
        file->contents().discardLocalChanges();
    } else {
        file->contents().settleLocalChanges(made.identifier, made.version.contentVersion);
    }
    // The catalog shows the service's record before the local file goes, so that an open finding no local
    // file finds the record of the contents the cache now holds.
    {
        std::scoped_lock held(heldMutex_);
        held_.erase(identifier);
    }
    const auto changes = catalog_.uploaded(made, file->sentAsCopy);
    {
        std::scoped_lock lock(mutex_);
        forget(file);
        file->settling = false;
    }
    changed_.notify_all();
    unjournal(*file, identifier);
    deliver_(changes);
}

// --- what waits -------------------------------------------------------------------------------------------

std::vector<PendingEntry> WriteBack::entries() const {
    std::vector<std::pair<Id, PendingEntry>> found;
    {
        std::scoped_lock lock(mutex_);
        for (const auto& [identifier, file] : files_) {
            const auto state = stateOf(*file);
            if (state == UploadState::uploaded) continue;
            const auto& change = file->change;
            found.push_back({identifier, {change.name, state, change.attempts, change.lastError}});
        }
    }
    std::vector<PendingEntry> entries;
    for (auto& [identifier, entry] : found) {
        if (auto path = catalog_.pathOf(identifier)) entry.path = std::move(*path);
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return entries;
}

UploadState WriteBack::stateOf(const Id& identifier) const {
    std::scoped_lock lock(mutex_);
    const auto found = files_.find(identifier);
    return found == files_.end() ? UploadState::uploaded : stateOf(*found->second);
}

UploadState WriteBack::stateOf(const LocalFile& file) {
    if (file.removed || file.sent == file.generation) return UploadState::uploaded;
    if (file.change.localOnly) return UploadState::localOnly;
    if (file.uploading) return UploadState::uploading;
    return file.change.attempts > 0 ? UploadState::failed : UploadState::pending;
}

bool WriteBack::uploadNow(Clock::time_point deadline, bool untilEachFailed) {
    std::map<const LocalFile*, int> attemptsBefore;
    const auto waits = [](const LocalFile& file) {
        return !file.removed && !file.change.localOnly && file.journaled != 0 && file.sent != file.generation;
    };
    const auto left = [&] {
        return std::any_of(files_.begin(), files_.end(),
                           [&](const auto& entry) { return waits(*entry.second); });
    };
    const auto waiting = [&] {
        return std::any_of(files_.begin(), files_.end(), [&](const auto& entry) {
            const auto& file = *entry.second;
            const auto before = attemptsBefore.find(&file);
            return waits(file) && (!untilEachFailed || before == attemptsBefore.end() ||
                                   file.change.attempts <= before->second);
        });
    };
    std::unique_lock lock(mutex_);
    for (const auto& [identifier, file] : files_)
        attemptsBefore[file.get()] = file->change.attempts;
    for (auto& [identifier, file] : files_)
        file->due = std::min(file->due, Clock::now());
    changed_.notify_all();
    while (waiting() && !stopping_) {
        // A failure sets the file's next try later: asked to upload now, it tries again at once.
        for (auto& [identifier, file] : files_)
            if (!file->uploading) file->due = std::min(file->due, Clock::now() + settings_.firstRetry);
        if (changed_.wait_until(lock, std::min(deadline, Clock::now() + settings_.firstRetry)) ==
                std::cv_status::timeout &&
            Clock::now() >= deadline)
            return !left();
    }
    return !left();
}

void WriteBack::onWaitingChanged(std::function<void(int)> callback) {
    std::scoped_lock lock(mutex_);
    onWaiting_ = std::move(callback);
}

void WriteBack::waitingChanged() {
    std::function<void(int)> callback;
    int waiting = 0;
    {
        std::scoped_lock lock(mutex_);
        for (const auto& [identifier, file] : files_)
            waiting += !file->removed && !file->change.localOnly && file->journaled != 0;
        if (waiting == lastWaiting_) return;
        lastWaiting_ = waiting;
        callback = onWaiting_;
    }
    if (callback) callback(waiting);
}

}  // namespace tw::mount
