#include "mount/cache_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <shared_mutex>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "mount/fetch_failure.h"
#include "mount/mount_log.h"
#include "platform/error.h"

namespace tw::mount {

namespace {

namespace fs = std::filesystem;

// Takes the ranges eviction chose out of their files: each file's record first, so that a crash never finds a
// hole its sidecar says is present, then the holes. Bytes whose record could not be written stay on disk, no
// longer counted as present. Without the cache's mutex.
void punchHoles(CacheState& state, const std::vector<Punch>& punches) {
    for (std::size_t first = 0; first < punches.size();) {
        const auto& entry = punches[first].entry;
        auto last = first;
        while (last < punches.size() && punches[last].entry == entry)
            ++last;
        try {
            fs::path path;
            {
                std::scoped_lock lock(state.mutex);
                if (!entry->dropped) path = state.index.dataPath(*entry);
            }
            const FileDescriptor fd(path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_CLOEXEC));
            if (fd) {
                state.persister.persist(*entry, fd.get());
                for (auto i = first; i < last; ++i) {
                    const auto& claim = *punches[i].claim;
                    if (::fallocate(fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, claim.start,
                                    claim.end - claim.start) != 0)
                        throwErrno("cannot punch a hole in a cache file");
                }
                // Counted under the lock: a fetch into the file meanwhile counts its own blocks last.
                std::scoped_lock lock(state.mutex);
                state.index.account(*entry, diskBytesOf(fd.get()), entry->rangesBytes);
            }
        } catch (const std::exception& e) {
            cacheLog().error(std::string("bytes of an open cache file were not evicted: ") + e.what());
        }
        std::scoped_lock lock(state.mutex);
        for (auto i = first; i < last; ++i)
            state.finish(*entry, *punches[i].claim, nullptr);
        first = last;
    }
}

// The part of a delivered range within a file of `size` bytes.
ByteRanges::Range withinFile(host::ByteRange range, std::int64_t size) {
    const auto start = std::min(range.location, size);
    return {start, range.length >= size - start ? size : start + range.length};
}

}  // namespace

CacheHandle::CacheHandle(std::shared_ptr<CacheState> state, std::shared_ptr<CacheEntry> entry,
                         FileDescriptor fd, RangeFetcher readAhead)
    : state_(std::move(state)),
      entry_(std::move(entry)),
      fd_(std::move(fd)),
      readAheadFetcher_(std::move(readAhead)) {
    if (readAheadFetcher_)
        readAhead_.emplace(*state_, *entry_,
                           [this](const std::shared_ptr<RangeFetch>& range, std::stop_token stop,
                                  const ReadAhead::Delivered& delivered) {
                               fetchAll({range}, readAheadFetcher_, stop, delivered);
                           });
}

CacheHandle::~CacheHandle() {
    // The read-ahead writes into the file: it ends first.
    if (readAhead_) readAhead_->stop();
    try {
        state_->persister.persist(*entry_, fd_.get());
    } catch (const std::exception& e) {
        cacheLog().error(std::string("the cached ranges of a file were not saved: ") + e.what());
    }
    std::scoped_lock lock(state_->mutex);
    state_->index.account(*entry_, diskBytesOf(fd_.get()), entry_->rangesBytes);  // a writer's bytes included
    fd_.reset();
    state_->index.closed(*entry_);
    state_->index.evict();
}

std::int64_t CacheHandle::ensure(std::int64_t offset, std::int64_t length, const RangeFetcher& fetch,
                                 std::stop_token stop, std::chrono::steady_clock::time_point deadline) {
    if (offset < 0 || length < 0) throw std::invalid_argument("a negative offset or length");
    std::int64_t end = offset;
    for (;;) {
        std::vector<std::shared_ptr<RangeFetch>> mine;
        std::vector<std::shared_ptr<RangeFetch>> theirs;
        {
            std::scoped_lock lock(state_->mutex);
            const auto size = entry_->key.size;  // a local change may have moved it since the last round
            end = offset >= size ? offset : offset + std::min(length, size - offset);
            if (end == offset) return 0;
            state_->index.touch(*entry_);
            for (const auto& gap : entry_->present.missing(offset, end))
                claim(gap, mine, theirs);
            if (mine.empty() && theirs.empty()) {
                if (readAhead_) readAhead_->noteRead(offset, end);
                break;
            }
        }
        // This reader's fetches first: another reader may be waiting for them while this one waits for its.
        fetchAll(mine, fetch, stop);
        waitFor(theirs, stop, deadline);
    }
    if (readAhead_) readAhead_->start();
    return end - offset;
}

