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
using Calls = std::vector<std::string>;
using Items = std::vector<host::ItemPointer>;

// Records an enumerator's calls ("items:N", "updated:N", "page:TEXT", "end", "changes:ANCHOR:MORE",
// "error:CODE"), throwing after the first that begins with `throwAfter`, as a faulty host might. Every item
// reported must be in the trash exactly when its id begins with "x".
class Recorder : public host::EnumerationObserver, public host::ChangeObserver {
public:
    explicit Recorder(std::string throwAfter) : throwAfter_(std::move(throwAfter)) {}
    void didEnumerateItems(Items got) override { on("items:", got); }
    void didUpdateItems(Items got) override { on("updated:", got); }
    void didDeleteItems(std::vector<host::ItemIdentifier>) override { on("deleted:", Items{}); }
    void finishEnumeratingUpToPage(std::optional<host::Page> p) override { on(p ? "page:" + *p : "end"); }
    void finishEnumeratingChanges(host::SyncAnchor a, bool more) override {
        on("changes:" + a + (more ? ":more" : ":done"));
    }
    void finishEnumeratingWithError(Error error) override { on("error:" + std::to_string(error.code())); }
    // Waits for the finishing call, then a moment more so that a second one would be seen.
    Calls wait() {
        EXPECT_EQ(finished_.get_future().wait_for(5s), std::future_status::ready);
        std::this_thread::sleep_for(20ms);
        std::scoped_lock lock(mutex_);
        return calls_;
    }

private:
    void on(const std::string& call, const std::optional<Items>& got = std::nullopt) {
        for (const auto& item : got.value_or(Items{}))
            EXPECT_EQ(item->parentItemIdentifier() == host::trashContainer, item->itemIdentifier()[0] == 'x')
                << item->itemIdentifier();
        std::scoped_lock lock(mutex_);
        calls_.push_back(got ? call + std::to_string(got->size()) : call);
        if (!got && finishing_++ == 0) finished_.set_value();
        if (!throwAfter_.empty() && call.starts_with(throwAfter_))
            throw std::runtime_error("observer failed");
    }
    std::string throwAfter_;
    Calls calls_;
    int finishing_ = 0;
    std::mutex mutex_;
    std::promise<void> finished_;
};

std::string node(const std::string& id, const std::string& extra = "") {
    return R"({"id":")" + id + R"(","kind":"file","name":")" + id + R"(.txt","version":1)" + extra + "}";
}
std::string feed(const std::string& changes, std::int64_t cursor, std::int64_t latest, bool more) {
    return R"({"changes":[)" + changes + R"(],"cursor":)" + std::to_string(cursor) + R"(,"latest":)" +
           std::to_string(latest) + R"(,"hasMore":)" + (more ? "true" : "false") + "}";
}

class Enumeration : public ::testing::Test {
protected:
    test::TestServer server;
    std::shared_ptr<FileProviderExtension> ext =
        FileProviderExtension::make({.identifier = "d",
                                     .displayName = "T",
                                     .userInfo = nlohmann::json{{"base", server.base()}, {"token", "t"}}});

    void reply(const std::string& target, const std::string& body, int status = 200) {
        server.script("/api/v1/" + target, {{status, {}, body}});
    }
    // The items of `container` from `page`, or for a page "since=ANCHOR", the changes since ANCHOR.
    Calls run(const host::ItemIdentifier& container, const std::string& page,
              const std::string& throwAfter = "") {
        auto recorder = std::make_shared<Recorder>(throwAfter);
        auto enumerator = ext->enumerator(container, {});
        page.starts_with("since=") ? enumerator->enumerateChanges(recorder, page.substr(6))
                                   : enumerator->enumerateItems(recorder, page);
        return recorder->wait();
    }
    std::optional<host::SyncAnchor> anchorOf(const host::ItemIdentifier& container) {
        std::promise<std::optional<host::SyncAnchor>> answer;
        ext->enumerator(container, {})->currentSyncAnchor([&](auto anchor) { answer.set_value(anchor); });
        return answer.get_future().get();
    }
};

