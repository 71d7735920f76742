#include "content_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "platform/error.h"
#include "support/elapsed.h"

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using host::ByteRange;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const auto noDeadline = Clock::time_point::max();

std::string randomBytes(std::size_t size) {
    std::mt19937 random(42);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

// Serves ranges of `source` the way the extension delivers them: a new sparse file holding the range at its
// own offsets, at least `readAhead` bytes long.
class SourceFetcher {
public:
    SourceFetcher(const std::string& source, fs::path folder, std::int64_t readAhead = 0)
        : source_(source), folder_(std::move(folder)), readAhead_(readAhead) {}

    std::function<void()> beforeDelivery;  // runs outside the lock, e.g. to block or to throw
    std::function<Delivery(Delivery)> alter;

    RangeFetcher fetcher() {
        return [this](ByteRange wanted, std::stop_token) {
            const auto file = [&] {
                std::scoped_lock lock(mutex_);
                asked_.push_back(wanted);
                return folder_ / ("delivery-" + std::to_string(asked_.size()));
            }();
            if (beforeDelivery) beforeDelivery();
            const auto size = static_cast<std::int64_t>(source_.size());
            const ByteRange range{wanted.location,
                                  std::min(std::max(wanted.length, readAhead_), size - wanted.location)};
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
            EXPECT_EQ(::pwrite(fd, source_.data() + range.location, range.length, range.location),
                      range.length);
            ::close(fd);
            return alter ? alter({file, range}) : Delivery{file, range};
        };
    }
    std::vector<ByteRange> asked() {
        std::scoped_lock lock(mutex_);
        return asked_;
    }

private:
    const std::string& source_;
    fs::path folder_;
    std::int64_t readAhead_;
    std::mutex mutex_;
    std::vector<ByteRange> asked_;
};

std::string readAt(ContentCache::Handle& handle, std::int64_t offset, std::int64_t length) {
    std::string bytes(length, '\0');
    bytes.resize(std::max<ssize_t>(0, ::pread(handle.fd(), bytes.data(), length, offset)));
    return bytes;
}

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder))
        names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ContentCacheTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "content-cache-XXXXXX";
        root = ::mkdtemp(pattern.data());
        fs::create_directory(root / "deliveries");
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
    fs::path folder() const { return root / "cache"; }
    fs::path deliveries() const { return root / "deliveries"; }
    const std::string source = randomBytes(256 * 1024);
    const std::int64_t size = static_cast<std::int64_t>(source.size());
};

TEST_F(ContentCacheTest, ReadsAcrossHolesFetchOnlyWhatIsMissingAndEqualTheSource) {
    ContentCache cache(folder(), 1 << 30);
    SourceFetcher fetcher(source, deliveries());
    const auto handle = cache.open({"n1", "v1", size});
    EXPECT_EQ(handle->ensure(100, 100, fetcher.fetcher(), {}, noDeadline), 100);
    EXPECT_EQ(handle->ensure(300, 100, fetcher.fetcher(), {}, noDeadline), 100);
    EXPECT_EQ(handle->ensure(0, 1000, fetcher.fetcher(), {}, noDeadline), 1000);
    EXPECT_EQ(fetcher.asked(),
              (std::vector<ByteRange>{{100, 100}, {300, 100}, {0, 100}, {200, 100}, {400, 600}}));

    std::mt19937 random(7);
    for (int i = 0; i < 50; ++i) {
        const std::int64_t offset = random() % size;
        const std::int64_t length = random() % 20000;
        SCOPED_TRACE(std::to_string(offset) + "+" + std::to_string(length));
        const auto present = handle->ensure(offset, length, fetcher.fetcher(), {}, noDeadline);
        EXPECT_EQ(present, std::min(length, size - offset));
        EXPECT_EQ(readAt(*handle, offset, present), source.substr(offset, present));
    }
    EXPECT_EQ(handle->ensure(size - 10, 100, fetcher.fetcher(), {}, noDeadline), 10);
    EXPECT_EQ(handle->ensure(size, 100, fetcher.fetcher(), {}, noDeadline), 0);
    EXPECT_TRUE(filesIn(deliveries()).empty());
}

