#include "mount/content_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mount/cache_files.h"
#include "platform/error.h"
#include "platform/log.h"
#include "mount/private_files.h"

namespace tw::mount {

namespace {

namespace fs = std::filesystem;

// The ranges readers record are written to their sidecar (after the data is flushed) every this many bytes,
// by the persister thread so that no reader waits for the flush, and when a handle closes. A crash loses
// about this much of what was fetched, never a range's truth.
constexpr std::int64_t persistEveryBytes = std::int64_t{64} << 20;
// The least a read-ahead fetches.
constexpr std::int64_t readAheadFloor = std::int64_t{1} << 20;
constexpr std::string_view dataSuffix = ".data";
constexpr std::string_view rangesSuffix = ".ranges";

const Logger& log() {
    static const Logger logger("com.tidewright.mount", "cache");
    return logger;
}

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// One range that a reader is fetching; the others wait for `done`.
struct Fetch {
    std::int64_t start;
    std::int64_t end;
    bool done = false;
    std::exception_ptr error;
};

// One cache file (and its sidecar of persisted ranges). Guarded by the cache's mutex except `persisting`.
struct Entry {
    CacheKey key;
    std::string name;  // the files' common stem
    ByteRanges present;
    std::vector<std::shared_ptr<Fetch>> fetching;
    int openHandles = 0;
    bool dropped = false;  // its files are unlinked; open handles keep reading through their descriptors
    bool counted = true;   // its disk space is in the cache's total
    std::int64_t dataBytes = 0;
    std::int64_t rangesBytes = 0;
    std::int64_t unpersistedBytes = 0;
    std::list<std::shared_ptr<Entry>>::iterator lruPosition;
    std::mutex persisting;  // orders the sidecar writes of this entry
};

std::int64_t diskBytesOf(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? std::int64_t{status.st_blocks} * 512 : 0;
}

std::int64_t diskBytesOf(const fs::path& file) {
    struct stat status {};
    return ::stat(file.c_str(), &status) == 0 ? std::int64_t{status.st_blocks} * 512 : 0;
}

// Copies [start, end) of `from` into `to` at the same offsets: copy_file_range where the file systems allow
// it, else through a buffer. Throws when `from` ends before `end`.
void copyRange(int from, int to, std::int64_t start, std::int64_t end) {
    loff_t in = start;
    loff_t out = start;
    bool buffered = false;
    std::vector<char> buffer;
    while (in < end) {
        if (!buffered) {
            const auto n = ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(end - in), 0);
            if (n > 0) continue;
            if (n == 0) throw std::runtime_error("the fetched file ends before the range it was to hold");
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                throwErrno("cannot copy the fetched range into the cache");
            buffered = true;
            buffer.resize(std::size_t{1} << 20);
        }
        const auto n = ::pread(from, buffer.data(), std::min<std::int64_t>(end - in, buffer.size()), in);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwErrno("cannot read the fetched file");
        if (n == 0) throw std::runtime_error("the fetched file ends before the range it was to hold");
        for (ssize_t written = 0; written < n;) {
            const auto w = ::pwrite(to, buffer.data() + written, n - written, out + written);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) throwErrno("cannot write the cache file");
            written += w;
        }
        in += n;
        out += n;
    }
}

// A std::system_error whose text is a copy of its own (the library's may share it with the original).
class SystemErrorCopy : public std::system_error {
public:
    explicit SystemErrorCopy(const std::system_error& original)
        : std::system_error(original.code()), what_(original.what()) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

// Throws a copy of `error` that belongs to the calling thread alone, keeping what callers tell apart: a
// std::system_error stays one with its code; anything else becomes a tw::Error (same domain and code).
[[noreturn]] void throwCopyOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        throw SystemErrorCopy(e);
    } catch (...) {
    }
    throw Error::from(error);
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e.domain() == cocoaErrorDomain && e.code() == userCancelledErrorCode;
    } catch (...) {
        return false;
    }
}

// Closes a descriptor when the scope ends.
struct FileDescriptor {
    int fd;
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int release() { return std::exchange(fd, -1); }
};

