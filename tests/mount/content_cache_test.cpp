#include "mount/content_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <thread>

#include "cache_test_support.h"
#include "platform/error.h"
#include "support/elapsed.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

using host::ByteRange;
using std::chrono::milliseconds;
using namespace cachetest;

class ContentCacheTest : public CacheTest {};

TEST_F(ContentCacheTest, ReadsAcrossHolesFetchOnlyWhatIsMissingAndEqualTheSource) {
    const auto handle = cache.open({"n1", "v1", size});
    EXPECT_EQ(ensure(*handle, 100, 100), 100);
    EXPECT_EQ(ensure(*handle, 300, 100), 100);
    EXPECT_EQ(ensure(*handle, 0, 1000), 1000);
    EXPECT_EQ(fetcher.asked(), (Ranges{{100, 100}, {300, 100}, {0, 100}, {200, 100}, {400, 600}}));
    EXPECT_EQ(readAt(*handle, 0, 1000), source.substr(0, 1000));
    EXPECT_EQ(ensure(*handle, size - 10, 100), 10);
    EXPECT_EQ(ensure(*handle, size, 100), 0);

    fetcher.readAhead = 64 * 1024;  // a delivery larger than asked is recorded whole
    const auto other = cache.open({"n2", "v1", size});
    ensure(*other, 0, 10);
    EXPECT_EQ(ensure(*other, 1000, 60000), 60000);
    EXPECT_EQ(fetcher.asked().back(), (ByteRange{0, 10}));
    EXPECT_EQ(readAt(*other, 60000, 5536), source.substr(60000, 5536));

    // What a delivery brings along that the file holds already is not written again (eviction may be
    // punching it out meanwhile): here the delivery's copy of it is damaged, and the file's stays right.
    const auto third = cache.open({"n3", "v1", size});
    const auto fetches = fetcher.asked().size();
    ensure(*third, 32 * 1024, 1);  // [32 KiB, 96 KiB)
    fetcher.alter = [](Delivery d) {
        const int fd = ::open(d.file.c_str(), O_WRONLY);
        EXPECT_EQ(::pwrite(fd, std::string(32 * 1024, 'x').data(), 32 * 1024, 32 * 1024), 32 * 1024);
        ::close(fd);
        return d;
    };
    EXPECT_EQ(ensure(*third, 0, 1), 1);  // [0, 64 KiB)
    fetcher.alter = nullptr;
    EXPECT_EQ(ensure(*third, 0, 96 * 1024), 96 * 1024);
    EXPECT_EQ(fetcher.asked().size(), fetches + 2);
    EXPECT_TRUE(readAt(*third, 0, 96 * 1024) == source.substr(0, 96 * 1024));
    EXPECT_TRUE(filesIn(deliveries()).empty());
}

TEST_F(ContentCacheTest, BadDeliveriesAreDeletedAndRecordNothing) {
    const auto handle = cache.open({"n1", "v1", size});
    // A range short of the one asked, a file that ends before its range, a file that is gone.
    const std::optional<ByteRange> claims[] = {ByteRange{2001, 10}, ByteRange{0, 4096}, std::nullopt};
    for (const auto& claim : claims) {
        SCOPED_TRACE(&claim - claims);
        fetcher.alter = [&](Delivery d) {
            if (!claim) fs::remove(d.file);
            return Delivery{d.file, claim.value_or(d.range)};
        };
        EXPECT_ANY_THROW(ensure(*handle, 2000, 100));
    }
    fetcher.alter = nullptr;
    EXPECT_EQ(ensure(*handle, 2000, 100), 100);
    EXPECT_EQ(fetcher.asked().size(), 4u);  // nothing of the bad deliveries was taken as present
    EXPECT_EQ(readAt(*handle, 2000, 100), source.substr(2000, 100));
    EXPECT_TRUE(filesIn(deliveries()).empty());
}

