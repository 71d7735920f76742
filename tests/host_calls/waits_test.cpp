// The waiting rules of the host-call library against a fake extension whose calls complete when a test
// says: once-only completion, deadlines, stops, the wind-down, and the files of calls given up on.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include "host_calls/enumeration_calls.h"
#include "host_calls/item_calls.h"
#include "host_calls/page_trail.h"
#include "support/elapsed.h"
#include "support/service_fixture.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// An extension whose calls complete at once (twice, when asked to break the contract) or never: then the
// test completes the last one through complete(). Every call's progress is kept.
class FakeExtension : public host::ReplicatedExtension {
public:
    enum class Completion { never, once, twice };
    Completion completion = Completion::never;
    std::filesystem::path delivers;  // the file a fetch completes with

    std::shared_ptr<Progress> lastProgress() {
        std::scoped_lock lock(mutex_);
        return progress_;
    }
    // Makes the completion of the last call that was left waiting.
    void complete() {
        std::function<void()> pending;
        {
            std::scoped_lock lock(mutex_);
            pending = std::move(pending_);
        }
        pending();
    }

    std::shared_ptr<Progress> item(const host::ItemIdentifier& identifier, const host::Request&,
                                   host::ItemCompletion done) override {
        return start([done, identifier] { done(std::make_shared<Named>(identifier), std::nullopt); });
    }
    std::shared_ptr<host::Enumerator> enumerator(const host::ItemIdentifier&, const host::Request&) override {
        return nullptr;
    }
    std::shared_ptr<Progress> fetchContents(const host::ItemIdentifier& identifier,
                                            const std::optional<host::ItemVersion>&, const host::Request&,
                                            host::FetchCompletion done) override {
        return start(
            [this, done, identifier] { done(delivers, std::make_shared<Named>(identifier), std::nullopt); });
    }
    std::shared_ptr<Progress> fetchPartialContents(const host::ItemIdentifier& identifier,
                                                   const host::ItemVersion&, const host::Request&,
                                                   host::ByteRange range, std::int64_t,
                                                   host::FetchContentsOptions,
                                                   host::PartialFetchCompletion done) override {
        return start([this, done, identifier, range] {
            done(delivers, std::make_shared<Named>(identifier), range, 0, std::nullopt);
        });
    }
    std::shared_ptr<Progress> createItem(host::ItemPointer itemTemplate, host::ItemFieldSet,
                                         std::optional<std::filesystem::path>, std::uint64_t,
                                         const host::Request&, host::ItemChangeCompletion done) override {
        return start([done, itemTemplate] { done(itemTemplate, 0, false, std::nullopt); });
    }
    std::shared_ptr<Progress> modifyItem(host::ItemPointer item, const host::ItemVersion&, host::ItemFieldSet,
                                         std::optional<std::filesystem::path>, std::uint64_t,
                                         const host::Request&, host::ItemChangeCompletion done) override {
        return start([done, item] { done(item, 0, true, std::nullopt); });
    }
    std::shared_ptr<Progress> deleteItem(const host::ItemIdentifier&, const host::ItemVersion&, std::uint64_t,
                                         const host::Request&, host::DeleteCompletion done) override {
        return start([done] { done(std::nullopt); });
    }
    void invalidate() override {}

private:
    struct Named : host::Item {
        explicit Named(host::ItemIdentifier identifier) : identifier(std::move(identifier)) {}
        host::ItemIdentifier itemIdentifier() const override { return identifier; }
        host::ItemIdentifier parentItemIdentifier() const override { return host::rootContainer; }
        std::string filename() const override { return identifier; }
        host::ItemIdentifier identifier;
    };

    std::shared_ptr<Progress> start(std::function<void()> completion) {
        auto progress = Progress::make(1);
        {
            std::scoped_lock lock(mutex_);
            progress_ = progress;
        }
        if (completion == nullptr) return progress;
        switch (this->completion) {
            case Completion::never: {
                std::scoped_lock lock(mutex_);
                pending_ = std::move(completion);
                break;
            }
            case Completion::twice:
                completion();
                [[fallthrough]];
            case Completion::once:
                completion();
        }
        return progress;
    }