TEST_F(ContentCacheTest, ADeliveryLargerThanAskedIsRecordedWhole) {
    ContentCache cache(folder(), 1 << 30);
    SourceFetcher fetcher(source, deliveries(), 64 * 1024);
    const auto handle = cache.open({"n1", "v1", size});
    handle->ensure(0, 10, fetcher.fetcher(), {}, noDeadline);
    handle->ensure(1000, 60000, fetcher.fetcher(), {}, noDeadline);
    EXPECT_EQ(fetcher.asked(), (std::vector<ByteRange>{{0, 10}}));
    EXPECT_EQ(readAt(*handle, 60000, 5536), source.substr(60000, 5536));
}

TEST_F(ContentCacheTest, BadDeliveriesAreDeletedAndRecordNothing) {
    ContentCache cache(folder(), 1 << 30);
    SourceFetcher fetcher(source, deliveries());
    const auto handle = cache.open({"n1", "v1", size});
    const std::vector<std::pair<std::string, std::function<Delivery(Delivery)>>> cases = {
        {"a range short of the one asked",
         [](Delivery d) {
             return Delivery{d.file, {d.range.location + 1, 10}};
         }},
        {"a file that ends before its range",
         [](Delivery d) {
             return Delivery{d.file, {0, 4096}};
         }},
        {"a file that is gone",
         [](Delivery d) {
             fs::remove(d.file);
             return d;
         }},
    };
    for (const auto& [name, alter] : cases) {
        SCOPED_TRACE(name);
        fetcher.alter = alter;
        EXPECT_ANY_THROW(handle->ensure(2000, 100, fetcher.fetcher(), {}, noDeadline));
    }
    fetcher.alter = nullptr;
    EXPECT_EQ(handle->ensure(2000, 100, fetcher.fetcher(), {}, noDeadline), 100);
    EXPECT_EQ(fetcher.asked().size(), 4u);  // nothing of the bad deliveries was taken as present
    EXPECT_EQ(readAt(*handle, 2000, 100), source.substr(2000, 100));
    EXPECT_TRUE(filesIn(deliveries()).empty());
}

// Holds a fetch until the test releases it.
class HeldFetch {
public:
    void holdUntilReleased() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
    }
    void awaitEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return entered_; });
    }
    void release() {
        std::scoped_lock lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

// The first reader's fetch is held until the second has had 50 ms to reach its wait for it: ample for a
// thread that only takes a lock, even under the sanitizers.
TEST_F(ContentCacheTest, ReadersOfOneMissingRangeShareItsFetchAndItsFailure) {
    struct Case {
        std::string name;
        std::function<void()> firstFetchEnds;  // after the hold; later fetches succeed
        std::string first, second;             // bytes present, or the error's text
        std::size_t fetches;
    };
    const std::vector<Case> cases = {
        {"success", [] {}, "5000", "5000", 1},
        {"failure", [] { throw fileProviderError(FileProviderErrorCode::serverUnreachable, {"offline"}); },
         "offline", "offline", 1},
        {"a time-out", [] { throw std::system_error(ETIMEDOUT, std::generic_category(), "slow"); },
         "errno 110", "errno 110", 1},
        {"the first reader cancelled", [] { throw userCancelledError(); }, "cancelled", "5000", 2},
    };
    ContentCache cache(folder(), 1 << 30);
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        SourceFetcher fetcher(source, deliveries());
        HeldFetch held;
        std::atomic<int> calls = 0;
        fetcher.beforeDelivery = [&] {
            if (calls++ > 0) return;
            held.holdUntilReleased();
            row.firstFetchEnds();
        };
        const auto handle = cache.open({row.name, "v1", size});
        const auto read = [&] {
            try {
                return std::to_string(handle->ensure(0, 5000, fetcher.fetcher(), {}, noDeadline));
            } catch (const std::system_error& e) {
                return "errno " + std::to_string(e.code().value());
            } catch (const std::exception& e) {
                return std::string(e.what());
            }
        };
        auto first = std::async(std::launch::async, read);
        held.awaitEntered();
        auto second = std::async(std::launch::async, read);
        std::this_thread::sleep_for(milliseconds(50));
        held.release();
        EXPECT_EQ(first.get(), row.first);
        EXPECT_EQ(second.get(), row.second);
        EXPECT_EQ(fetcher.asked().size(), row.fetches);

        EXPECT_EQ(read(), "5000");  // a failed range is fetched again
        EXPECT_EQ(readAt(*handle, 0, 5000), source.substr(0, 5000));
        EXPECT_TRUE(filesIn(deliveries()).empty());
    }
}