// The first reader's fetch is held until the second has had 50 ms to reach its wait for it: ample for a
// thread that only takes a lock, even under the sanitizers.
TEST_F(ContentCacheTest, ReadersOfOneMissingRangeShareItsFetchAndItsFailure) {
    struct Case {
        std::string name;
        std::function<void()> firstFetchEnds;  // after the hold; later fetches succeed
        std::string first, second;             // bytes present, or the error's text
        std::size_t fetches;
    };
    const Case cases[] = {
        {"success", [] {}, "5000", "5000", 1},
        {"failure", [] { throw fileProviderError(FileProviderErrorCode::serverUnreachable, {"offline"}); },
         "NSFileProviderErrorDomain -1004 offline", "NSFileProviderErrorDomain -1004 offline", 1},
        {"a time-out", [] { throw std::system_error(ETIMEDOUT, std::generic_category(), "slow"); },
         "errno 110", "errno 110", 1},
        {"the first reader cancelled", [] { throw userCancelledError(); },
         "NSCocoaErrorDomain 3072 cancelled", "5000", 2},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        HeldFetch held;
        std::atomic<int> calls = 0;
        fetcher.beforeDelivery = [&] {
            if (calls++ > 0) return;
            held.hold();
            row.firstFetchEnds();
        };
        const auto fetchesBefore = fetcher.asked().size();
        const auto handle = cache.open({row.name, "v1", size});
        const auto read = [&] { return outcome([&] { return ensure(*handle, 0, 5000); }); };
        auto first = std::async(std::launch::async, read);
        held.entered.get_future().wait();
        auto second = std::async(std::launch::async, read);
        std::this_thread::sleep_for(milliseconds(50));
        held.released.set_value();
        EXPECT_EQ(first.get(), row.first);
        EXPECT_EQ(second.get(), row.second);
        EXPECT_EQ(fetcher.asked().size() - fetchesBefore, row.fetches);

        EXPECT_EQ(read(), "5000");  // a failed range is fetched again
        EXPECT_TRUE(filesIn(deliveries()).empty());
    }
}

// Two chunks ahead of a sequential reader and no further; a jump reads nothing ahead; no byte is fetched
// twice.
TEST_F(ContentCacheTest, ASequentialReaderHasTheNextBytesFetchedAheadAndWaitsForThem) {
    const std::string big = test::seededBytes(8 << 20, 42);
    const std::int64_t kib64 = 64 * 1024, through = 2 * kib64 + (2 << 20);
    SourceFetcher fetcher{big, deliveries()};
    const auto handle = cache.open({"n1", "v1", std::ssize(big)}, std::ref(fetcher));
    const auto read = [&](std::int64_t offset, std::int64_t length = 64 * 1024) {
        EXPECT_EQ(handle->ensure(offset, length, std::ref(fetcher), {}, noDeadline), length);
    };
    read(0);
    read(kib64);
    ASSERT_TRUE(test::waitUntil(5, [&] { return fetcher.asked().size() >= 4; }));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(fetcher.asked(),
              (Ranges{{0, kib64}, {kib64, kib64}, {2 * kib64, 1 << 20}, {2 * kib64 + (1 << 20), 1 << 20}}));
    for (std::int64_t offset = 2 * kib64; offset < through; offset += kib64)
        read(offset);  // served by the read-ahead, which goes on ahead of it
    // Two chunks past the reader, and no more.
    ASSERT_TRUE(test::waitUntil(5, [&] {
        return cache.presentBytes({"n1", "v1", std::ssize(big)}) >= through + (2 << 20);
    }));
    read(6 << 20);
    std::this_thread::sleep_for(milliseconds(100));
    auto asked = fetcher.asked();
    EXPECT_EQ(asked.back(), (ByteRange{6 << 20, kib64}));
    std::sort(asked.begin(), asked.end(), [](auto& a, auto& b) { return a.location < b.location; });
    for (std::size_t i = 1; i < asked.size(); ++i)
        EXPECT_GE(asked[i].location, asked[i - 1].location + asked[i - 1].length) << i;
    read(0, through);
    EXPECT_EQ(readAt(*handle, 0, through), big.substr(0, through));
}

