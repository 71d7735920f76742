// The content cache started again on the files an earlier run left: what it adopts, cuts back or removes.
#include <fstream>

#include "cache_test_support.h"
#include "mount/cache_sidecar.h"
#include "support/files.h"

namespace tw::mount {
namespace {

using namespace cachetest;

class CacheRecoveryTest : public CacheTest {
protected:
    fs::path sidecarOf(const CacheKey& key) const { return folder() / (stemFor(key) + ".ranges"); }
    fs::path dataOf(const CacheKey& key) const { return folder() / (stemFor(key) + ".data"); }
};

TEST_F(CacheRecoveryTest, AFileWithLocalChangesKeepsThemItsSizeAndItsPlaceWhateverTheLimit) {
    const CacheKey key{"n1", "v1", size};
    {
        const auto handle = cache.open(key);
        ensure(*handle, 0, size);
        handle->resize(size + 5000);
        ASSERT_EQ(::pwrite(handle->fd(), "local", 5, size), 5);
    }
    ContentCache restarted(folder(), 0);  // evicts every file it may at start
    EXPECT_TRUE(restarted.holdsLocalChanges("n1"));
    const auto handle = restarted.open(key);
    EXPECT_EQ(handle->size(), size + 5000);
    EXPECT_EQ(ensure(*handle, 0, size + 5000), size + 5000);
    EXPECT_EQ(fetcher.asked().size(), 1u);
    EXPECT_EQ(readAt(*handle, size - 10, 20), source.substr(size - 10) + "local" + std::string(5, '\0'));
}

// A crash between a size change and its record leaves the data file longer than the record; one shorter
// than its record was not written by the cache.
TEST_F(CacheRecoveryTest, ADataFileLongerThanItsLocalChangesIsCutBackAndAShorterOneRemoved) {
    struct Case {
        std::string name;
        std::int64_t dataSize;
        bool kept;
    };
    const Case cases[] = {{"longer", 9000, true}, {"as recorded", 5000, true}, {"shorter", 4000, false}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const CacheKey key{row.name, "v1", size};
        {
            const auto handle = cache.open(key);
            ensure(*handle, 0, size);
            handle->resize(5000);
        }
        fs::resize_file(dataOf(key), row.dataSize);
        ContentCache restarted(folder(), 1 << 30);
        EXPECT_EQ(restarted.holdsLocalChanges(row.name), row.kept);
        EXPECT_EQ(fs::exists(dataOf(key)), row.kept);
        if (!row.kept) continue;
        EXPECT_EQ(fs::file_size(dataOf(key)), 5000u);
        const auto handle = restarted.open(key);
        EXPECT_EQ(handle->size(), 5000);
        EXPECT_EQ(readAt(*handle, 0, 9000), source.substr(0, 5000));
    }
}

// A sidecar cut short (a torn write, a full disk) says nothing of its file, at a line's end as elsewhere.
TEST_F(CacheRecoveryTest, ATornSidecarIsRemovedWithItsDataAndTheRangesFetchedAgain) {
    const CacheKey key{"n1", "v1", size};
    {
        const auto handle = cache.open(key);
        ensure(*handle, 0, 1000);
        ensure(*handle, 5000, 1000);
    }
    const auto whole = tw::test::fileText(sidecarOf(key));
    const auto lastRange = whole.rfind("5000 6000\n");
    ASSERT_NE(lastRange, std::string::npos);
    const std::pair<const char*, std::size_t> cuts[] = {
        {"inside the header", 10},
        {"after the flag line", whole.find("0 1000\n")},
        {"after a range line", lastRange},
        {"inside the end line", whole.size() - 2},
    };
    for (const auto& [name, cut] : cuts) {
        SCOPED_TRACE(name);
        std::ofstream(sidecarOf(key), std::ios::binary | std::ios::trunc) << whole.substr(0, cut);
        {
            ContentCache restarted(folder(), 1 << 30);
            EXPECT_EQ(restarted.usedBytes(), 0);
            EXPECT_TRUE(filesIn(folder()).empty());
            const auto fetches = fetcher.asked().size();
            const auto handle = restarted.open(key);
            ensure(*handle, 0, 1000);
            ensure(*handle, 5000, 1000);
            EXPECT_EQ(fetcher.asked().size(), fetches + 2);
            EXPECT_EQ(readAt(*handle, 5000, 1000), source.substr(5000, 1000));
        }
        EXPECT_EQ(tw::test::fileText(sidecarOf(key)), whole);
    }
}

// Sidecars written before files could hold local changes: the ranges they record are reused.
TEST_F(CacheRecoveryTest, AFileRecordedInTheFirstFormatIsReused) {
    const CacheKey key{"n1", "v1", 3000};
    {
        const auto handle = cache.open(key);
        ensure(*handle, 0, 1000);
    }
    std::ofstream(sidecarOf(key), std::ios::trunc) << "tidewright cache ranges 1\n6e31\n7631\n3000\n0 1000\n";
    ContentCache restarted(folder(), 1 << 30);
    const auto handle = restarted.open(key);
    EXPECT_EQ(ensure(*handle, 0, 1000), 1000);
    EXPECT_EQ(fetcher.asked().size(), 1u);
    EXPECT_FALSE(handle->holdsLocalChanges());
}

}  // namespace
}  // namespace tw::mount