std::int64_t CacheHandle::size() const {
    std::scoped_lock lock(state_->mutex);
    return entry_->key.size;
}

void CacheHandle::claim(ByteRanges::Range gap, std::vector<std::shared_ptr<RangeFetch>>& mine,
                        std::vector<std::shared_ptr<RangeFetch>>& theirs) {
    std::vector<ByteRanges::Range> pieces{gap};
    for (const auto& other : entry_->fetching) {
        std::vector<ByteRanges::Range> rest;
        bool overlaps = false;
        for (const auto& [start, end] : pieces) {
            if (other->end <= start || other->start >= end) {
                rest.emplace_back(start, end);
                continue;
            }
            overlaps = true;
            if (start < other->start) rest.emplace_back(start, other->start);
            if (other->end < end) rest.emplace_back(other->end, end);
        }
        if (overlaps && std::find(theirs.begin(), theirs.end(), other) == theirs.end())
            theirs.push_back(other);
        pieces = std::move(rest);
    }
    for (const auto& [start, end] : pieces) {
        mine.push_back(std::make_shared<RangeFetch>(RangeFetch{start, end}));
        entry_->fetching.push_back(mine.back());
    }
}

void CacheHandle::fetchAll(const std::vector<std::shared_ptr<RangeFetch>>& mine, const RangeFetcher& fetch,
                           std::stop_token stop, const ReadAhead::Delivered& delivered) {
    for (std::size_t i = 0; i < mine.size(); ++i) {
        auto& range = *mine[i];
        std::vector<std::shared_ptr<RangeFetch>> extra;
        try {
            {
                // An earlier delivery may have brought this range along (the extension reads ahead).
                std::scoped_lock lock(state_->mutex);
                if (entry_->present.missing(range.start, range.end).empty()) {
                    state_->finish(*entry_, range, nullptr);
                    continue;
                }
            }
            // Kept until the bytes are counted: another fetch meanwhile makes room around them.
            const auto room = makeRoom(range.end - range.start);
            if (!room)
                throw std::system_error(ENOSPC, std::generic_category(),
                                        "the cache is full of files that cannot be evicted");
            const auto delivery = fetch({range.start, range.end - range.start}, stop);
            if (delivered) delivered(delivery);
            // More than was asked (the extension reads ahead) is kept only where there is room for it.
            std::int64_t extraBytes = 0;
            {
                std::scoped_lock lock(state_->mutex);
                extra = claimExtra(delivery.range, range);
                for (const auto& piece : extra)
                    extraBytes += piece->end - piece->start;
            }
            const auto extraRoom = extraBytes > 0 ? makeRoom(extraBytes) : std::nullopt;
            if (!extraRoom) finishAll(extra);
            const auto taken = take(delivery, range, extra);
            bool persistNow = false;
            {
                std::scoped_lock lock(state_->mutex);
                if (taken) {
                    if (readAhead_) readAhead_->noteFetched(*taken);
                    std::int64_t bytes = 0;
                    for (const auto* copied : copiedOf(range, extra)) {
                        entry_->present.add(copied->start, copied->end);
                        bytes += copied->end - copied->start;
                    }
                    entry_->unpersistedBytes += bytes;
                    persistNow = entry_->unpersistedBytes >= persistEveryBytes;
                    state_->index.account(*entry_, diskBytesOf(fd_.get()), entry_->rangesBytes);
                }
                state_->finish(*entry_, range, nullptr);
                state_->index.evict();
            }
            finishAll(extra);
            if (persistNow) state_->persister.persistLater(entry_, fd_.get());
        } catch (...) {
            const auto error = std::current_exception();
            // Another reader waiting for a piece of the extra fetches it itself.
            finishAll(extra);
            std::scoped_lock lock(state_->mutex);
            for (std::size_t j = i; j < mine.size(); ++j)
                state_->finish(*entry_, *mine[j], error);
            throwCopyOf(error);
        }
    }
}

