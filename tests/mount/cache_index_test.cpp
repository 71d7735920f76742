// The content cache's pieces on their own, without a cache around them: the index's eviction and discard
// rules, the byte ranges, and the sidecar text.
#include "mount/cache_index.h"

#include <gtest/gtest.h>

#include <fstream>

#include "mount/byte_ranges.h"
#include "mount/cache_sidecar.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using RangeList = std::vector<ByteRanges::Range>;

RangeList listOf(const ByteRanges& ranges) {
    return {ranges.ranges().begin(), ranges.ranges().end()};
}

// An index of entries that take `bytes` of disk each (their files are empty stand-ins), by name.
class CacheIndexTest : public testing::Test {
protected:
    std::shared_ptr<CacheEntry> add(const std::string& identifier, const std::string& version = "v",
                                    std::int64_t bytes = 100) {
        auto entry = std::make_shared<CacheEntry>();
        entry->key = {identifier, version, bytes};
        entry->name = stemFor(entry->key);
        std::ofstream(index.dataPath(*entry)) << "";
        std::ofstream(index.rangesPath(*entry)) << "";
        entry->dataBytes = bytes;
        index.insert(entry);
        return entry;
    }
    // The identifiers of the entries still indexed, among those given.
    std::vector<std::string> kept(const std::vector<std::string>& identifiers) const {
        std::vector<std::string> names;
        for (const auto& identifier : identifiers)
            if (!index.entriesOf(identifier).empty()) names.push_back(identifier);
        return names;
    }
    bool hasFiles(const CacheEntry& entry) const {
        return fs::exists(index.dataPath(entry)) && fs::exists(index.rangesPath(entry));
    }

    test::TempDir dir;
    CacheIndex index{dir.path(), 1000};
};

// Past the high watermark (950 of 1000 here), eviction goes down to the low one (900).
TEST_F(CacheIndexTest, EvictionDropsTheLeastRecentlyUsedFilesThatAreClosedAndMayGoDownToTheLowWatermark) {
    const auto open = add("open"), changed = add("changed"), pinned = add("pinned"), c = add("c"),
               d = add("d");
    for (const auto* name : {"e", "f", "g", "h"})
        add(name);
    index.opened(*open);
    changed->localChanges = true;
    index.keep({"pinned"});
    index.touch(*c);  // now the most recently used
    index.evict();
    EXPECT_EQ(index.usedBytes(), 900);  // under the high watermark: nothing goes
    add("i");
    index.evict();
    EXPECT_EQ(kept({"open", "changed", "pinned", "c", "d", "e"}),
              (std::vector<std::string>{"open", "changed", "pinned", "c", "e"}));
    EXPECT_EQ(index.usedBytes(), 900);
    EXPECT_FALSE(hasFiles(*d));
    EXPECT_TRUE(hasFiles(*open));
    EXPECT_TRUE(hasFiles(*changed));

    // Files that cannot go may keep the cache above its watermarks.
    index.keep({"pinned", "c", "e", "f", "g", "h", "i"});
    add("j")->localChanges = true;
    add("k");
    index.evict();
    EXPECT_EQ(kept({"j", "k"}), (std::vector<std::string>{"j"}));
    EXPECT_EQ(index.usedBytes(), 1000);

    // Once closed, the open file may go.
    index.closed(*open);
    index.evict();
    EXPECT_TRUE(kept({"open"}).empty());
    EXPECT_EQ(index.usedBytes(), 900);
}

// Ranges of an open file that no reader holds or fetches are taken for room (claimed, for the caller to
// punch), in whole blocks where the file goes on; what cannot go is said not to fit.
TEST_F(CacheIndexTest, MakingRoomTakesRangesOfOpenFilesThatNoReaderHoldsAndSaysWhenNothingMoreFits) {
    const auto reading = add("reading", "v", 600), closed = add("closed", "v", 100);
    index.opened(*reading);
    reading->present.add(0, 600);
    reading->held.push_back({0, 100});
    // Bytes being fetched (present already: another delivery brought them along) stay too.
    reading->fetching.push_back(std::make_shared<RangeFetch>(RangeFetch{100, 200}));
    std::vector<Punch> punches;
    EXPECT_TRUE(index.makeRoom(100, punches));  // 800 fits under the high watermark
    EXPECT_TRUE(punches.empty());
    index.release(100);  // the 100 came

    EXPECT_TRUE(index.makeRoom(500, punches));  // down to 400 before the 500 come
    EXPECT_TRUE(kept({"closed"}).empty());
    ASSERT_EQ(punches.size(), 1u);
    EXPECT_EQ(punches[0].entry, reading);
    EXPECT_EQ(punches[0].claim->start, 200);
    EXPECT_EQ(punches[0].claim->end, 600);
    EXPECT_EQ(listOf(reading->present), (RangeList{{0, 200}}));
    EXPECT_EQ(reading->fetching.size(), 2u);  // no reader fetches the range while it is punched

    punches.clear();
    reading->localChanges = true;  // nothing of it may go now
    EXPECT_FALSE(index.makeRoom(500, punches));
    EXPECT_TRUE(punches.empty());
}