    std::mutex mutex_;
    std::shared_ptr<Progress> progress_;
    std::function<void()> pending_;
};

// A working set whose change batches come from a script (the last one repeating), and whose listing
// reports items after its finishing call when asked to.
class ScriptedFeed : public host::Enumerator {
public:
    std::vector<std::pair<host::SyncAnchor, bool>> batches;  // anchor and moreComing
    std::vector<host::SyncAnchor> askedFrom;
    bool itemsAfterFinishing = false;

    void enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page) override {
        observer->finishEnumeratingUpToPage(std::nullopt);
        if (itemsAfterFinishing) observer->didEnumerateItems({});
    }
    void enumerateChanges(std::shared_ptr<host::ChangeObserver> observer, host::SyncAnchor anchor) override {
        askedFrom.push_back(anchor);
        const auto& [next, more] = batches.at(std::min(askedFrom.size(), batches.size()) - 1);
        observer->finishEnumeratingChanges(next, more);
    }
    void currentSyncAnchor(std::function<void(std::optional<host::SyncAnchor>)> done) override { done("1"); }
    void invalidate() override {}
};

std::filesystem::path writeFile(const std::filesystem::path& file) {
    std::ofstream(file) << "delivered";
    return file;
}

TEST(HostCallDeathTest, ASecondCompletionEndsTheProcessNamingTheCall) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakeExtension extension;
    extension.completion = FakeExtension::Completion::twice;
    EXPECT_DEATH(hostcalls::item(extension, "n1"), "host call item completed a second time");
    EXPECT_DEATH(hostcalls::deleteItem(extension, "n1", {}, 0),
                 "host call deleteItem completed a second time");
    ScriptedFeed feed;
    feed.itemsAfterFinishing = true;
    EXPECT_DEATH(hostcalls::enumeratePage(feed, host::initialPageSortedByName),
                 "host call enumerateItems \\(items after its finishing call\\) completed a second time");
}

TEST(HostCallWait, TheDeadlineGivesTheCallUpAndCancelsItsProgress) {
    FakeExtension extension;
    const auto start = std::chrono::steady_clock::now();
    try {
        hostcalls::item(extension, "n1", {.deadline = start + 200ms});
        FAIL() << "no answer came, yet the wait returned";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ETIMEDOUT);
    }
    EXPECT_NEAR(secondsSince(start), 0.2, 0.15);
    EXPECT_TRUE(extension.lastProgress()->isCancelled());
    extension.complete();  // the answer that comes after is nobody's, and harms nothing
}

TEST(HostCallWait, AStopGivesTheCallUpAndOneRequestedBeforeMakesNoCall) {
    FakeExtension extension;
    std::stop_source stop;
    std::jthread stopper([&stop] {
        std::this_thread::sleep_for(100ms);
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    try {
        hostcalls::modifyItem(extension, nullptr, {}, 0, std::nullopt, 0, {.stop = stop.get_token()});
        FAIL() << "no answer came, yet the wait returned";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), userCancelledErrorCode);
    }
    EXPECT_NEAR(secondsSince(start), 0.1, 0.1);
    const auto given = extension.lastProgress();
    EXPECT_TRUE(given->isCancelled());

    EXPECT_THROW(hostcalls::deleteItem(extension, "n1", {}, 0, {.stop = stop.get_token()}), Error);
    EXPECT_EQ(extension.lastProgress(), given) << "a call was made after the stop";
}

