// The change tracker without a mount: batches applied, delivered and saved with their anchor; an anchor the
// feed no longer reaches starts over; a feed that keeps failing is logged once, not at every poll.
#include "mount/change_tracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "fake_extension.h"
#include "mount/mount_log.h"
#include "platform/log.h"
#include "support/elapsed.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

using namespace std::chrono_literals;
using test::batchOf;
using test::fileRecord;
using tw::test::waitUntil;
const host::ItemIdentifier root = host::rootContainer;

struct Tracked {
    tw::test::TempDir dir;
    test::FakeExtension extension;
    ItemCatalog catalog{extension, TrashView(1000), {}};
    StateStore store{dir.path() / "state.sqlite"};
    std::mutex mutex;
    std::vector<AppliedChanges> delivered;
    std::atomic<int> rounds = 0;
    std::optional<ChangeTracker> tracker;

    void start(std::optional<host::SyncAnchor> anchor) {
        tracker.emplace(extension, catalog, &store, anchor, 10ms, 5s, [this](const AppliedChanges& changes) {
            std::scoped_lock lock(mutex);
            delivered.push_back(changes);
        });
        tracker->onSynchronized([this](auto) { ++rounds; });
        tracker->start();
    }
    bool requested(std::size_t count) {
        return waitUntil(5, [&] { return extension.changeRequests().size() >= count; });
    }
};

TEST(ChangeTracker, BatchesAreAppliedUntilNoneIsComingAndSavedWithTheirAnchor) {
    Tracked tracked;
    tracked.extension.setChildren(root, {});
    tracked.catalog.children(root, std::chrono::steady_clock::now() + 5s);
    auto first = batchOf({fileRecord("n1", root, "a.txt")}, {}, "2");
    first.moreComing = true;
    tracked.extension.queueChanges(first);
    tracked.extension.queueChanges(batchOf({fileRecord("n2", root, "b.txt")}, {}, "3"));
    tracked.start("1");
    ASSERT_TRUE(waitUntil(5, [&] { return tracked.rounds > 0; }));
    ASSERT_TRUE(tracked.requested(3));  // the next round goes on from where the first ended
    tracked.tracker->stop();

    const auto requests = tracked.extension.changeRequests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(std::vector<host::SyncAnchor>(requests.begin(), requests.begin() + 3),
              (std::vector<host::SyncAnchor>{"1", "2", "3"}));
    {
        std::scoped_lock lock(tracked.mutex);
        ASSERT_GE(tracked.delivered.size(), 2u);
        // The root's names reach the kernel: a miss it holds for either is forgotten.
        EXPECT_EQ(tracked.delivered[0].invalidations.entries,
                  (std::vector<Invalidations::Entry>{{rootInode, "a.txt"}}));
        EXPECT_EQ(tracked.delivered[1].invalidations.entries,
                  (std::vector<Invalidations::Entry>{{rootInode, "b.txt"}}));
    }
    const auto saved = tracked.store.load();
    EXPECT_EQ(saved.anchor, "3");
    EXPECT_EQ(saved.records.size(), 2u);
}

TEST(ChangeTracker, AnAnchorTheFeedNoLongerReachesStartsOverFromTheCurrentOne) {
    Tracked tracked;
    tracked.store.save("1", {fileRecord("n1", root, "a.txt")}, {});
    tracked.extension.queueChanges(fileProviderError(FileProviderErrorCode::syncAnchorExpired));
    tracked.extension.setCurrentAnchor("7");
    LogCapture log;
    tracked.start("1");
    ASSERT_TRUE(waitUntil(5, [&] { return tracked.rounds > 0; }));
    ASSERT_TRUE(tracked.requested(3));  // the next round goes on from where the first ended
    tracked.tracker->stop();

    const auto requests = tracked.extension.changeRequests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], "1");
    EXPECT_EQ(requests[1], "7");
    EXPECT_EQ(tracked.store.load().anchor, "7");
    EXPECT_TRUE(tracked.store.load().records.empty());
    std::size_t lines = 0;
    for (const auto& record : log.records())
        lines += record.message == "the change feed no longer reaches back to 1; folders are listed again";
    EXPECT_EQ(lines, 1u);
}

// After a revocation every round fails the same way: the log says so once, and once when it works again.
TEST(ChangeTracker, AFeedThatKeepsFailingIsLoggedOnceAndOnceAgainWhenItIsFollowed) {
    Tracked tracked;
    constexpr int failures = 6;
    for (int i = 0; i < failures; ++i)
        tracked.extension.queueChanges(fileProviderError(FileProviderErrorCode::notAuthenticated));
    LogCapture log;
    tracked.start("1");
    ASSERT_TRUE(tracked.requested(failures + 2));
    ASSERT_TRUE(waitUntil(5, [&] { return tracked.rounds > 0; }));
    tracked.tracker->stop();

    std::vector<std::string> lines;
    for (const auto& record : log.records())
        if (record.subsystem == mountLogSubsystem) lines.push_back(record.message);
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_TRUE(lines[0].starts_with("changes not followed: ")) << lines[0];
    EXPECT_EQ(lines[1], "changes followed again");
}

}  // namespace
}  // namespace tw::mount
