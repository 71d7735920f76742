#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "enumeration/folder_enumerator.h"
#include "enumeration/working_set_enumerator.h"
#include "platform/log.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::Reply;
using test::TestServer;

// Records what an enumerator reports, checking the order: items first, then exactly one finishing call.
class Recorder : public host::EnumerationObserver, public host::ChangeObserver {
public:
    std::vector<std::string> calls;  // "items:N", "updated:N", "page:TEXT", "end", "changes:ANCHOR:MORE"...
    std::vector<host::ItemPointer> items;
    std::string throwAfter;  // the call ("items", "page", ...) after which to throw, as a faulty host might

    void didEnumerateItems(std::vector<host::ItemPointer> got) override { add("items", got); }
    void didUpdateItems(std::vector<host::ItemPointer> got) override { add("updated", got); }
    void didDeleteItems(std::vector<host::ItemIdentifier>) override { add("deleted", {}); }
    void finishEnumeratingUpToPage(std::optional<host::Page> page) override {
        add("page", {}, page ? "page:" + *page : "end");
    }
    void finishEnumeratingChanges(host::SyncAnchor anchor, bool more) override {
        add("changes", {}, "changes:" + anchor + ":" + (more ? "more" : "done"));
    }
    void finishEnumeratingWithError(Error error) override {
        add("error", {}, "error:" + std::to_string(error.code()));
    }

    // Waits for the finishing call, then a moment more so that a second one would be seen.
    std::vector<std::string> wait() {
        EXPECT_EQ(finished_.get_future().wait_for(5s), std::future_status::ready);
        std::this_thread::sleep_for(20ms);
        std::scoped_lock lock(mutex_);
        return calls;
    }

private:
    // A call with `finished` text is a finishing one.
    void add(const std::string& kind, const std::vector<host::ItemPointer>& got,
             const std::string& finished = "") {
        {
            std::scoped_lock lock(mutex_);
            calls.push_back(finished.empty() ? kind + ":" + std::to_string(got.size()) : finished);
            items.insert(items.end(), got.begin(), got.end());
        }
        if (!finished.empty() && !done_.exchange(true)) finished_.set_value();
        if (kind == throwAfter) throw std::runtime_error("observer failed");
    }
    std::mutex mutex_;
    std::atomic<bool> done_{false};
    std::promise<void> finished_;
};

// The anchor an enumerator answers, however it answers.
std::optional<host::SyncAnchor> anchorOf(const std::shared_ptr<host::Enumerator>& enumerator) {
    std::promise<std::optional<host::SyncAnchor>> answer;
    enumerator->currentSyncAnchor([&](auto anchor) { answer.set_value(anchor); });
    return answer.get_future().get();
}

std::string node(const std::string& id, const std::string& extra = "") {
    return R"({"id":")" + id + R"(","kind":"file","name":")" + id + R"(.txt","version":1)" + extra + "}";
}

// A batch of the change feed.
std::string feed(const std::string& changes, std::int64_t cursor, std::int64_t latest, bool more) {
    return R"({"changes":[)" + changes + R"(],"cursor":)" + std::to_string(cursor) + R"(,"latest":)" +
           std::to_string(latest) + R"(,"hasMore":)" + (more ? "true" : "false") + "}";
}

class Enumeration : public ::testing::Test {
protected:
    TestServer server;
    std::shared_ptr<FileProviderExtension> ext =
        FileProviderExtension::make({.identifier = "d",
                                     .displayName = "T",
                                     .userInfo = nlohmann::json{{"base", server.base()}, {"token", "t"}}});
    std::shared_ptr<Recorder> recorder;  // of the last call

    std::vector<std::string> enumerate(const host::ItemIdentifier& container, const host::Page& page,
                                       const std::string& throwAfter = "") {
        recorder = std::make_shared<Recorder>();
        recorder->throwAfter = throwAfter;
        ext->enumerator(container, {})->enumerateItems(recorder, page);
        return recorder->wait();
    }
    std::vector<std::string> changesFrom(const host::SyncAnchor& anchor, const std::string& throwAfter = "") {
        recorder = std::make_shared<Recorder>();
        recorder->throwAfter = throwAfter;
        ext->enumerator(host::workingSet, {})->enumerateChanges(recorder, anchor);
        return recorder->wait();
    }
};

