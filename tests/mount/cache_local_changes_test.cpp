// Cache files holding local changes: whole, never evicted nor discarded, resized, settled as a new version
// of the service's, or given up.
#include <sys/stat.h>

#include <future>
#include <thread>

#include "cache_test_support.h"

namespace tw::mount {
namespace {

using namespace cachetest;
using std::chrono::milliseconds;

class CacheLocalChangesTest : public CacheTest {
protected:
    std::shared_ptr<ContentCache::Handle> openWhole(ContentCache& cache, const CacheKey& key) {
        auto handle = cache.open(key);
        EXPECT_EQ(ensure(*handle, 0, key.size), key.size);
        return handle;
    }
    static void writeAt(ContentCache::Handle& handle, std::int64_t offset, const std::string& bytes) {
        ASSERT_EQ(::pwrite(handle.fd(), bytes.data(), bytes.size(), offset), std::ssize(bytes));
    }
    static std::int64_t fileSize(ContentCache::Handle& handle) {
        struct stat status {};
        ::fstat(handle.fd(), &status);
        return status.st_size;
    }
};

TEST_F(CacheLocalChangesTest, AFileTakesLocalChangesOnlyOnceWholeAndKeepsTheFlag) {
    const auto handle = cache.open({"n1", "v1", size});
    ensure(*handle, 0, size - 1);
    EXPECT_EQ(outcome([&] { return (handle->holdLocalChanges(), 0); }),
              "logic: a cache file can hold local changes only once it is whole");
    EXPECT_FALSE(handle->holdsLocalChanges());
    EXPECT_FALSE(cache.holdsLocalChanges("n1"));
    ensure(*handle, 0, size);
    handle->holdLocalChanges();
    handle->holdLocalChanges();  // once is enough; again is nothing
    EXPECT_TRUE(handle->holdsLocalChanges());
    EXPECT_TRUE(cache.holdsLocalChanges("n1"));
    EXPECT_FALSE(cache.holdsLocalChanges("n2"));
}

// Each row starts from a fresh file with [0, present) fetched.
TEST_F(CacheLocalChangesTest, AResizeNeedsTheBytesBelowTheLowerSizeAndKeepsTheRangesRight) {
    struct Case {
        std::string name;
        std::int64_t present, newSize;
        std::string result;  // "0", or the error
    };
    const std::int64_t s = size;
    const Case cases[] = {
        {"a truncation to nothing, nothing fetched", 0, 0, "0"},
        {"a truncation within what was fetched", 1000, 1000, "0"},
        {"a truncation past what was fetched", 1000, 1001,
         "logic: a cache file can hold local changes only once it is whole"},
        {"a growth of a whole file", s, s + 5000, "0"},
        {"a growth of a file not whole", s - 1, s + 5000,
         "logic: a cache file can hold local changes only once it is whole"},
        {"the same size", s, s, "0"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const CacheKey key{row.name, "v1", size};
        const auto handle = cache.open(key);
        ensure(*handle, 0, row.present);
        const auto fetches = fetcher.asked().size();
        ASSERT_EQ(outcome([&] { return (handle->resize(row.newSize), 0); }), row.result);
        if (row.result != "0") {  // nothing changed
            EXPECT_FALSE(handle->holdsLocalChanges());
            EXPECT_EQ(handle->size(), size);
            EXPECT_EQ(fileSize(*handle), size);
            continue;
        }
        EXPECT_TRUE(handle->holdsLocalChanges());
        EXPECT_EQ(handle->size(), row.newSize);
        EXPECT_EQ(fileSize(*handle), row.newSize);
        // Whole at its new size: nothing is fetched, the service's bytes below, zeros past its old end.
        EXPECT_EQ(ensure(*handle, 0, row.newSize + 100), row.newSize);
        EXPECT_EQ(fetcher.asked().size(), fetches);
        const auto kept = std::min(row.newSize, size);
        EXPECT_EQ(readAt(*handle, 0, kept), source.substr(0, kept));
        EXPECT_EQ(readAt(*handle, kept, row.newSize), std::string(row.newSize - kept, '\0'));
    }
}

TEST_F(CacheLocalChangesTest, ATruncationThenAGrowthReadsZerosNotTheServicesBytes) {
    const auto handle = openWhole(cache, {"n1", "v1", size});
    handle->resize(1000);
    handle->resize(3000);
    EXPECT_EQ(ensure(*handle, 0, 3000), 3000);
    EXPECT_EQ(fetcher.asked().size(), 1u);
    EXPECT_EQ(readAt(*handle, 0, 3000), source.substr(0, 1000) + std::string(2000, '\0'));
}

TEST_F(CacheLocalChangesTest, AFileWithLocalChangesIsNeverEvictedDiscardedNorReplaced) {
    const std::int64_t fileSize = 64 * 1024, limit = 2 * (fileSize + 8192);
    ContentCache cache(dir.path() / "small", limit);
    {
        const auto changed = openWhole(cache, {"changed", "v1", fileSize});
        changed->resize(fileSize + 10);
        writeAt(*changed, 0, "local bytes");
    }
    for (const auto* name : {"b", "c", "d"})
        openWhole(cache, {name, "v1", fileSize});
    cache.discard("changed");
    EXPECT_TRUE(cache.holdsLocalChanges("changed"));
    // Another version of the item, as the service sees it: a file of its own beside the changed one.
    openWhole(cache, {"changed", "v2", fileSize});

    const auto fetches = fetcher.asked().size();
    const auto reopened = cache.open({"changed", "v1", fileSize});  // the version's size, not the file's
    EXPECT_TRUE(reopened->holdsLocalChanges());
    EXPECT_EQ(reopened->size(), fileSize + 10);
    EXPECT_EQ(ensure(*reopened, 0, fileSize + 10), fileSize + 10);
    EXPECT_EQ(fetcher.asked().size(), fetches);
    EXPECT_EQ(readAt(*reopened, 0, 11), "local bytes");
    EXPECT_EQ(readAt(*reopened, 11, fileSize - 11), source.substr(11, fileSize - 11));
}

// A larger delivery that reaches over a range another reader is still fetching leaves that range to it: the
// file is whole, and may take local changes, only once that reader's delivery is in.
TEST_F(CacheLocalChangesTest, ADeliveryLeavesARangeUnderWayToItsReaderAndLocalChangesWaitForIt) {
    HeldFetch held;
    std::atomic<int> calls = 0;
    fetcher.beforeDelivery = [&] {
        if (calls++ == 0) held.hold();
    };
    const auto handle = cache.open({"n1", "v1", size});
    auto first =
        std::async(std::launch::async, [&] { return outcome([&] { return ensure(*handle, 0, 100); }); });
    held.entered.get_future().wait();
    fetcher.alter = [&](Delivery delivery) {  // the second reader's delivery begins at 0
        const int fd = ::open(delivery.file.c_str(), O_WRONLY);
        EXPECT_EQ(::pwrite(fd, source.data(), 1000, 0), 1000);
        ::close(fd);
        return Delivery{delivery.file, {0, size}};
    };
    EXPECT_EQ(ensure(*handle, 1000, size), size - 1000);
    EXPECT_EQ(outcome([&] { return (handle->holdLocalChanges(), 0); }),
              "logic: a cache file can hold local changes only once it is whole");
    held.released.set_value();
    EXPECT_EQ(first.get(), "100");
    handle->holdLocalChanges();
    writeAt(*handle, 0, "local bytes");
    EXPECT_EQ(readAt(*handle, 0, 1000), "local bytes" + source.substr(11, 989));
    EXPECT_EQ(fetcher.asked().size(), 2u);
    EXPECT_TRUE(filesIn(deliveries()).empty());
}

// A file made here is cached under a local identity until the service makes it: it settles as the made item.
TEST_F(CacheLocalChangesTest, ANewFilesChangesSettleAsTheItemTheServiceMade) {
    {
        const auto made = cache.open({"local-1", "", 0});
        made->holdLocalChanges();
        writeAt(*made, 0, "new file");
        made->wrote(8);
        made->makeDurable();
        EXPECT_TRUE(cache.holdsLocalChanges("local-1"));
        made->settleLocalChanges("n9", "v1");
        EXPECT_FALSE(cache.holdsLocalChanges("local-1"));
    }
    const auto reopened = cache.open({"n9", "v1", 8});
    EXPECT_EQ(ensure(*reopened, 0, 8), 8);
    EXPECT_EQ(readAt(*reopened, 0, 8), "new file");
    EXPECT_TRUE(fetcher.asked().empty());
}

TEST_F(CacheLocalChangesTest, SettledChangesAreTheNewVersionsCacheFile) {
    const auto handle = openWhole(cache, {"n1", "v1", size});
    EXPECT_EQ(outcome([&] { return (handle->settleLocalChanges("n1", "v2"), 0); }),
              "logic: the cache file holds no local changes");
    handle->resize(1000);
    writeAt(*handle, 0, "local bytes");
    // A reader of the new version came first, and has its own file: that one goes, its reader keeps it.
    const auto early = openWhole(cache, {"n1", "v2", 1000});
    handle->settleLocalChanges("n1", "v2");
    EXPECT_FALSE(handle->holdsLocalChanges());
    EXPECT_FALSE(cache.holdsLocalChanges("n1"));
    EXPECT_EQ(readAt(*early, 0, 11), source.substr(0, 11));

    const auto fetches = fetcher.asked().size();
    const auto settled = cache.open({"n1", "v2", 1000});
    EXPECT_EQ(ensure(*settled, 0, 1000), 1000);
    EXPECT_EQ(fetcher.asked().size(), fetches);
    EXPECT_EQ(readAt(*settled, 0, 11), "local bytes");
    EXPECT_EQ(filesIn(folder()).size(), 2u);  // its data and sidecar, under the new version's names
    settled->resize(999);                     // a settled file may take local changes again
    EXPECT_TRUE(cache.holdsLocalChanges("n1"));
}

TEST_F(CacheLocalChangesTest, DiscardedChangesTakeTheFileAwayAndAStaleFileTakesNone) {
    const auto handle = openWhole(cache, {"n1", "v1", size});
    handle->resize(10);
    handle->discardLocalChanges();
    EXPECT_FALSE(cache.holdsLocalChanges("n1"));
    EXPECT_TRUE(filesIn(folder()).empty());
    EXPECT_EQ(readAt(*handle, 0, 10), source.substr(0, 10));  // the open handle still reads its file
    EXPECT_EQ(outcome([&] { return (handle->holdLocalChanges(), 0); }), "errno " + std::to_string(ESTALE));

    const auto fresh = cache.open({"n1", "v1", size});
    EXPECT_EQ(ensure(*fresh, 0, size), size);
    EXPECT_EQ(fetcher.asked().size(), 2u);
    // A new version of the item drops this one while it is open: it takes no local changes.
    const auto newer = cache.open({"n1", "v2", size});
    EXPECT_EQ(outcome([&] { return (fresh->resize(5), 0); }), "errno " + std::to_string(ESTALE));
    EXPECT_EQ(fresh->size(), size);
}

}  // namespace
}  // namespace tw::mount