// Everything the cache and its handles share. Every member but the constants is guarded by `mutex`.
struct Shared {
    fs::path folder;
    std::int64_t maxBytes = 0;
    std::mutex mutex;
    std::condition_variable_any fetched;
    std::unordered_multimap<host::ItemIdentifier, std::shared_ptr<Entry>> byItem;
    std::list<std::shared_ptr<Entry>> lru;  // least recently used first
    std::int64_t usedBytes = 0;
    std::atomic<std::uint64_t> temporaryCounter{0};

    // The persister thread's queue, guarded by `queueMutex`.
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<std::pair<std::shared_ptr<Entry>, int>> queue;
    bool stopping = false;
    std::thread persister;  // started by the cache, joined when the last handle or the cache goes

    fs::path dataPath(const Entry& entry) const { return folder / (entry.name + std::string(dataSuffix)); }
    fs::path rangesPath(const Entry& entry) const {
        return folder / (entry.name + std::string(rangesSuffix));
    }

    void insert(const std::shared_ptr<Entry>& entry) {
        byItem.emplace(entry->key.identifier, entry);
        entry->lruPosition = lru.insert(lru.end(), entry);
        usedBytes += entry->dataBytes + entry->rangesBytes;
    }

    void touch(Entry& entry) {
        if (!entry.dropped) lru.splice(lru.end(), lru, entry.lruPosition);
    }

    void account(Entry& entry, std::int64_t dataBytes, std::int64_t rangesBytes) {
        if (entry.counted) usedBytes += dataBytes + rangesBytes - entry.dataBytes - entry.rangesBytes;
        entry.dataBytes = dataBytes;
        entry.rangesBytes = rangesBytes;
    }

    void uncount(Entry& entry) {
        account(entry, 0, 0);
        entry.counted = false;
    }

    // Unlinks the entry's files; its space stays counted until its last handle closes.
    void drop(const std::shared_ptr<Entry>& entry) {
        if (entry->dropped) return;
        auto [first, last] = byItem.equal_range(entry->key.identifier);
        for (auto it = first; it != last; ++it) {
            if (it->second == entry) {
                byItem.erase(it);
                break;
            }
        }
        lru.erase(entry->lruPosition);
        entry->dropped = true;
        ::unlink(dataPath(*entry).c_str());
        ::unlink(rangesPath(*entry).c_str());
        if (entry->openHandles == 0) uncount(*entry);
    }

    void evict() {
        for (auto it = lru.begin(); usedBytes > maxBytes && it != lru.end();) {
            const auto entry = *it++;
            if (entry->openHandles == 0) drop(entry);
        }
    }

    // Flushes the cache file, then writes the ranges recorded before the flush to the sidecar.
    void persist(Entry& entry, int fd) {
        std::scoped_lock order(entry.persisting);
        ByteRanges snapshot;
        std::int64_t pending = 0;
        {
            std::scoped_lock lock(mutex);
            if (entry.dropped || entry.unpersistedBytes == 0) return;
            snapshot = entry.present;
            pending = entry.unpersistedBytes;
        }
        if (::fdatasync(fd) != 0) throwErrno("cannot flush the cache file");
        auto temporary = rangesPath(entry);
        temporary += "." + std::to_string(temporaryCounter++) + ".tmp";
        writeFileDurably(temporary, encodeSidecar(entry.key, snapshot));
        const auto rangesBytes = diskBytesOf(temporary);
        std::scoped_lock lock(mutex);
        // Renamed under the lock: a drop in between must not see its sidecar come back.
        if (entry.dropped || ::rename(temporary.c_str(), rangesPath(entry).c_str()) != 0) {
            ::unlink(temporary.c_str());
            return;
        }
        entry.unpersistedBytes -= pending;
        account(entry, entry.dataBytes, rangesBytes);
    }