TEST_F(ContentCacheTest, ASequentialReaderHasTheNextBytesFetchedAheadAndWaitsForThem) {
    const std::string big = randomBytes(8 << 20);
    const std::int64_t bigSize = static_cast<std::int64_t>(big.size());
    const std::int64_t kib64 = 64 * 1024;
    ContentCache cache(folder(), 1 << 30);
    SourceFetcher fetcher(big, deliveries());
    const auto handle = cache.open({"n1", "v1", bigSize}, fetcher.fetcher());
    const auto read = [&](std::int64_t offset) {
        EXPECT_EQ(handle->ensure(offset, kib64, fetcher.fetcher(), {}, noDeadline), kib64);
    };

    read(0);
    read(kib64);  // goes on from the last read: the next MiB, and the one after it, come in the background
    ASSERT_TRUE(test::waitUntil(5, [&] { return fetcher.asked().size() >= 4; }));
    EXPECT_EQ(fetcher.asked()[2], (ByteRange{2 * kib64, 1 << 20}));
    EXPECT_EQ(fetcher.asked()[3], (ByteRange{2 * kib64 + (1 << 20), 1 << 20}));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(fetcher.asked().size(), 4u);  // two chunks ahead of the reader, no more
    for (std::int64_t offset = 2 * kib64; offset < 2 * kib64 + (2 << 20); offset += kib64)
        read(offset);  // served by the read-ahead, which goes on ahead of it
    ASSERT_TRUE(test::waitUntil(5, [&] { return fetcher.asked().size() >= 5; }));

    read(6 << 20);  // a jump: fetched, nothing read ahead from there
    std::this_thread::sleep_for(milliseconds(100));
    const auto asked = fetcher.asked();
    EXPECT_EQ(asked.back(), (ByteRange{6 << 20, kib64}));
    // No byte was fetched twice: each range starts where none before it ended past.
    for (std::size_t i = 1; i < asked.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_TRUE(asked[i].location >= asked[j].location + asked[j].length ||
                        asked[i].location + asked[i].length <= asked[j].location)
                << i << " overlaps " << j;
    const auto through = 2 * kib64 + (2 << 20);
    EXPECT_EQ(handle->ensure(0, through, fetcher.fetcher(), {}, noDeadline), through);
    EXPECT_EQ(readAt(*handle, 0, through), big.substr(0, through));
    EXPECT_EQ(fetcher.asked().size(), asked.size());
}

TEST_F(ContentCacheTest, ClosingAHandleCancelsItsReadAheadAndLeavesTheRangeToOthers) {
    ContentCache cache(folder(), 1 << 30);
    SourceFetcher fetcher(source, deliveries());
    std::atomic<bool> entered = false;
    const RangeFetcher stuck = [&](ByteRange, std::stop_token stop) -> Delivery {
        entered = true;
        std::mutex mutex;
        std::unique_lock lock(mutex);
        std::condition_variable_any().wait(lock, stop, [] { return false; });
        throw userCancelledError();
    };
    auto handle = cache.open({"n1", "v1", size}, stuck);
    handle->ensure(0, 100, fetcher.fetcher(), {}, noDeadline);
    handle->ensure(100, 100, fetcher.fetcher(), {}, noDeadline);
    ASSERT_TRUE(test::waitUntil(5, [&] { return entered.load(); }));

    const auto start = Clock::now();
    handle.reset();
    EXPECT_LT(test::secondsSince(start), 1.0);
    const auto other = cache.open({"n1", "v1", size});
    EXPECT_EQ(other->ensure(200, 1000, fetcher.fetcher(), {}, noDeadline), 1000);
    EXPECT_EQ(readAt(*other, 0, 1200), source.substr(0, 1200));
}

TEST_F(ContentCacheTest, StopAndDeadlineEndAWaitForAnotherReadersFetch) {
    ContentCache cache(folder(), 1 << 30);
    SourceFetcher fetcher(source, deliveries());
    HeldFetch held;
    fetcher.beforeDelivery = [&] { held.holdUntilReleased(); };
    const auto handle = cache.open({"n1", "v1", size});
    auto fetching =
        std::async(std::launch::async, [&] { handle->ensure(0, 5000, fetcher.fetcher(), {}, noDeadline); });
    held.awaitEntered();

    const auto start = Clock::now();
    try {
        handle->ensure(0, 100, fetcher.fetcher(), {}, start + milliseconds(100));
        ADD_FAILURE() << "the wait did not time out";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ETIMEDOUT);
    }
    EXPECT_NEAR(test::secondsSince(start), 0.1, 0.08);

    std::stop_source stop;
    auto stopper = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(milliseconds(20));
        stop.request_stop();
    });
    try {
        handle->ensure(0, 100, fetcher.fetcher(), stop.get_token(), noDeadline);
        ADD_FAILURE() << "the wait was not stopped";
    } catch (const Error& e) {
        EXPECT_EQ(e.domain(), cocoaErrorDomain);
        EXPECT_EQ(e.code(), userCancelledErrorCode);
    }
    held.release();
    fetching.get();
    EXPECT_EQ(fetcher.asked().size(), 1u);
}