TEST_F(ContentCacheTest, ClosingAHandleCancelsItsReadAheadAndLeavesTheRangeToOthers) {
    std::atomic<bool> entered = false;
    const RangeFetcher stuck = [&](ByteRange, std::stop_token stop) -> Delivery {
        entered = true;
        std::mutex mutex;
        std::unique_lock lock(mutex);
        std::condition_variable_any().wait(lock, stop, [] { return false; });
        throw userCancelledError();
    };
    auto handle = cache.open({"n1", "v1", size}, stuck);
    ensure(*handle, 0, 100);
    ensure(*handle, 100, 100);  // goes on from the first read: the next bytes are read ahead
    ASSERT_TRUE(test::waitUntil(5, [&] { return entered.load(); }));

    const auto start = Clock::now();
    handle.reset();
    EXPECT_LT(test::secondsSince(start), 1.0);
    const auto other = cache.open({"n1", "v1", size});
    EXPECT_EQ(ensure(*other, 200, 1000), 1000);
    EXPECT_EQ(readAt(*other, 0, 1200), source.substr(0, 1200));
}

TEST_F(ContentCacheTest, StopAndDeadlineEndAWaitForAnotherReadersFetch) {
    HeldFetch held;
    fetcher.beforeDelivery = [&] { held.hold(); };
    const auto handle = cache.open({"n1", "v1", size});
    auto fetching = std::async(std::launch::async, [&] { ensure(*handle, 0, 5000); });
    held.entered.get_future().wait();

    const auto start = Clock::now();
    EXPECT_EQ(outcome([&] { return ensure(*handle, 0, 100, {}, start + milliseconds(100)); }), "errno 110");
    EXPECT_NEAR(test::secondsSince(start), 0.1, 0.08);
    std::stop_source stop;
    auto stopper = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(milliseconds(20));
        stop.request_stop();
    });
    EXPECT_EQ(outcome([&] { return ensure(*handle, 0, 100, stop.get_token()); }),
              "NSCocoaErrorDomain 3072 cancelled");
    held.released.set_value();
    fetching.get();
    EXPECT_EQ(fetcher.asked().size(), 1u);
}

TEST_F(ContentCacheTest, ANewContentVersionOrADiscardDropsTheOldFileButNotItsOpenReader) {
    auto old = cache.open({"n1", "v1", size});
    ensure(*old, 0, 1000);
    const auto filesOfOne = filesIn(folder());

    ensure(*cache.open({"n1", "v2", size}), 0, 1000);
    ensure(*old, 1000, 1000);
    EXPECT_EQ(readAt(*old, 0, 2000), source.substr(0, 2000));
    old.reset();
    for (const auto& name : filesOfOne)
        EXPECT_FALSE(fs::exists(folder() / name)) << name;
    EXPECT_EQ(filesIn(folder()).size(), 2u);  // the new version's data and ranges

    cache.discard("n1");
    EXPECT_TRUE(filesIn(folder()).empty());
    EXPECT_EQ(cache.usedBytes(), 0);
}