    // Persists the entry later, on the persister thread, through a duplicate of `fd`: a reader does not
    // wait for the flush of what it fetched.
    void persistLater(std::shared_ptr<Entry> entry, int fd) {
        const int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (duplicate < 0) return;  // the ranges are persisted when the handle closes
        std::scoped_lock lock(queueMutex);
        queue.emplace_back(std::move(entry), duplicate);
        queueChanged.notify_one();
    }

    void runPersister() {
        std::unique_lock lock(queueMutex);
        for (;;) {
            queueChanged.wait(lock, [&] { return stopping || !queue.empty(); });
            if (queue.empty()) return;
            auto [entry, fd] = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            try {
                persist(*entry, fd);
            } catch (const std::exception& e) {
                log().error(std::string("the cached ranges of a file were not saved: ") + e.what());
            }
            ::close(fd);
            lock.lock();
        }
    }

    ~Shared() {
        {
            std::scoped_lock lock(queueMutex);
            stopping = true;
            queueChanged.notify_one();
        }
        if (persister.joinable()) persister.join();
    }

    void finish(Fetch& fetch, Entry& entry, std::exception_ptr error) {
        fetch.done = true;
        fetch.error = std::move(error);
        std::erase_if(entry.fetching, [&](const auto& f) { return f.get() == &fetch; });
        fetched.notify_all();
    }
};

class CacheHandle final : public ContentCache::Handle {
public:
    CacheHandle(std::shared_ptr<Shared> shared, std::shared_ptr<Entry> entry, int fd, RangeFetcher readAhead)
        : shared_(std::move(shared)), entry_(std::move(entry)), fd_(fd), readAhead_(std::move(readAhead)) {}

    ~CacheHandle() override {
        // The read-ahead writes into the file: it ends first. Every lane is stopped before any is joined, as
        // a lane's thread may be starting the other lane's.
        for (auto& lane : readAheadLanes_)
            lane.stop.request_stop();
        for (auto& lane : readAheadLanes_) {
            std::scoped_lock lock(lane.threadMutex);
            if (lane.thread.joinable()) lane.thread.join();
        }
        try {
            persist();
        } catch (const std::exception& e) {
            log().error(std::string("the cached ranges of a file were not saved: ") + e.what());
        }
        ::close(fd_);
        std::scoped_lock lock(shared_->mutex);
        if (--entry_->openHandles == 0 && entry_->dropped) shared_->uncount(*entry_);
        shared_->evict();
    }

    std::int64_t ensure(std::int64_t offset, std::int64_t length, const RangeFetcher& fetch,
                        std::stop_token stop, std::chrono::steady_clock::time_point deadline) override {
        if (offset < 0 || length < 0) throw std::invalid_argument("a negative offset or length");
        const auto size = entry_->key.size;
        const auto end = offset >= size ? offset : offset + std::min(length, size - offset);
        if (end == offset) return 0;
        for (;;) {
            std::vector<std::shared_ptr<Fetch>> mine;
            std::vector<std::shared_ptr<Fetch>> theirs;
            {
                std::scoped_lock lock(shared_->mutex);
                shared_->touch(*entry_);
                for (const auto& gap : entry_->present.missing(offset, end))
                    claim(gap, mine, theirs);
                if (mine.empty() && theirs.empty()) {
                    // Reads a little out of order (the kernel reads ahead on several threads) still count.
                    lastReadSequential_ =
                        lastReadEnd_ >= 0 && offset >= lastReadStart_ && offset <= lastReadEnd_;
                    lastReadStart_ = offset;
                    lastReadEnd_ = end;
                    break;
                }
            }
            // This reader's fetches first: another reader may be waiting for them while this one waits for
            // its.
            fetchAll(mine, fetch, stop);
            waitFor(theirs, stop, deadline);
        }
        if (readAhead_) startReadAhead();
        return end - offset;
    }