std::vector<std::shared_ptr<RangeFetch>> CacheHandle::claimExtra(host::ByteRange delivered,
                                                                 const RangeFetch& wanted) {
    std::vector<std::shared_ptr<RangeFetch>> extra;
    if (entry_->localChanges || delivered.location < 0 || delivered.length < 0) return extra;
    const auto [start, end] = withinFile(delivered, entry_->key.size);
    ByteRanges pieces;
    for (const auto& [from, to] : entry_->present.missing(start, end))
        pieces.add(from, to);
    pieces.remove(wanted.start, wanted.end);
    for (const auto& other : entry_->fetching)
        pieces.remove(other->start, other->end);
    for (const auto& [from, to] : pieces.ranges()) {
        extra.push_back(std::make_shared<RangeFetch>(RangeFetch{from, to}));
        entry_->fetching.push_back(extra.back());
    }
    return extra;
}

void CacheHandle::finishAll(std::vector<std::shared_ptr<RangeFetch>>& claims) {
    if (claims.empty()) return;
    std::scoped_lock lock(state_->mutex);
    for (const auto& claim : claims)
        state_->finish(*entry_, *claim, nullptr);
    claims.clear();
}

std::vector<const RangeFetch*> CacheHandle::copiedOf(const RangeFetch& wanted,
                                                     const std::vector<std::shared_ptr<RangeFetch>>& extra) {
    std::vector<const RangeFetch*> copied{&wanted};
    for (const auto& piece : extra)
        copied.push_back(piece.get());
    return copied;
}