// A fetch given up on still delivers its file later: nobody takes it over, so it is deleted; a wind-down
// waits for a cancelled call that ends soon, and deletes what it delivers all the same.
TEST(HostCallWait, AFileDeliveredToAWaitThatGaveUpIsDeleted) {
    TempDir dir;
    FakeExtension extension;
    extension.delivers = writeFile(dir.path() / "late");
    EXPECT_THROW(hostcalls::fetchContents(extension, "n1", std::nullopt,
                                          {.deadline = std::chrono::steady_clock::now() + 50ms}),
                 std::system_error);
    EXPECT_TRUE(std::filesystem::exists(extension.delivers));
    extension.complete();
    EXPECT_FALSE(std::filesystem::exists(extension.delivers));

    extension.delivers = writeFile(dir.path() / "during the wind-down");
    const auto earlier = extension.lastProgress();
    std::jthread completer([&extension, earlier] {
        waitUntil(2, [&] {
            const auto progress = extension.lastProgress();
            return progress != earlier && progress->isCancelled();
        });
        std::this_thread::sleep_for(100ms);
        extension.complete();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(hostcalls::fetchPartialContents(extension, "n1", {}, {0, 10}, 1,
                                                 {.deadline = start + 50ms, .windDown = 2s}),
                 std::system_error);
    EXPECT_NEAR(secondsSince(start), 0.15, 0.1) << "the wind-down ends with the call, not after two seconds";
    EXPECT_FALSE(std::filesystem::exists(extension.delivers));
}

TEST(HostCallWait, TheWatchSeesTheProgressWhileTheCallRunsAndOnceAtItsEnd) {
    FakeExtension extension;
    int seen = 0;
    std::jthread completer([&extension] {
        std::this_thread::sleep_for(350ms);
        extension.lastProgress()->setCompletedUnitCount(1);
        extension.complete();
    });
    std::int64_t last = -1;
    hostcalls::deleteItem(extension, "n1", {}, 0, {.watch = [&](const Progress& progress) {
                              ++seen;
                              last = progress.completedUnitCount();
                          }});
    // About three ticks and the last look; a loaded machine may wake the waiter late and tick less.
    EXPECT_GE(seen, 2);
    EXPECT_LE(seen, 6);
    EXPECT_EQ(last, 1);
}

// A catch-up with the feed stops at the batch that shows it cannot progress, asked from as shown.
TEST(CatchUp, RefusesAFeedThatAnnouncesMoreWithAnAnchorItHandedOutBefore) {
    struct Case {
        std::vector<std::pair<host::SyncAnchor, bool>> batches;
        std::vector<host::SyncAnchor> askedFrom;
        std::string says;  // empty: caught up
    };
    for (const auto& c : std::vector<Case>{
             {{{"5", true}, {"9", false}}, {"0", "5"}, ""},
             {{{"0", false}}, {"0"}, ""},  // nothing new: the same anchor, no more coming
             {{{"5", true}, {"5", true}}, {"0", "5"}, "without moving past anchor \"5\""},
             {{{"10", true}, {"4", true}, {"10", true}},
              {"0", "10", "4"},
              "change anchor \"10\" a second time"},
             {{{"0", true}}, {"0"}, "without moving past anchor \"0\""},
             {{{"b", true}, {"a", true}, {"c", false}}, {"0", "b", "a"}, ""},  // opaque: order means nothing
         }) {
        SCOPED_TRACE(c.batches.front().first + " first, " + std::to_string(c.batches.size()) + " batches");
        ScriptedFeed feed;
        feed.batches = c.batches;
        std::vector<host::SyncAnchor> handed;
        try {
            const auto last = hostcalls::catchUp(
                feed, "0", {}, [&](const hostcalls::ChangeBatch& batch) { handed.push_back(batch.anchor); });
            EXPECT_EQ(c.says, "") << "caught up at " << last;
            EXPECT_EQ(last, c.batches.back().first);
        } catch (const hostcalls::NoProgress& error) {
            EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
            EXPECT_NE(c.says, "");
        }
        EXPECT_EQ(feed.askedFrom, c.askedFrom);
    }
}

}  // namespace
}  // namespace tw::test
