// The write-back's upload threads: each takes the file due first, sends it through the host calls, and
// settles what the answer says (the file is the service's version now, goes up again, or waits for a retry).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "host_calls/item_calls.h"
#include "host_calls/template_item.h"
#include "mount/cache_io.h"
#include "mount/display_names.h"
#include "mount/inode_table.h"
#include "mount/mount_log.h"
#include "mount/write_back.h"
#include "platform/content_type.h"
#include "platform/error.h"
#include "platform/uuid.h"

namespace tw::mount {
namespace {

using Clock = std::chrono::steady_clock;

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
    const auto stemEnd = dot == std::string::npos || dot == 0 ? name.size() : dot;
    const auto stem = name.substr(0, stemEnd);
    const auto open = stem.rfind(" (");
    if (stem.size() > 4 && open != std::string::npos && stem.back() == ')') {
        const auto digits = stem.substr(open + 2, stem.size() - open - 3);
        if (!digits.empty() && digits.size() < 6 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return numberedName(stem.substr(0, open) + name.substr(stemEnd), std::stoi(digits) + 1);
    }
    return numberedName(name, 2);
}

// A copy of the file's bytes now, for an upload to read while writers go on: a clone where the file system
// shares blocks, else a copy.
void copyFile(int from, std::int64_t size, const std::filesystem::path& to) {
    const FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out) throwErrno("cannot make the copy of a file to upload");
    if (::ioctl(out.get(), FICLONE, from) == 0) return;
    copyRange(from, out.get(), 0, size);
}

}  // namespace
// --- uploads ----------------------------------------------------------------------------------------------

std::shared_ptr<LocalFile> WriteBack::nextDue(Clock::time_point now, Clock::time_point& wake) const {
    std::shared_ptr<LocalFile> next;
    wake = Clock::time_point::max();
    for (const auto& [identifier, file] : files_) {
        if (file->uploading || file->removed || file->suspended || file->change.localOnly ||
            file->journaled == 0)
            continue;
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
            item.withContents().ofType(
                ContentType::fromFilenameExtension(pathExtension(change.name)).value_or(ContentType::data()));
            answer =
                hostcalls::createItem(extension_, item.share(), item.changedFields(), contents, 0, limits);
        } else {
            auto item = hostcalls::TemplateItem::toModify(change.identifier);
            item.withContents();
            answer = hostcalls::modifyItem(extension_, item.share(), change.baseVersion, item.changedFields(),
                                           contents, 0, limits);
        }
    } catch (...) {
        if (reachability_) reachability_->failed(std::current_exception());
        failed(file, std::current_exception());
        return;
    }
    if (reachability_) reachability_->answered();
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
            file->settling = !changedSince && writers == 0;
            if (creation) {
                files_.erase(change.identifier);
                file->change.identifier = made.identifier;
                files_[made.identifier] = file;
                made_[change.identifier] = file;
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
    if (creation) {
        const auto changes = catalog_.created(change.identifier, made);
        {
            std::scoped_lock lock(mutex_);
            made_.erase(change.identifier);
        }
        deliver_(changes);
    }
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

}  // namespace tw::mount