TEST_F(ContentCacheTest, ANewContentVersionOrADiscardDropsTheOldFileButNotItsOpenReader) {
    ContentCache cache(folder(), 1 << 30);
    SourceFetcher fetcher(source, deliveries());
    auto old = cache.open({"n1", "v1", size});
    old->ensure(0, 1000, fetcher.fetcher(), {}, noDeadline);
    const auto filesOfOne = filesIn(folder());

    cache.open({"n1", "v2", size})->ensure(0, 1000, fetcher.fetcher(), {}, noDeadline);
    EXPECT_EQ(readAt(*old, 0, 1000), source.substr(0, 1000));
    old->ensure(1000, 1000, fetcher.fetcher(), {}, noDeadline);
    EXPECT_EQ(readAt(*old, 1000, 1000), source.substr(1000, 1000));
    old.reset();
    for (const auto& name : filesOfOne)
        EXPECT_FALSE(fs::exists(folder() / name)) << name;
    EXPECT_EQ(filesIn(folder()).size(), 2u);  // the new version's data and ranges

    cache.discard("n1");
    EXPECT_TRUE(filesIn(folder()).empty());
    EXPECT_EQ(cache.usedBytes(), 0);
}

TEST_F(ContentCacheTest, EvictionKeepsTheLimitAndNeverRemovesAnOpenFile) {
    const std::int64_t fileSize = 64 * 1024;
    const std::int64_t limit = 3 * (fileSize + 8192);
    ContentCache cache(folder(), limit);
    SourceFetcher fetcher(source, deliveries());
    const auto kept = cache.open({"kept", "v", fileSize});
    kept->ensure(0, fileSize, fetcher.fetcher(), {}, noDeadline);
    for (const auto* name : {"b", "c", "d", "e"})
        cache.open({name, "v", fileSize})->ensure(0, fileSize, fetcher.fetcher(), {}, noDeadline);
    EXPECT_LE(cache.usedBytes(), limit);
    EXPECT_EQ(readAt(*kept, 0, fileSize), source.substr(0, fileSize));

    const auto fetches = fetcher.asked().size();
    cache.open({"e", "v", fileSize})->ensure(0, fileSize, fetcher.fetcher(), {}, noDeadline);
    EXPECT_EQ(fetcher.asked().size(), fetches);  // the most recent stayed
    kept->ensure(0, fileSize, fetcher.fetcher(), {}, noDeadline);
    EXPECT_EQ(fetcher.asked().size(), fetches);  // the open one stayed
    cache.open({"b", "v", fileSize})->ensure(0, fileSize, fetcher.fetcher(), {}, noDeadline);
    EXPECT_EQ(fetcher.asked().size(), fetches + 1);  // the least recently used went
}