TEST_F(CacheIndexTest, ADroppedFileCountsUntilItsLastHandleCloses) {
    const auto entry = add("n1");
    index.opened(*entry);
    index.opened(*entry);
    index.drop(entry);
    EXPECT_FALSE(hasFiles(*entry));
    EXPECT_TRUE(index.entriesOf("n1").empty());
    EXPECT_EQ(index.usedBytes(), 100);
    index.account(*entry, 150, 0);  // it may still grow through its handles
    index.closed(*entry);
    EXPECT_EQ(index.usedBytes(), 150);
    index.closed(*entry);
    EXPECT_EQ(index.usedBytes(), 0);
    add("n2");
    EXPECT_EQ(index.usedBytes(), 100);
}

TEST_F(CacheIndexTest, DiscardKeepsOnlyAFileHoldingLocalChanges) {
    const auto changed = add("n1", "v1"), stale = add("n1", "v2");
    add("n2");
    changed->localChanges = true;
    EXPECT_TRUE(index.discard("n1"));
    EXPECT_EQ(index.entriesOf("n1"), (std::vector<std::shared_ptr<CacheEntry>>{changed}));
    EXPECT_TRUE(hasFiles(*changed));
    EXPECT_FALSE(hasFiles(*stale));
    EXPECT_FALSE(index.discard("n2"));
    EXPECT_TRUE(index.entriesOf("n2").empty());
    EXPECT_EQ(index.usedBytes(), 100);
}

TEST(ByteRangesTest, TruncationDropsWhatLiesPastTheEnd) {
    struct Case {
        std::int64_t end;
        RangeList left;
    };
    const Case cases[] = {{40, {{0, 10}, {20, 30}}},
                          {30, {{0, 10}, {20, 30}}},
                          {25, {{0, 10}, {20, 25}}},
                          {20, {{0, 10}}},
                          {15, {{0, 10}}},
                          {5, {{0, 5}}},
                          {0, {}}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.end);
        ByteRanges ranges;
        ranges.add(0, 10);
        ranges.add(20, 30);
        ranges.truncate(row.end);
        EXPECT_EQ(listOf(ranges), row.left);
        EXPECT_EQ(ranges.presentUntil(row.end), row.end);  // nothing present from the end on
    }
}

SidecarRecord sampleRecord(bool localChanges) {
    SidecarRecord record{{std::string("n\n1\0", 4), "v 1", 5000}, {}, localChanges};
    record.present.add(0, localChanges ? 5000 : 100);
    if (!localChanges) record.present.add(4000, 4500);
    return record;
}

TEST(CacheSidecarTest, ARecordReadsBackAndAnyCutOfItReadsAsNothing) {
    for (const bool localChanges : {false, true}) {
        SCOPED_TRACE(localChanges);
        const auto record = sampleRecord(localChanges);
        const auto text = encodeSidecar(record);
        const auto decoded = decodeSidecar(text);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->key.identifier, record.key.identifier);
        EXPECT_EQ(decoded->key.contentVersion, record.key.contentVersion);
        EXPECT_EQ(decoded->key.size, record.key.size);
        EXPECT_EQ(decoded->localChanges, localChanges);
        EXPECT_EQ(listOf(decoded->present), listOf(record.present));
        for (std::size_t cut = 0; cut < text.size(); ++cut)
            EXPECT_FALSE(decodeSidecar(text.substr(0, cut))) << "cut at " << cut;
    }
}

TEST(CacheSidecarTest, RecordsThatCannotBeTrueAreRefused) {
    const std::string head = "tidewright cache ranges 2\n6e31\n7631\n1000\n";
    const std::pair<const char*, std::string> cases[] = {
        {"a range past the end", head + "local-changes 0\n0 1001\nend\n"},
        {"an empty range", head + "local-changes 0\n10 10\nend\n"},
        {"local changes in a file that is not whole", head + "local-changes 1\n0 999\nend\n"},
        {"an unknown flag", head + "local-changes 2\n0 10\nend\n"},
        {"no flag", head + "0 10\nend\n"},
        {"text after the end line", head + "local-changes 0\nend\n0 10\n"},
        {"an unknown format", "tidewright cache ranges 3\n6e31\n7631\n1000\nlocal-changes 0\nend\n"},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(decodeSidecar(text));
    }
    const auto whole = decodeSidecar(head + "local-changes 1\n0 1000\nend\n");
    ASSERT_TRUE(whole);
    EXPECT_TRUE(whole->localChanges);
}

TEST(CacheSidecarTest, TheFirstFormatIsStillRead) {
    const auto record = decodeSidecar("tidewright cache ranges 1\n6e31\n7631\n1000\n0 10\n20 30\n");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->key.identifier, "n1");
    EXPECT_EQ(record->key.contentVersion, "v1");
    EXPECT_FALSE(record->localChanges);
    EXPECT_EQ(listOf(record->present), (RangeList{{0, 10}, {20, 30}}));
}

}  // namespace
}  // namespace tw::mount
