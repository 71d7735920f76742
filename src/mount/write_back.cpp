#include "mount/write_back.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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

std::optional<host::Date> now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return host::Date{std::chrono::duration<double>(since).count()};
}

// What a failed upload calls for.
struct Failure {
    enum Kind {
        retry,      // after the next pause
        again,      // the item changed on the service meanwhile: at once, reading it afresh
        localOnly,  // the service never keeps such a file
        collision,  // another item has the name: beside it, under a new name
        refused,    // the space takes no changes now: after the next pause
        cancelled,  // the mount is stopping: it stays pending
    } kind;
    std::string words;
};

Failure classify(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& host) {
        if (host.domain() == cocoaErrorDomain && host.code() == userCancelledErrorCode)
            return {Failure::cancelled, "cancelled"};
        if (host.domain() == fileProviderErrorDomain) {
            using C = FileProviderErrorCode;
            switch (static_cast<C>(host.code())) {
                case C::excludedFromSync:
                    return {Failure::localOnly, "the service keeps no file of that name"};
                case C::filenameCollision:
                    return {Failure::collision, "another item on the service has that name"};
                case C::cannotSynchronize:
                    if (const auto& message = host.userInfo().localizedDescription)
                        return {Failure::refused, *message};
                    return {Failure::again, "the file changed on the service meanwhile"};
                case C::serverUnreachable:
                    return {Failure::retry, "the service cannot be reached"};
                default:
                    break;
            }
        }
        return {Failure::retry, host.what()};
    } catch (const std::system_error& system) {
        if (system.code() == std::errc::timed_out) return {Failure::retry, "the upload timed out"};
        return {Failure::retry, system.what()};
    } catch (const std::exception& other) {
        return {Failure::retry, other.what()};
    } catch (...) {
        return {Failure::retry, "unknown failure"};
    }
}

// "name (2).txt" for "name.txt", "name (3).txt" for "name (2).txt".
std::string numbered(const std::string& name) {
    const auto dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0;
    std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : "";
    int number = 2;
    if (stem.size() > 4 && stem.back() == ')') {
        const auto open = stem.rfind(" (");
        if (open != std::string::npos) {
            const auto digits = stem.substr(open + 2, stem.size() - open - 3);
            if (!digits.empty() && digits.size() < 6 &&
                std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                number = std::stoi(digits) + 1;
                stem.resize(open);
            }
        }
    }
    return stem + " (" + std::to_string(number) + ")" + extension;
}

// A copy of the file's bytes now, for an upload to read while writers go on: a clone where the file system
// shares blocks, else a copy.
void copyFile(int from, std::int64_t size, const std::filesystem::path& to) {
    const FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out) throwErrno("cannot make the copy of a file to upload");
    if (::ioctl(out.get(), FICLONE, from) == 0) return;
    copyRange(from, out.get(), 0, size);
}

struct Removed {
    std::filesystem::path file;
    ~Removed() {
        std::error_code ignored;
        if (!file.empty()) std::filesystem::remove(file, ignored);
    }
};

}  // namespace

WriteBack::WriteBack(host::ReplicatedExtension& extension, ContentCache& cache, ItemCatalog& catalog,
                     StateStore* store, WriteBackSettings settings, Deliver deliver)
    : extension_(extension),
      cache_(cache),
      catalog_(catalog),
      store_(store),
      settings_(std::move(settings)),
      deliver_(std::move(deliver)) {
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
                                         .modified = change.modified});
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

std::shared_ptr<LocalFile> WriteBack::find(const Id& identifier) const {
    std::scoped_lock lock(mutex_);
    const auto found = files_.find(identifier);
    return found == files_.end() || found->second->removed ? nullptr : found->second;
}