using Calls = std::vector<std::string>;

TEST_F(Enumeration, FolderPagesFollowTheServiceCursorExactlyEvenWhenEmptyAndTheTrashIsOnePage) {
    server.script(
        "/api/v1/nodes?parent=f1&limit=500",
        {{200, {}, R"({"items":[)" + node("a") + "," + node("b") + R"(],"nextCursor":"c/2=x+y"})"}});
    server.script("/api/v1/nodes?parent=f1&limit=500&cursor=c/2=x+y",
                  {{200, {}, R"({"items":[)" + node("c") + "]}"}});
    EXPECT_EQ(enumerate("f1", host::initialPageSortedByName), (Calls{"items:2", "page:c/2=x+y"}));
    EXPECT_EQ(enumerate("f1", host::initialPageSortedByDate), (Calls{"items:2", "page:c/2=x+y"}));
    EXPECT_EQ(enumerate("f1", "c/2=x+y"), (Calls{"items:1", "end"}));

    // An empty page is still reported, and an empty cursor is a page like any other.
    server.script("/api/v1/nodes?parent=root&limit=500", {{200, {}, R"({"items":[],"nextCursor":""})"}});
    server.script("/api/v1/nodes?parent=root&limit=500&cursor=", {{200, {}, R"({"items":[]})"}});
    EXPECT_EQ(enumerate(host::rootContainer, host::initialPageSortedByName), (Calls{"items:0", "page:"}));
    EXPECT_EQ(enumerate(host::rootContainer, ""), (Calls{"items:0", "end"}));

    // The trash is one page, whatever page is asked.
    server.script("/api/v1/trash", {{200,
                                     {},
                                     R"({"items":[)" + node("t", R"(,"parent":"p","deleted":true)") +
                                         R"(],"nextCursor":"m"})"}});
    EXPECT_EQ(enumerate(host::trashContainer, "some-folder-cursor"), (Calls{"items:1", "end"}));
    EXPECT_EQ(recorder->items.at(0)->parentItemIdentifier(), host::trashContainer);
    EXPECT_EQ(server.requests("/api/v1/trash").size(), 1u);
}

TEST_F(Enumeration, FailuresAreLoggedAndEndWithTheMappedErrorAndNothingElse) {
    server.script("/api/v1/nodes?parent=gone&limit=500", {{404, {}, R"({"error":"not_found"})"}});
    server.script("/api/v1/changes?since=7&limit=500", {{410, {}, R"({"error":"gone"})"}});
    server.script("/api/v1/changes?since=8&limit=500", {{410, {}, R"({"error":"space_unavailable"})"}});
    LogCapture log;
    EXPECT_EQ(enumerate("gone", host::initialPageSortedByName), (Calls{"error:-1005"}));
    EXPECT_EQ(changesFrom("7"), (Calls{"error:-1002"}));  // syncAnchorExpired
    EXPECT_EQ(changesFrom("8"), (Calls{"error:-2005"}));  // the space, not the anchor
    Calls logged;
    for (const LogRecord& record : log.records())
        logged.push_back(record.message);
    EXPECT_EQ(logged, (Calls{"operação falhou: service error 404 not_found",
                             "operação falhou: service error 410 gone",
                             "operação falhou: service error 410 space_unavailable"}));
}

TEST_F(Enumeration, AnObserverThatThrowsGetsExactlyOneFinishingCall) {
    server.script("/api/v1/nodes?parent=f1&limit=500", {{200, {}, R"({"items":[)" + node("a") + "]}"}});
    server.script("/api/v1/changes?since=3&limit=500", {{200, {}, feed(node("a"), 4, 4, false)}});
    // A failure before the end is reported; the end is not reported twice.
    EXPECT_EQ(enumerate("f1", host::initialPageSortedByName, "items"), (Calls{"items:1", "error:1"}));
    EXPECT_EQ(enumerate("f1", host::initialPageSortedByName, "page"), (Calls{"items:1", "end"}));
    EXPECT_EQ(changesFrom("3", "changes"), (Calls{"updated:1", "changes:4:done"}));
}