TEST_F(Enumeration, PagesCursorsAnchorsAndFailuresEndOnceWithWhatTheServiceAnsweredAndAreLogged) {
    reply("nodes?parent=f1&limit=500",
          R"({"items":[)" + node("a") + "," + node("b") + R"(],"nextCursor":"c/2=x+y"})");
    reply("nodes?parent=f1&limit=500&cursor=c/2=x+y", R"({"items":[)" + node("c") + "]}");
    reply("nodes?parent=root&limit=500", R"({"items":[],"nextCursor":""})");
    reply("nodes?parent=root&limit=500&cursor=", R"({"items":[]})");
    reply("trash",
          R"({"items":[)" + node("xt", R"(,"parent":"p","deleted":true)") + R"(],"nextCursor":"m"})");
    reply("nodes?parent=gone&limit=500", R"({"error":"not_found"})", 404);
    reply("changes?since=7&limit=500", R"({"error":"gone"})", 410);
    reply("changes?since=8&limit=500", R"({"error":"space_unavailable"})", 410);
    reply("changes?since=0&limit=500",
          feed(node("a") + "," + node("xb", R"(,"deleted":true)"), 510, 900, true));
    reply("changes?since=510&limit=500", feed("", 900, 900, false));
    reply("changes?since=3&limit=500", feed(node("xa", R"(,"deletedAt":5)"), 4, 4, false));
    reply("changes?since=15&limit=500", feed("", 10, 10, false));
    reply("changes?since=16&limit=500", feed("", 20, 20, false));
    struct Case {
        std::string container, page, throwAfter;
        Calls calls;
        std::string logged;  // the log's lines, joined by '|'
    };
    const std::string ws = host::workingSet, byName = host::initialPageSortedByName,
                      failed = "operação falhou: ";
    for (const Case& c : {
             Case{"f1", byName, "", {"items:2", "page:c/2=x+y"}},
             Case{"f1", host::initialPageSortedByDate, "", {"items:2", "page:c/2=x+y"}},
             Case{"f1", "c/2=x+y", "", {"items:1", "end"}},
             // An empty page is still reported, and an empty cursor is a page like any other.
             Case{host::rootContainer, byName, "", {"items:0", "page:"}},
             Case{host::rootContainer, "", "", {"items:0", "end"}},
             Case{host::trashContainer, "some-folder-cursor", "", {"items:1", "end"}},
             Case{"gone", byName, "", {"error:-1005"}, failed + "service error 404 not_found"},
             // The anchor expired; then the space, not the anchor, is unavailable.
             Case{ws, "since=7", "", {"error:-1002"}, failed + "service error 410 gone"},
             Case{ws, "since=8", "", {"error:-2005"}, failed + "service error 410 space_unavailable"},
             // An observer that throws: a failure before the end is reported, the end is not reported twice.
             Case{"f1", byName, "items", {"items:2", "error:1"}, failed + "observer failed"},
             Case{"f1", byName, "page", {"items:2", "page:c/2=x+y"}},
             Case{
                 ws, "since=3", "changes", {"updated:1", "changes:4:done"}, "changes since=3 n=1 more=false"},
             // The working set replays the feed in pages; a deletion is an update in the trash.
             Case{ws, host::initialPageSortedByDate, "", {"items:2", "page:510"}},
             Case{ws, "510", "", {"items:0", "end"}},
             Case{ws, "since=3", "", {"updated:1", "changes:4:done"}, "changes since=3 n=1 more=false"},
             // The anchor never moves backwards, and one that cannot be read starts over.
             Case{ws, "since=15", "", {"changes:15:done"}, "changes since=15 n=0 more=false"},
             Case{ws, "since=16", "", {"changes:20:done"}, "changes since=16 n=0 more=false"},
             Case{ws, "since=4x", "", {"updated:2", "changes:510:more"}, "changes since=0 n=2 more=true"},
         }) {
        SCOPED_TRACE(c.container + " " + c.page + " " + c.throwAfter);
        LogCapture log;
        EXPECT_EQ(run(c.container, c.page, c.throwAfter), c.calls);
        std::string logged;
        for (const LogRecord& record : log.records())
            logged += (logged.empty() ? "" : "|") + record.message;
        EXPECT_EQ(logged, c.logged);
    }
    EXPECT_EQ(server.requests("/api/v1/trash").size(), 1u);  // the trash is one page, whatever page is asked
}

TEST_F(Enumeration, AnchorsAreConstantExceptTheWorkingSetsAndUnconfiguredOnesEndNotAuthenticated) {
    for (const auto& container : {host::rootContainer, host::trashContainer, std::string("f1")}) {
        std::optional<host::SyncAnchor> anchor;
        ext->enumerator(container, {})->currentSyncAnchor([&](auto a) { anchor = a; });
        EXPECT_EQ(anchor, "0") << container;  // before returning
        EXPECT_EQ(run(container, "since=7"), (Calls{"changes:7:done"}));
    }
    EXPECT_TRUE(server.requests().empty());
    reply("changes?since=1125899906842624&limit=1", feed("", 1125899906842624, 1234, false));
    EXPECT_EQ(anchorOf(host::workingSet), "1234");
    reply("changes?since=1125899906842624&limit=1", "", 404);
    EXPECT_EQ(anchorOf(host::workingSet), std::nullopt);
    // Unconfigured, the enumerators exist but end with notAuthenticated.
    ext = FileProviderExtension::make({.identifier = "d", .displayName = "T", .userInfo = {}});
    for (const auto& container :
         {host::rootContainer, host::trashContainer, host::workingSet, std::string("f1")})
        EXPECT_EQ(run(container, host::initialPageSortedByName), (Calls{"error:-1000"})) << container;
    EXPECT_EQ(anchorOf(host::workingSet), std::nullopt);
}

}  // namespace
}  // namespace tw