// A delivery of a whole file that the cache holds nothing of is moved in as its cache file, which readers
// and a restart then use without fetching; a version the cache holds some of, or that is open, is refused.
TEST_F(ContentCacheTest, AWholeDeliveryOfAnUncachedVersionIsMovedInAndOthersAreRefused) {
    const auto whole = [&] { return fetcher({0, size}, {}); };
    auto first = whole();
    {
        ContentCache adopting(folder(), 1 << 30);
        EXPECT_FALSE(adopting.adopt({"n1", "v1", size + 1}, first));  // not all of that size
        ensure(*adopting.open({"n1", "v0", size}), 0, 10);
        EXPECT_TRUE(adopting.adopt({"n1", "v1", size}, first));
        EXPECT_FALSE(fs::exists(first.file));
        EXPECT_EQ(adopting.presentBytes({"n1", "v1", size}), size);
        EXPECT_EQ(adopting.presentBytes({"n1", "v0", size}), 0);  // the older version went
        EXPECT_GE(adopting.usedBytes(), size);

        const auto partly = adopting.open({"n2", "v1", size});
        ensure(*partly, 0, 10);
        const auto open = adopting.open({"n3", "v1", size});
        for (const auto* name : {"n2", "n3"}) {
            const auto refused = whole();
            EXPECT_FALSE(adopting.adopt({name, "v1", size}, refused)) << name;
            EXPECT_TRUE(fs::exists(refused.file)) << name;  // still the caller's
        }
    }
    const auto fetches = fetcher.asked().size();
    ContentCache restarted(folder(), 1 << 30);
    const auto handle = restarted.open({"n1", "v1", size});
    EXPECT_EQ(ensure(*handle, 0, size), size);
    EXPECT_EQ(fetcher.asked().size(), fetches);
    EXPECT_TRUE(readAt(*handle, 0, size) == source);
}

TEST_F(ContentCacheTest, EvictionKeepsTheLimitAndNeverRemovesAnOpenFile) {
    const std::int64_t fileSize = 64 * 1024, limit = 3 * (fileSize + 8192);
    ContentCache cache(dir.path() / "small", limit);
    const auto fill = [&](const char* name) { ensure(*cache.open({name, "v", fileSize}), 0, fileSize); };
    const auto kept = cache.open({"kept", "v", fileSize});
    ensure(*kept, 0, fileSize);
    for (const auto* name : {"b", "c", "d", "e"})
        fill(name);
    EXPECT_LE(cache.usedBytes(), limit);
    EXPECT_EQ(readAt(*kept, 0, fileSize), source.substr(0, fileSize));

    const auto fetches = fetcher.asked().size();
    fill("e");
    EXPECT_EQ(fetcher.asked().size(), fetches);  // the most recent stayed
    ensure(*cache.open({"kept", "v", fileSize}), 0, fileSize);
    EXPECT_EQ(fetcher.asked().size(), fetches);  // the open one stayed, for its next reader too
    fill("b");
    EXPECT_EQ(fetcher.asked().size(), fetches + 1);  // the least recently used went
}

TEST_F(ContentCacheTest, ARestartReusesPersistedRangesOnlyAndRemovesDamagedFiles) {
    const auto folder = dir.path() / "restarted";
    ContentCache before(folder, 1 << 30);
    ensure(*before.open({"n1", "v1", size}), 0, 1000);
    // Still open when the process "ends": its ranges were never persisted.
    const auto unsaved = before.open({"n1", "v1", size});
    ensure(*unsaved, 5000, 1000);
    const std::string stemA(64, 'a'), stemB(64, 'b');
    const std::pair<std::string, const char*> files[] = {
        {stemA + ".ranges", "tidewright cache ranges 1\n6e31\n"},
        {stemB + ".data", "data without ranges"},
        {stemB + ".ranges.3.tmp", "half written"},
        {"notes.txt", "not the cache's"}};
    for (const auto& [name, text] : files)
        std::ofstream(folder / name) << text;

    ContentCache after(folder, 1 << 30);
    EXPECT_GT(after.usedBytes(), 0);
    const auto handle = after.open({"n1", "v1", size});
    ensure(*handle, 0, 1000);
    ensure(*handle, 5000, 1000);
    EXPECT_EQ(fetcher.asked(), (Ranges{{0, 1000}, {5000, 1000}, {5000, 1000}}));
    EXPECT_EQ(readAt(*handle, 0, 1000), source.substr(0, 1000));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(fs::exists(folder / files[i].first)) << files[i].first;
    EXPECT_TRUE(fs::exists(folder / "notes.txt"));
}