std::shared_ptr<LocalFile> WriteBack::create(const Id& parent, const std::string& name) {
    const auto modified = now();
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

std::shared_ptr<LocalFile> WriteBack::openForWriting(const ItemRecord& record, std::int64_t keep,
                                                     const RangeFetcher& fetch, std::stop_token stop,
                                                     Clock::time_point deadline) {
    if (auto file = find(record.identifier)) {
        std::scoped_lock lock(mutex_);
        ++file->writers;
        file->due = Clock::time_point::max();
        return file;
    }
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

void WriteBack::wrote(LocalFile& file, std::int64_t end) {
    file.contents().wrote(end);
    ++file.generation;
    changedHere(file, now());
}

void WriteBack::resize(LocalFile& file, std::int64_t size) {
    std::scoped_lock writing(file.writing);
    file.contents().resize(size);
    ++file.generation;
    changedHere(file, now());
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
            if (found != files_.end()) shared = found->second;
        }
    }
    if (shared) {
        // Its last upload sent what it holds: it is the service's version now, nothing to send again.
        std::scoped_lock writing(shared->writing);
        if (shared->generation == shared->sent) settle(shared, shared->change.identifier);
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
    {
        std::scoped_lock lock(mutex_);
        forget(file);
    }
    unjournal(*file, identifier);
    deliver_(catalog_.uploaded(made, file->sentAsCopy));
}

// --- uploads ----------------------------------------------------------------------------------------------

std::shared_ptr<LocalFile> WriteBack::nextDue(Clock::time_point now, Clock::time_point& wake) const {
    std::shared_ptr<LocalFile> next;
    wake = Clock::time_point::max();
    for (const auto& [identifier, file] : files_) {
        if (file->uploading || file->removed || file->change.localOnly || file->journaled == 0) continue;
        if (file->due <= now) {
            if (!next || file->due < next->due) next = file;
        } else {
            wake = std::min(wake, file->due);
        }
    }
    return next;
}

void WriteBack::work(std::stop_token stop) {
    std::stop_callback wakeOnStop(stop, [this] {
        std::scoped_lock lock(mutex_);
        changed_.notify_all();
    });
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        Clock::time_point wake;
        const auto file = nextDue(Clock::now(), wake);
        if (!file) {
            if (wake == Clock::time_point::max())
                changed_.wait(lock);
            else
                changed_.wait_until(lock, wake);
            continue;
        }
        file->uploading = true;
        lock.unlock();
        upload(file, stop);
        lock.lock();
        changed_.notify_all();
    }
}

void WriteBack::upload(const std::shared_ptr<LocalFile>& file, std::stop_token stop) {
    waitingChanged();
    Removed copy{settings_.stagingFolder / randomUUID()};
    std::uint64_t generation;
    PendingChange change;
    std::int64_t size;
    std::stop_token cancelled;
    std::filesystem::path contents;
    try {
        std::scoped_lock writing(file->writing);
        int writers;
        {
            std::scoped_lock lock(mutex_);
            change = file->change;
            file->cancel = std::stop_source();
            cancelled = file->cancel.get_token();
            writers = file->writers;
        }
        generation = file->generation;
        size = file->contents().size();
        if (writers > 0) {
            // Written on while it goes up: what goes up is a copy of the file as it is now.
            copyFile(file->contents().fd(), size, copy.file);
            contents = copy.file;
        } else {
            // Closed: it goes up from the cache file itself. A writer who opens it meanwhile changes what is
            // read; the changed generation then sends it again once the writer is done.
            copy.file.clear();
            contents = "/proc/self/fd/" + std::to_string(file->contents().fd());
        }
    } catch (...) {
        failed(file, std::current_exception());
        return;
    }

    const bool creation = isLocalIdentity(change.identifier);
    hostcalls::Changed answer;
    try {
        std::stop_callback relay(stop, [&] { file->cancel.request_stop(); });
        // Long enough for the slowest upload that still moves (a mebibyte a second).
        const auto deadline = Clock::now() + settings_.deadline + std::chrono::seconds(size >> 20);
        const hostcalls::Limits limits{.stop = cancelled, .deadline = deadline};
        if (creation) {
            auto item = hostcalls::TemplateItem::toCreate(change.parent, change.name);
            const auto dot = change.name.rfind('.');
            item.withContents().ofType(
                (dot == std::string::npos || dot == 0
                     ? std::nullopt
                     : ContentType::fromFilenameExtension(std::string_view(change.name).substr(dot + 1)))
                    .value_or(ContentType::data()));
            answer =
                hostcalls::createItem(extension_, item.share(), item.changedFields(), contents, 0, limits);
        } else {
            auto item = hostcalls::TemplateItem::toModify(change.identifier);
            item.withContents();
            answer = hostcalls::modifyItem(extension_, item.share(), change.baseVersion, item.changedFields(),
                                           contents, 0, limits);
        }
    } catch (...) {
        failed(file, std::current_exception());
        return;
    }
    refusing_ = false;

    auto made = recordFor(*answer.item);
    if (!answer.shouldFetchContent) made.size = size;  // the service's contents are these bytes
    // Under `writing`: no write lands between the look at the generation and the settling.
    std::unique_lock writing(file->writing);
    bool changedSince, removed;
    int writers;
    {
        std::scoped_lock lock(mutex_);
        removed = file->removed;
        changedSince = file->generation != generation;
        writers = file->writers;
        if (!removed) {
            file->change.attempts = 0;
            file->change.lastError.clear();
            // After a conflicting copy the next upload goes beside the service's contents again.
            if (!answer.shouldFetchContent) file->change.baseVersion = made.version;
            file->sent = changedSince ? 0 : generation;
            file->sentAs = made;
            file->sentAsCopy = answer.shouldFetchContent;
            if (creation) {
                files_.erase(change.identifier);
                file->change.identifier = made.identifier;
                files_[made.identifier] = file;
                std::scoped_lock held(heldMutex_);
                held_.erase(change.identifier);
                held_.insert(made.identifier);
            }
        }
    }
    if (removed) {
        writing.unlock();
        // Removed while it went up: the made file goes where a removal sends it, the service's trash.
        if (creation) try {
                hostcalls::deleteItem(extension_, made.identifier, made.version, 0,
                                      {.deadline = Clock::now() + settings_.deadline});
            } catch (...) {
                mountLog().error("a file removed while it was uploaded stays on the service: " + made.name);
            }
        uploadEnded(*file);
        return;
    }
    if (creation) deliver_(catalog_.created(change.identifier, made));
    if (answer.shouldFetchContent)
        mountLog().info(change.name +
                        " changed on the service meanwhile; the local version went up beside it");
    if (changedSince || writers > 0) {
        // Changed while it went up, or still open: it stays, on the version this upload made, and goes up
        // again once closed unless its last writer changed nothing since.
        writing.unlock();
        journal(*file, change.identifier);
        {
            std::scoped_lock lock(mutex_);
            if (changedSince && writers == 0) file->due = Clock::now();
        }
    } else {
        settle(file, change.identifier);
        writing.unlock();
    }
    uploadEnded(*file);
    waitingChanged();
}