    int fd() const override { return fd_; }

private:
    // Splits a missing range into parts already being fetched (waited for) and parts this reader fetches.
    void claim(ByteRanges::Range gap, std::vector<std::shared_ptr<Fetch>>& mine,
               std::vector<std::shared_ptr<Fetch>>& theirs) {
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
            mine.push_back(std::make_shared<Fetch>(Fetch{start, end}));
            entry_->fetching.push_back(mine.back());
        }
    }

    // `fetched`, when given, is called with each delivery before it is copied into the file.
    void fetchAll(const std::vector<std::shared_ptr<Fetch>>& mine, const RangeFetcher& fetch,
                  std::stop_token stop, const std::function<void(const Delivery&)>& fetched = {}) {
        for (std::size_t i = 0; i < mine.size(); ++i) {
            auto& range = *mine[i];
            try {
                {
                    // An earlier delivery may have brought this range along (the extension reads ahead).
                    std::scoped_lock lock(shared_->mutex);
                    if (entry_->present.missing(range.start, range.end).empty()) {
                        shared_->finish(range, *entry_, nullptr);
                        continue;
                    }
                }
                const auto delivery = fetch({range.start, range.end - range.start}, stop);
                if (fetched) fetched(delivery);
                const auto [start, end] = take(delivery, range);
                const auto dataBytes = diskBytesOf(fd_);
                bool persistNow = false;
                {
                    std::scoped_lock lock(shared_->mutex);
                    lastFetched_ = end - start;
                    entry_->present.add(start, end);
                    entry_->unpersistedBytes += end - start;
                    persistNow = entry_->unpersistedBytes >= persistEveryBytes;
                    shared_->account(*entry_, dataBytes, entry_->rangesBytes);
                    shared_->finish(range, *entry_, nullptr);
                    shared_->evict();
                }
                if (persistNow) shared_->persistLater(entry_, fd_);
            } catch (...) {
                const auto error = std::current_exception();
                std::scoped_lock lock(shared_->mutex);
                for (std::size_t j = i; j < mine.size(); ++j)
                    shared_->finish(*mine[j], *entry_, error);
                // Each reader throws a copy of its own: an exception object shared by threads would be freed
                // by whichever of them ends its catch last.
                throwCopyOf(error);
            }
        }
    }

    // Copies a delivery into the cache file and deletes it; returns the range now present.
    ByteRanges::Range take(const Delivery& delivery, const Fetch& wanted) {
        struct Remove {
            const fs::path& file;
            ~Remove() {
                std::error_code ignored;
                fs::remove(file, ignored);
            }
        } remove{delivery.file};
        const auto size = entry_->key.size;
        const auto& range = delivery.range;
        if (range.location < 0 || range.length < 0) throw std::runtime_error("the fetched range is invalid");
        const auto start = std::min(range.location, size);
        const auto end = range.length >= size - start ? size : start + range.length;
        if (start > wanted.start || end < wanted.end)
            throw std::runtime_error("the fetched range does not cover the range asked for");
        FileDescriptor from(::open(delivery.file.c_str(), O_RDONLY | O_CLOEXEC));
        if (from.fd < 0) throwErrno("cannot open the fetched file");
        copyRange(from.fd, fd_, start, end);
        return {start, end};
    }

    void waitFor(const std::vector<std::shared_ptr<Fetch>>& theirs, std::stop_token stop,
                 std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(shared_->mutex);
        for (const auto& fetch : theirs) {
            if (!shared_->fetched.wait_until(lock, stop, deadline, [&] { return fetch->done; })) {
                if (stop.stop_requested()) throw userCancelledError();
                throw std::system_error(ETIMEDOUT, std::generic_category(),
                                        "timed out waiting for a range another reader is fetching");
            }
            // Another reader's cancelled fetch says nothing of the range: this reader fetches it itself.
            if (fetch->error && !isCancellation(fetch->error)) throwCopyOf(fetch->error);
        }
    }

    // Fetches the next chunk after the bytes present or under way from the reader's last read on, in the
    // background, unless another read-ahead is downloading, the file ends there, or the chunk would start two
    // chunks or more ahead of the reader, or that read was not sequential. Called after each read, and by a
    // read-ahead as soon as its download is in: the next download then runs while this one is copied into
    // the file.
    void startReadAhead() {
        std::shared_ptr<Fetch> range;
        std::size_t laneIndex = 0;
        {
            std::scoped_lock lock(shared_->mutex);
            if (downloading_ || !lastReadSequential_) return;
            const auto from = lastReadEnd_;
            auto start = entry_->present.presentUntil(from);
            for (bool skipped = true; skipped;) {
                skipped = false;
                for (const auto& f : entry_->fetching)
                    if (f->start <= start && start < f->end) {
                        start = entry_->present.presentUntil(f->end);
                        skipped = true;
                    }
            }
            const auto size = entry_->key.size;
            const auto chunk = std::max(readAheadFloor, lastFetched_);
            const auto free = std::find_if(readAheadLanes_.begin(), readAheadLanes_.end(),
                                           [](const Lane& lane) { return !lane.busy; });
            if (start >= size || start - from >= 2 * chunk || free == readAheadLanes_.end()) return;
            const auto gap = entry_->present.missing(start, start + std::min(size - start, chunk)).front();
            range = std::make_shared<Fetch>(Fetch{gap.first, gap.second});
            entry_->fetching.push_back(range);
            downloading_ = true;
            free->busy = true;
            laneIndex = static_cast<std::size_t>(free - readAheadLanes_.begin());
        }
        auto& lane = readAheadLanes_[laneIndex];
        std::scoped_lock lock(lane.threadMutex);
        if (lane.thread.joinable()) lane.thread.join();  // its last thread, ended or ending
        lane.thread = std::thread([this, range, &lane] {
            const auto stop = lane.stop.get_token();
            try {
                fetchAll({range}, readAhead_, stop, [this, &stop](const Delivery& delivery) {
                    {
                        std::scoped_lock lock(shared_->mutex);
                        downloading_ = false;
                        lastFetched_ = delivery.range.length;
                    }
                    if (!stop.stop_requested()) startReadAhead();
                });
            } catch (const std::exception& e) {
                if (!stop.stop_requested()) log().info(std::string("a read-ahead failed: ") + e.what());
            } catch (...) {
            }
            std::scoped_lock lock(shared_->mutex);
            downloading_ = false;  // when the download failed
            lane.busy = false;
        });
    }

    void persist() { shared_->persist(*entry_, fd_); }

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Entry> entry_;
    int fd_;
    RangeFetcher readAhead_;
    // Guarded by the cache's mutex: this handle's last read, the length of its last fetch, its read-ahead.
    std::int64_t lastReadStart_ = -1;
    std::int64_t lastReadEnd_ = -1;
    std::int64_t lastFetched_ = 0;
    bool lastReadSequential_ = false;
    bool downloading_ = false;  // a read-ahead is downloading: the next one waits for it
    // Two read-aheads at most: one downloading while the other copies what it downloaded.
    struct Lane {
        bool busy = false;  // guarded by the cache's mutex
        std::stop_source stop;
        std::mutex threadMutex;  // held while its thread is replaced or joined
        std::thread thread;
    };
    std::array<Lane, 2> readAheadLanes_;
};

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::optional<std::string> readSmallFile(const fs::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        const auto n = ::read(fd.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

struct ContentCache::State : Shared {};

ContentCache::ContentCache(std::filesystem::path folder, std::int64_t maxBytes)
    : state_(std::make_shared<State>()) {
    state_->folder = std::move(folder);
    state_->maxBytes = maxBytes;
    makePrivateFolders(state_->folder);

    // Adopts each pair of data file and sidecar that agree; removes the cache's own files that do not. Files
    // of other names are not the cache's and stay.
    struct Adopted {
        std::shared_ptr<Entry> entry;
        fs::file_time_type used;
    };
    std::vector<Adopted> adopted;
    std::vector<fs::path> removed;
    std::vector<std::string> dataStems;
    for (const auto& item : fs::directory_iterator(state_->folder)) {
        const auto name = item.path().filename().string();
        const auto stem = name.substr(0, std::min<std::size_t>(64, name.size()));
        if (!isStem(stem)) continue;
        const std::string_view suffix = std::string_view(name).substr(64);
        if (suffix == dataSuffix) {
            dataStems.push_back(stem);
            continue;
        }
        if (suffix != rangesSuffix) {
            if (suffix.starts_with(rangesSuffix) && endsWith(suffix, ".tmp")) removed.push_back(item.path());
            continue;
        }
        const auto text = readSmallFile(item.path());
        auto decoded = text ? decodeSidecar(*text) : std::nullopt;
        auto entry = std::make_shared<Entry>();
        entry->name = stem;
        std::error_code error;
        const auto dataFile = state_->dataPath(*entry);
        const auto dataSize = fs::file_size(dataFile, error);
        if (!decoded || stemFor(decoded->first) != stem || error ||
            static_cast<std::int64_t>(dataSize) != decoded->first.size) {
            removed.push_back(item.path());
            continue;
        }
        entry->key = decoded->first;
        entry->present = std::move(decoded->second);
        entry->dataBytes = diskBytesOf(dataFile);
        entry->rangesBytes = diskBytesOf(item.path());
        adopted.push_back({entry, fs::last_write_time(dataFile, error)});
    }
    std::sort(adopted.begin(), adopted.end(), [](const auto& a, const auto& b) { return a.used < b.used; });
    for (const auto& [entry, used] : adopted) {
        state_->insert(entry);
        std::erase(dataStems, entry->name);
    }
    for (const auto& stem : dataStems)
        removed.push_back(state_->folder / (stem + std::string(dataSuffix)));
    for (const auto& file : removed) {
        log().info("removing a cache file that is incomplete or damaged: " + file.filename().string());
        std::error_code ignored;
        fs::remove(file, ignored);
    }
    state_->evict();
    state_->persister = std::thread([state = state_.get()] { state->runPersister(); });
}

ContentCache::~ContentCache() = default;

std::shared_ptr<ContentCache::Handle> ContentCache::open(const CacheKey& key, RangeFetcher readAhead) {
    if (key.size < 0) throw std::invalid_argument("a negative file size");
    auto& state = *state_;
    std::scoped_lock lock(state.mutex);
    std::shared_ptr<Entry> entry;
    std::vector<std::shared_ptr<Entry>> others;
    for (auto [it, last] = state.byItem.equal_range(key.identifier); it != last; ++it) {
        const auto& candidate = it->second->key;
        if (candidate.contentVersion == key.contentVersion && candidate.size == key.size)
            entry = it->second;
        else
            others.push_back(it->second);
    }
    for (const auto& other : others)
        state.drop(other);

    FileDescriptor fd(-1);
    if (entry) {
        fd.fd = ::open(state.dataPath(*entry).c_str(), O_RDWR | O_CLOEXEC);
        if (fd.fd < 0) {
            log().error("a cache file vanished; fetching its contents again");
            state.drop(entry);
            entry.reset();
        }
    }
    if (!entry) {
        entry = std::make_shared<Entry>();
        entry->key = key;
        entry->name = stemFor(key);
        ::unlink(state.rangesPath(*entry).c_str());
        fd.fd = ::open(state.dataPath(*entry).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd.fd < 0) throwErrno("cannot make a cache file in " + state.folder.string());
        if (::ftruncate(fd.fd, key.size) != 0) {
            const int error = errno;
            ::unlink(state.dataPath(*entry).c_str());
            throw std::system_error(error, std::generic_category(), "cannot size a cache file");
        }
        state.insert(entry);
    }
    ++entry->openHandles;
    state.touch(*entry);
    state.evict();
    return std::make_shared<CacheHandle>(state_, entry, fd.release(), std::move(readAhead));
}

void ContentCache::discard(const host::ItemIdentifier& identifier) {
    std::scoped_lock lock(state_->mutex);
    std::vector<std::shared_ptr<Entry>> entries;
    for (auto [it, last] = state_->byItem.equal_range(identifier); it != last; ++it)
        entries.push_back(it->second);
    for (const auto& entry : entries)
        state_->drop(entry);
}

std::int64_t ContentCache::usedBytes() const {
    std::scoped_lock lock(state_->mutex);
    return state_->usedBytes;
}

}  // namespace tw::mount