TEST_F(ContentCacheTest, UnsafeIdentifiersAndVersionsStayInsideTheFolder) {
    const CacheKey keys[] = {{"../x", "v", 100},
                             {"a/b", "../../v", 100},
                             {std::string("a\0b", 3), std::string("\0", 1), 100},
                             {"", "", 100}};
    for (const auto& key : keys) {
        SCOPED_TRACE(key.identifier);
        EXPECT_EQ(ensure(*cache.open(key), 0, 100), 100);
    }
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"cache", "deliveries"}));
    const auto names = filesIn(folder());
    EXPECT_EQ(names.size(), 2 * std::size(keys));
    for (const auto& name : names)
        EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), 64u) << name;
}

// A cache whose limit is a quarter of the file read through it.
class LimitedCacheTest : public CacheTest {
protected:
    static constexpr std::int64_t limit = 64 * 1024, piece = 16 * 1024;
    fs::path limited() const { return dir.path() / "limited"; }
    ContentCache small{limited(), limit};
};

// Read from start to end through one open handle, a file four times the limit keeps the cache within it: the
// ranges behind the reader go, a range a reader holds stays, and every read gets the source's bytes.
TEST_F(LimitedCacheTest, AnOpenFileReadPastTheLimitGivesUpTheRangesNoReaderHolds) {
    ensure(*small.open({"big", "v1", size}), 0, 2 * piece);  // in its sidecar once the handle closes
    const auto handle = small.open({"big", "v1", size});
    const auto held = handle->hold(2 * piece, piece);
    for (std::int64_t at = 2 * piece; at < size; at += piece) {
        const auto reading = handle->hold(at, piece);
        ASSERT_EQ(ensure(*handle, at, piece), piece);
        ASSERT_EQ(readAt(*handle, at, piece), source.substr(at, piece)) << at;
        EXPECT_LE(small.usedBytes(), limit) << at;
    }
    const auto fetches = fetcher.asked().size();
    ensure(*handle, 2 * piece, piece);  // held all along
    EXPECT_EQ(fetcher.asked().size(), fetches);

    // Another cache on the folder (a restart after a crash) trusts no range that was punched out: the
    // sidecar said so first.
    ContentCache after(limited(), 1 << 30);
    const auto again = after.open({"big", "v1", size});
    for (std::int64_t at = 0; at < size; at += piece) {
        ASSERT_EQ(ensure(*again, at, piece), piece);
        ASSERT_EQ(readAt(*again, at, piece), source.substr(at, piece)) << at;
    }
    EXPECT_GT(fetcher.asked().size(), fetches);
}

// Kept files (pinned ones) and files holding local changes are never evicted; when they fill the cache a
// fetch of anything else is refused with ENOSPC, and a writer's growth finds no room.
TEST_F(LimitedCacheTest, WhatCannotBeEvictedFillsTheCacheAndWhatNoLongerFitsIsRefused) {
    small.keep({"pinned"});
    ensure(*small.open({"pinned", "v1", size}), 0, 40 * 1024);
    const auto written = small.open({"written", "v1", 8192});
    ensure(*written, 0, 8192);
    written->holdLocalChanges();
    EXPECT_TRUE(written->makeRoom(4096));
    EXPECT_FALSE(written->makeRoom(limit));

    const auto other = small.open({"other", "v1", size});
    EXPECT_EQ(outcome([&] { return ensure(*other, 0, 32 * 1024); }), "errno " + std::to_string(ENOSPC));
    EXPECT_EQ(small.presentBytes({"pinned", "v1", size}), 40 * 1024);
    EXPECT_EQ(readAt(*small.open({"pinned", "v1", size}), 0, 100), source.substr(0, 100));

    small.keep({});  // unpinned: it may go now
    EXPECT_EQ(ensure(*other, 0, 32 * 1024), 32 * 1024);
    EXPECT_EQ(small.presentBytes({"pinned", "v1", size}), 0);
}

}  // namespace
}  // namespace tw::mount
