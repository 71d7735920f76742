#include "mount/pinner.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <unordered_set>
#include <utility>

#include "mount/cache_io.h"
#include "mount/mount_log.h"
#include "platform/error.h"

namespace tw::mount {
namespace {

// What one ensure() asks: a reader of a file being pinned waits for one chunk at most.
constexpr std::int64_t chunkBytes = std::int64_t{8} << 20;
// Files up to this size, when nothing of them is cached, come in one fetch that the cache takes over whole.
constexpr std::int64_t wholeBytes = std::int64_t{64} << 20;
constexpr int downloadsAtOnce = 3;
constexpr auto firstPause = std::chrono::seconds(1);
constexpr auto longestPause = std::chrono::seconds(60);

}  // namespace

Pinner::Pinner(ItemCatalog& catalog, ContentCache& cache, StateStore* store, FetcherFor fetcherFor,
               std::chrono::milliseconds deadline)
    : catalog_(catalog),
      cache_(cache),
      store_(store),
      fetcherFor_(std::move(fetcherFor)),
      deadline_(deadline) {
    if (store_)
        for (auto& pin : store_->pins())
            pins_.insert(std::move(pin));
    progress_.pins = static_cast<int>(pins_.size());
}

Pinner::~Pinner() {
    stop();
}

void Pinner::start() {
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void Pinner::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

bool Pinner::pin(const Id& identifier, bool pinned) {
    std::scoped_lock lock(mutex_);
    if (pins_.contains(identifier) == pinned) return false;
    if (store_) store_->pin(identifier, pinned);
    if (pinned)
        pins_.insert(identifier);
    else
        pins_.erase(identifier);
    progress_.pins = static_cast<int>(pins_.size());
    dirty_ = true;
    wake_.notify_all();
    return true;
}

std::optional<Pinner::Id> Pinner::pinnedThrough(const Id& identifier) const {
    std::set<Id> pins;
    {
        std::scoped_lock lock(mutex_);
        if (pins_.empty()) return std::nullopt;
        pins = pins_;
    }
    // Up the parents the catalog knows; a folder moved into itself cannot be, but a bound keeps it so.
    auto at = identifier;
    for (int depth = 0; depth < 4096; ++depth) {
        if (pins.contains(at)) return at;
        if (at == host::rootContainer) break;
        const auto record = catalog_.record(at);
        if (!record || record->parent.empty()) break;
        at = record->parent;
    }
    return std::nullopt;
}

bool Pinner::holds(const ItemRecord& record) const {
    return !record.isFolder && pinnedThrough(record.identifier) &&
           cache_.presentBytes({record.identifier, record.version.contentVersion, record.size}) ==
               record.size;
}

void Pinner::changed(const std::vector<Id>& removed) {
    std::scoped_lock lock(mutex_);
    if (pins_.empty() && progress_.files == 0) return;  // nothing pinned, nothing kept
    for (const auto& identifier : removed) {
        if (pins_.erase(identifier) == 0) continue;
        try {
            if (store_) store_->pin(identifier, false);
        } catch (const std::exception& error) {
            mountLog().error(std::string("the pin of a removed item was not forgotten: ") + error.what());
        }
    }
    progress_.pins = static_cast<int>(pins_.size());
    dirty_ = true;
    wake_.notify_all();
}

PinProgress Pinner::progress() const {
    std::scoped_lock lock(mutex_);
    auto progress = progress_;
    progress.complete = progress.complete && !dirty_;
    return progress;
}

void Pinner::run(std::stop_token stop) {
    auto pause = std::chrono::steady_clock::duration(firstPause);
    bool retrying = false;  // after a failed walk: the next one at `retryAt` if nothing comes first
    auto retryAt = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        const auto due = [&] { return dirty_; };
        if (retrying)
            wake_.wait_until(lock, stop, retryAt, due);
        else
            wake_.wait(lock, stop, due);
        if (stop.stop_requested()) return;
        dirty_ = false;
        const auto pins = pins_;
        lock.unlock();
        const auto failure = walk(pins, stop);
        lock.lock();
        // Logged once while the same failure lasts.
        if (!failure.empty() && failure != progress_.lastError)
            mountLog().error("pinned files not downloaded: " + failure);
        else if (failure.empty() && !progress_.lastError.empty())
            mountLog().info("pinned files downloaded again");
        progress_.lastError = failure;
        retrying = !failure.empty();
        if (!retrying) {
            pause = firstPause;
            continue;
        }
        if (stop.stop_requested()) return;
        retryAt = std::chrono::steady_clock::now() + pause;
        pause = std::min<std::chrono::steady_clock::duration>(pause * 2, longestPause);
        progress_.complete = false;
    }
}

std::string Pinner::walk(const std::set<Id>& pins, std::stop_token stop) {
    std::vector<ItemRecord> files;
    std::set<Id> seen;
    std::string failure;
    for (const auto& pin : pins) {
        try {
            collect(pin, files, seen);
        } catch (...) {
            if (failure.empty()) failure = Error::from(std::current_exception()).what();
        }
    }
    std::unordered_set<Id> kept;
    PinProgress progress;
    std::vector<std::int64_t> present;
    for (const auto& file : files) {
        kept.insert(file.identifier);
        present.push_back(cache_.presentBytes({file.identifier, file.version.contentVersion, file.size}));
        progress.pinnedBytes += file.size;
        progress.presentBytes += present.back();
    }
    progress.files = static_cast<int>(files.size());
    progress.complete = false;
    cache_.keep(std::move(kept));
    {
        std::scoped_lock lock(mutex_);
        progress.pins = static_cast<int>(pins_.size());
        progress.lastError = progress_.lastError;
        progress_ = progress;
    }
    // A few files at once: while one is copied into its cache file and flushed, the next downloads.
    std::atomic<std::size_t> next = 0;
    std::mutex failureMutex;
    const auto downloadAll = [&] {
        for (auto i = next++; i < files.size() && !stop.stop_requested(); i = next++) {
            if (present[i] == files[i].size) continue;
            try {
                download(files[i], present[i], stop);
            } catch (...) {
                if (stop.stop_requested()) return;
                std::scoped_lock lock(failureMutex);
                if (failure.empty()) failure = Error::from(std::current_exception()).what();
            }
        }
    };
    {
        std::vector<std::jthread> others;
        for (int i = 1; i < downloadsAtOnce; ++i)
            others.emplace_back(downloadAll);
        downloadAll();
    }
    if (stop.stop_requested() && failure.empty()) failure = "the mount is ending";
    std::scoped_lock lock(mutex_);
    progress_.complete = failure.empty();
    return failure;
}

void Pinner::collect(const Id& pin, std::vector<ItemRecord>& files, std::set<Id>& seen) {
    const auto top = catalog_.record(pin);
    if (!top) return;  // not heard of yet (the feed will tell), or gone
    std::vector<ItemRecord> folders;
    const auto add = [&](const ItemRecord& record) {
        if (ItemCatalog::isMadeUp(record.identifier) || record.isLink ||
            !seen.insert(record.identifier).second)
            return;
        if (record.isFolder)
            folders.push_back(record);
        else
            files.push_back(record);
    };
    add(*top);
    while (!folders.empty()) {
        const auto folder = std::move(folders.back());
        folders.pop_back();
        const auto deadline = std::chrono::steady_clock::now() + deadline_;
        for (const auto& child : catalog_.children(folder.identifier, deadline))
            if (const auto record = catalog_.record(child.identifier)) add(*record);
    }
}

void Pinner::download(const ItemRecord& file, std::int64_t presentBefore, std::stop_token stop) {
    const CacheKey key{file.identifier, file.version.contentVersion, file.size};
    const auto fetch = fetcherFor_(file.identifier, file.version);
    auto count = [&, counted = presentBefore]() mutable {
        const auto now = cache_.presentBytes(key);
        std::scoped_lock lock(mutex_);
        progress_.presentBytes += now - counted;
        counted = now;
    };
    // A file the cache holds nothing of comes whole, its delivery moved into the cache rather than copied;
    // one that cannot be moved in serves the first chunk instead.
    std::optional<Delivery> whole;
    if (presentBefore == 0 && file.size > 0 && file.size <= wholeBytes) {
        whole = fetch({0, file.size}, stop);
        if (cache_.adopt(key, *whole)) return count();
    }
    Removed unused{whole ? whole->file : std::filesystem::path()};
    const RangeFetcher fetchFirst = [&](host::ByteRange wanted, std::stop_token cancelled) {
        if (!whole) return fetch(wanted, cancelled);
        unused.file.clear();  // the cache's from now on
        return *std::exchange(whole, std::nullopt);
    };
    const auto handle = cache_.open(key);
    for (std::int64_t offset = 0; offset < file.size && !stop.stop_requested();) {
        const auto got = handle->ensure(offset, chunkBytes, fetchFirst, stop,
                                        std::chrono::steady_clock::now() + deadline_);
        if (got == 0) break;  // the file shrank: a change made here; the next walk sees it
        offset += got;
        count();
    }
}

}  // namespace tw::mount