TEST_F(Enumeration, FolderAndTrashAnchorsAreConstantAndTheirChangesEmpty) {
    for (const auto& container : {host::rootContainer, host::trashContainer, std::string("f1")}) {
        SCOPED_TRACE(container);
        auto enumerator = ext->enumerator(container, {});
        std::optional<host::SyncAnchor> anchor;
        enumerator->currentSyncAnchor([&](std::optional<host::SyncAnchor> a) { anchor = a; });
        EXPECT_EQ(anchor, "0");  // answered before returning
        auto recorder = std::make_shared<Recorder>();
        enumerator->enumerateChanges(recorder, "7");
        EXPECT_EQ(recorder->calls, (Calls{"changes:7:done"}));
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(Enumeration, WorkingSetReplaysTheFeedInPagesAndReportsDeletionsInTheTrash) {
    server.script("/api/v1/changes?since=0&limit=500",
                  {{200, {}, feed(node("a") + "," + node("b", R"(,"deleted":true)"), 510, 900, true)}});
    server.script("/api/v1/changes?since=510&limit=500", {{200, {}, feed("", 900, 900, false)}});
    EXPECT_EQ(enumerate(host::workingSet, host::initialPageSortedByDate), (Calls{"items:2", "page:510"}));
    EXPECT_EQ(recorder->items.at(1)->parentItemIdentifier(), host::trashContainer);
    EXPECT_EQ(enumerate(host::workingSet, "510"), (Calls{"items:0", "end"}));

    // A batch of changes reports a deletion as an update in the trash, and logs once.
    server.script("/api/v1/changes?since=3&limit=500",
                  {{200, {}, feed(node("a", R"(,"deletedAt":5)"), 4, 4, false)}});
    LogCapture log;
    EXPECT_EQ(changesFrom("3"), (Calls{"updated:1", "changes:4:done"}));
    EXPECT_EQ(recorder->items.at(0)->parentItemIdentifier(), host::trashContainer);
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "changes since=3 n=1 more=false");
}

TEST_F(Enumeration, ChangeBatchesNeverMoveTheAnchorBackwardsAndAnUnreadableOneStartsOver) {
    struct Case {
        std::string anchor, since, reply, expected;
    };
    const std::vector<Case> cases = {
        {"15", "15", feed("", 10, 10, false), "changes:15:done"},
        {"16", "16", feed("", 20, 20, false), "changes:20:done"},
        {"17", "17", feed("", 510, 900, true), "changes:510:more"},
        {"4x", "0", feed("", 0, 0, false), "changes:0:done"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.anchor);
        server.script("/api/v1/changes?since=" + c.since + "&limit=500", {{200, {}, c.reply}});
        EXPECT_EQ(changesFrom(c.anchor), (Calls{c.expected}));
    }
}

TEST_F(Enumeration, CurrentAnchorProbesForTheLatestPosition) {
    server.script("/api/v1/changes?since=1125899906842624&limit=1",
                  {{200, {}, feed("", 1125899906842624, 1234, false)}});
    EXPECT_EQ(anchorOf(ext->enumerator(host::workingSet, {})), "1234");
    server.script("/api/v1/changes?since=1125899906842624&limit=1", {{404}});
    EXPECT_EQ(anchorOf(ext->enumerator(host::workingSet, {})), std::nullopt);
}

TEST(EnumerationUnconfigured, EnumeratorsExistButEndWithNotAuthenticated) {
    auto ext = FileProviderExtension::make({.identifier = "d", .displayName = "T", .userInfo = {}});
    for (const auto& container :
         {host::rootContainer, host::trashContainer, host::workingSet, std::string("f1")}) {
        SCOPED_TRACE(container);
        auto recorder = std::make_shared<Recorder>();
        ext->enumerator(container, {})->enumerateItems(recorder, host::initialPageSortedByName);
        EXPECT_EQ(recorder->wait(), (Calls{"error:-1000"}));
    }
    EXPECT_EQ(anchorOf(ext->enumerator(host::workingSet, {})), std::nullopt);
}

}  // namespace
}  // namespace tw