TEST_F(ContentCacheTest, ARestartReusesPersistedRangesOnlyAndRemovesDamagedFiles) {
    SourceFetcher fetcher(source, deliveries());
    ContentCache before(folder(), 1 << 30);
    before.open({"n1", "v1", size})->ensure(0, 1000, fetcher.fetcher(), {}, noDeadline);
    // Still open when the process "ends": its ranges were never persisted.
    const auto unsaved = before.open({"n1", "v1", size});
    unsaved->ensure(5000, 1000, fetcher.fetcher(), {}, noDeadline);
    const std::string stemA(64, 'a');
    const std::string stemB(64, 'b');
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {stemA + ".ranges", "tidewright cache ranges 1\n6e31\n"},
             {stemB + ".data", "data without ranges"},
             {stemB + ".ranges.3.tmp", "half written"},
             {"notes.txt", "not the cache's"}})
        std::ofstream(folder() / name) << text;

    ContentCache after(folder(), 1 << 30);
    EXPECT_GT(after.usedBytes(), 0);
    const auto handle = after.open({"n1", "v1", size});
    handle->ensure(0, 1000, fetcher.fetcher(), {}, noDeadline);
    handle->ensure(5000, 1000, fetcher.fetcher(), {}, noDeadline);
    EXPECT_EQ(fetcher.asked(), (std::vector<ByteRange>{{0, 1000}, {5000, 1000}, {5000, 1000}}));
    EXPECT_EQ(readAt(*handle, 0, 1000), source.substr(0, 1000));
    for (const auto& name : {stemA + ".ranges", stemB + ".data", stemB + ".ranges.3.tmp"})
        EXPECT_FALSE(fs::exists(folder() / name)) << name;
    EXPECT_TRUE(fs::exists(folder() / "notes.txt"));
}

TEST_F(ContentCacheTest, UnsafeIdentifiersAndVersionsStayInsideTheFolder) {
    ContentCache cache(folder(), 1 << 30);
    SourceFetcher fetcher(source, deliveries());
    const std::vector<CacheKey> keys = {{"../x", "v", 100},
                                        {"a/b", "../../v", 100},
                                        {std::string("a\0b", 3), std::string("\0", 1), 100},
                                        {"", "", 100}};
    for (const auto& key : keys) {
        SCOPED_TRACE(key.identifier);
        const auto handle = cache.open(key);
        EXPECT_EQ(handle->ensure(0, 100, fetcher.fetcher(), {}, noDeadline), 100);
    }
    EXPECT_EQ(filesIn(root), (std::vector<std::string>{"cache", "deliveries"}));
    const auto names = filesIn(folder());
    EXPECT_EQ(names.size(), 2 * keys.size());
    for (const auto& name : names)
        EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), 64u) << name;
}

}  // namespace
}  // namespace tw::mount