std::optional<std::int64_t> CacheHandle::take(const Delivery& delivery, const RangeFetch& wanted,
                                              const std::vector<std::shared_ptr<RangeFetch>>& extra) {
    const Removed remove{delivery.file};
    const auto& range = delivery.range;
    if (range.location < 0 || range.length < 0) throw std::runtime_error("the fetched range is invalid");
    // Held through the copy: local changes begin only once no delivery is being copied in.
    std::shared_lock copying(entry_->copying);
    std::int64_t size = 0;
    {
        std::scoped_lock lock(state_->mutex);
        if (entry_->localChanges) {
            // Whole, so the range is there; were it not, fetching again would never end.
            if (!entry_->present.missing(wanted.start, std::min(wanted.end, entry_->key.size)).empty())
                throw std::logic_error("a cache file holding local changes lacks some of its bytes");
            return std::nullopt;
        }
        size = entry_->key.size;  // fixed while the file holds no local changes
    }
    const auto [start, end] = withinFile(range, size);
    if (start > wanted.start || end < wanted.end)
        throw std::runtime_error("the fetched range does not cover the range asked for");
    const FileDescriptor from(::open(delivery.file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!from) throwErrno("cannot open the fetched file");
    // Only bytes claimed are written: no one reads them meanwhile, and eviction leaves them alone.
    for (const auto* copied : copiedOf(wanted, extra))
        copyRange(from.get(), fd_.get(), copied->start, copied->end);
    return end - start;
}

void CacheHandle::waitFor(const std::vector<std::shared_ptr<RangeFetch>>& theirs, std::stop_token stop,
                          std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    for (const auto& fetch : theirs) {
        if (!state_->fetched.wait_until(lock, stop, deadline, [&] { return fetch->done; })) {
            if (stop.stop_requested()) throw userCancelledError();
            throw std::system_error(ETIMEDOUT, std::generic_category(),
                                    "timed out waiting for a range another reader is fetching");
        }
        // Another reader's cancelled fetch says nothing of the range: this reader fetches it itself.
        if (fetch->error && !isCancellation(fetch->error)) throwCopyOf(fetch->error);
    }
}

CacheHold CacheHandle::hold(std::int64_t offset, std::int64_t length) {
    const ByteRanges::Range range{offset, offset + std::max<std::int64_t>(0, length)};
    {
        std::scoped_lock lock(state_->mutex);
        entry_->held.push_back(range);
    }
    return CacheHold([state = state_, entry = entry_, range] {
        std::scoped_lock lock(state->mutex);
        auto& held = entry->held;
        held.erase(std::find(held.begin(), held.end(), range));
    });
}

std::optional<CacheHold> CacheHandle::makeRoom(std::int64_t bytes) {
    return makeRoomIn(state_, bytes);
}

std::optional<CacheHold> makeRoomIn(const std::shared_ptr<CacheState>& state, std::int64_t bytes) {
    std::vector<Punch> punches;
    bool fits;
    {
        std::scoped_lock lock(state->mutex);
        fits = state->index.makeRoom(bytes, punches);
    }
    punchHoles(*state, punches);
    if (!fits) return std::nullopt;
    return CacheHold([state, bytes] {
        std::scoped_lock lock(state->mutex);
        state->index.release(bytes);
    });
}

bool CacheHandle::holdsLocalChanges() const {
    std::scoped_lock lock(state_->mutex);
    return entry_->localChanges;
}

void CacheHandle::beginLocalChanges(std::int64_t keep) {
    std::scoped_lock copying(entry_->copying);
    std::scoped_lock lock(state_->mutex);
    auto& entry = *entry_;
    if (entry.dropped)
        throw std::system_error(ESTALE, std::generic_category(),
                                "the cache file was dropped: its item changed");
    if (!entry.present.missing(0, std::min(keep, entry.key.size)).empty())
        throw std::logic_error("a cache file can hold local changes only once it is whole");
    if (!entry.localChanges) {
        entry.localChanges = true;
        ++entry.unpersistedChanges;
    }
    if (keep < entry.key.size) {
        entry.key.size = keep;
        entry.present.truncate(keep);
        ++entry.unpersistedChanges;
    }
}

void CacheHandle::holdLocalChanges(Record record) {
    std::scoped_lock changing(entry_->changing);
    beginLocalChanges(std::numeric_limits<std::int64_t>::max());
    if (record == Record::now) state_->persister.persist(*entry_, fd_.get());
}

void CacheHandle::resize(std::int64_t size) {
    if (size < 0) throw std::invalid_argument("a negative file size");
    std::scoped_lock changing(entry_->changing);
    // A truncation is recorded before the file is cut, a growth after it is made: a crash in between leaves
    // a data file longer than its record, which the next start cuts back to it.
    beginLocalChanges(size);
    state_->persister.persist(*entry_, fd_.get());
    if (::ftruncate(fd_.get(), size) != 0) throwErrno("cannot resize a cache file");
    {
        std::scoped_lock lock(state_->mutex);
        auto& entry = *entry_;
        if (size > entry.key.size) {
            entry.present.add(entry.key.size, size);
            entry.key.size = size;
            ++entry.unpersistedChanges;
        }
        state_->index.account(entry, diskBytesOf(fd_.get()), entry.rangesBytes);
    }
    state_->persister.persist(*entry_, fd_.get());
}

void CacheHandle::wrote(std::int64_t end) {
    std::scoped_lock lock(state_->mutex);
    auto& entry = *entry_;
    if (!entry.localChanges) throw std::logic_error("a write into a cache file that holds no local changes");
    if (end <= entry.key.size) return;
    // Counted at once (makeDurable() counts the blocks), so that the next write sees the cache's use.
    state_->index.account(entry, entry.dataBytes + (end - entry.key.size), entry.rangesBytes);
    entry.present.add(entry.key.size, end);
    entry.key.size = end;
    ++entry.unpersistedChanges;
}

void CacheHandle::makeDurable() {
    std::scoped_lock changing(entry_->changing);
    // A record written flushes the data first; with none to write, the data alone is flushed.
    if (!state_->persister.persist(*entry_, fd_.get()) && ::fdatasync(fd_.get()) != 0)
        throwErrno("cannot flush a cache file");
    std::scoped_lock lock(state_->mutex);
    state_->index.account(*entry_, diskBytesOf(fd_.get()), entry_->rangesBytes);
}

void CacheHandle::settleLocalChanges(const host::ItemIdentifier& identifier,
                                     const std::string& contentVersion) {
    std::scoped_lock changing(entry_->changing);
    state_->persister.settle(entry_, fd_.get(), identifier, contentVersion);
}

void CacheHandle::discardLocalChanges() {
    std::scoped_lock changing(entry_->changing);
    std::scoped_lock lock(state_->mutex);
    entry_->localChanges = false;
    state_->index.drop(entry_);
}

}  // namespace tw::mount