void WriteBack::failed(const std::shared_ptr<LocalFile>& file, std::exception_ptr error) {
    const auto failure = classify(error);
    std::string renamed;
    Id identifier, parent;
    {
        std::unique_lock lock(mutex_);
        file->uploading = false;
        if (file->removed || failure.kind == Failure::cancelled) {
            file->due = Clock::now();
            lock.unlock();
            changed_.notify_all();
            return;
        }
        auto& change = file->change;
        ++change.attempts;
        change.lastError = failure.words;
        identifier = change.identifier;
        parent = change.parent;
        auto pause = settings_.firstRetry * (1 << std::min(change.attempts - 1, 16));
        switch (failure.kind) {
            case Failure::localOnly:
                change.localOnly = true;
                break;
            case Failure::collision:
                if (isLocalIdentity(change.identifier)) {
                    change.name = renamed = numbered(change.name);
                    pause = {};
                }
                break;
            case Failure::again:
                if (change.attempts <= 2) pause = {};
                break;
            default:
                break;
        }
        file->due = Clock::now() + std::min<std::chrono::milliseconds>(pause, settings_.lastRetry);
    }
    refusing_ = failure.kind == Failure::refused;
    if (failure.kind == Failure::localOnly) {
        mountLog().info("kept on this machine only: " + file->change.name + " (" + failure.words + ")");
    } else if (!renamed.empty()) {
        mountLog().info("another item on the service has the name of a new file; it goes up as " + renamed);
        catalog_.moveLocal(identifier, parent, renamed);
    } else {
        mountLog().error("upload of " + file->change.name + " failed: " + failure.words);
    }
    try {
        journal(*file);
    } catch (const std::exception& e) {
        mountLog().error(std::string("the journal cannot be written: ") + e.what());
    }
    changed_.notify_all();
    waitingChanged();
}

// --- what waits -------------------------------------------------------------------------------------------

std::vector<PendingEntry> WriteBack::entries() const {
    std::vector<std::pair<Id, PendingEntry>> found;
    {
        std::scoped_lock lock(mutex_);
        for (const auto& [identifier, file] : files_) {
            if (file->removed || file->sent == file->generation) continue;
            const auto& change = file->change;
            const auto state = change.localOnly      ? UploadState::localOnly
                               : file->uploading     ? UploadState::uploading
                               : change.attempts > 0 ? UploadState::failed
                                                     : UploadState::pending;
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
    if (found == files_.end() || found->second->removed) return UploadState::uploaded;
    const auto& file = *found->second;
    if (file.sent == file.generation) return UploadState::uploaded;
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
