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
struct Recorder : host::EnumerationObserver, host::ChangeObserver {
    explicit Recorder(std::string throwAfter) : throwAfter(std::move(throwAfter)) {}
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
        EXPECT_EQ(finished.get_future().wait_for(5s), std::future_status::ready);
        std::this_thread::sleep_for(20ms);
        std::scoped_lock lock(mutex);
        return calls;
    }
    void on(const std::string& call, const std::optional<Items>& got = std::nullopt) {
        for (const auto& item : got.value_or(Items{}))
            EXPECT_EQ(item->parentItemIdentifier() == host::trashContainer, item->itemIdentifier()[0] == 'x')
                << item->itemIdentifier();
        std::scoped_lock lock(mutex);
        calls.push_back(got ? call + std::to_string(got->size()) : call);
        if (!got && finishing++ == 0) finished.set_value();
        if (!throwAfter.empty() && call.starts_with(throwAfter)) throw std::runtime_error("observer failed");
    }
    std::string throwAfter;
    Calls calls;
    int finishing = 0;
    std::mutex mutex;
    std::promise<void> finished;
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
    std::shared_ptr<FileProviderExtension> ext = FileProviderExtension::make(
        {.identifier = "d", .userInfo = nlohmann::json{{"base", server.base()}, {"token", "t"}}});

    void reply(const std::string& target, const std::string& body, int status = 200) {
        server.script("/api/v1/" + target, {{status, {}, body}});
    }
    // The items of `container` from `page`; for "since=ANCHOR", the changes since; for "anchor", the anchor.
    Calls run(const host::ItemIdentifier& container, const std::string& page,
              const std::string& throwAfter = "") {
        auto recorder = std::make_shared<Recorder>(throwAfter);
        auto enumerator = ext->enumerator(container, {});
        if (page == "anchor")
            enumerator->currentSyncAnchor(
                [=](auto anchor) { recorder->on("anchor:" + anchor.value_or("none")); });
        else if (page.starts_with("since="))
            enumerator->enumerateChanges(recorder, page.substr(6));
        else
            enumerator->enumerateItems(recorder, page);
        return recorder->wait();
    }
};

TEST_F(Enumeration, PagesCursorsAnchorsAndFailuresEndOnceWithWhatTheServiceAnsweredAndAreLogged) {
    reply("nodes?parent=root&limit=500", R"({"items":[)" + node("a") + R"(],"nextCursor":""})");
    reply("nodes?parent=root&limit=500&cursor=", R"({"items":[)" + node("c") + "]}");
    reply("trash", R"({"items":[)" + node("xt", R"(,"deleted":true)") + R"(],"nextCursor":"m"})");
    reply("changes?since=7&limit=500", R"({"error":"gone"})", 410);
    reply("changes?since=0&limit=500", feed(node("xb", R"(,"deleted":true)"), 510, 900, true));
    reply("changes?since=510&limit=500", feed("", 900, 900, false));
    reply("changes?since=3&limit=500", feed(node("xa", R"(,"deletedAt":5)"), 4, 4, false));
    reply("changes?since=15&limit=500", feed("", 10, 10, false));
    server.script("/api/v1/changes?since=1125899906842624&limit=1",
                  {{200, {}, feed("", 1125899906842624, 1234, false)}, {404, {}, ""}});
    struct Case {
        std::string container, page, throwAfter;
        Calls calls;  // then the lines logged
    };
    const std::string root = host::rootContainer, ws = host::workingSet;
    for (const Case& c : std::vector<Case>{
             // An empty cursor is a page like any other, given and taken.
             {root, host::initialPageSortedByName, "", {"items:1", "page:"}},
             {root, "", "", {"items:1", "end"}},
             // The trash is one page, whatever page is asked and whatever cursor comes back.
             {host::trashContainer, "some-folder-cursor", "", {"items:1", "end"}},
             {ws, "since=7", "", {"error:-1002", "operação falhou: service error 410 gone"}},
             // An observer that throws at the end is not told of a failure after it.
             {ws, "since=3", "changes", {"updated:1", "changes:4:done", "changes since=3 n=1 more=false"}},
             // The working set replays the feed in pages; a deletion is an update in the trash.
             {ws, host::initialPageSortedByDate, "", {"items:1", "page:510"}},
             {ws, "510", "", {"items:0", "end"}},
             // The anchor never moves backwards, and one that cannot be read starts over.
             {ws, "since=15", "", {"changes:15:done", "changes since=15 n=0 more=false"}},
             {ws, "since=4x", "", {"updated:1", "changes:510:more", "changes since=0 n=1 more=true"}},
             // Only the working set's anchor moves: the feed's latest position, none while that is unknown.
             {root, "anchor", "", {"anchor:0"}},
             {"f1", "since=7", "", {"changes:7:done"}},
             {ws, "anchor", "", {"anchor:1234"}},
             {ws, "anchor", "", {"anchor:none"}},
         }) {
        SCOPED_TRACE(c.container + " " + c.page + " " + c.throwAfter);
        LogCapture log;
        Calls calls = run(c.container, c.page, c.throwAfter);
        for (const LogRecord& record : log.records())
            calls.push_back(record.message);
        EXPECT_EQ(calls, c.calls);
    }
}

TEST_F(Enumeration, UnconfiguredEnumeratorsEndNotAuthenticatedAndTheWorkingSetHasNoAnchor) {
    ext = FileProviderExtension::make({.identifier = "d", .displayName = "T", .userInfo = {}});
    for (const auto& container : {host::rootContainer, host::trashContainer, host::workingSet})
        EXPECT_EQ(run(container, host::initialPageSortedByName), (Calls{"error:-1000"})) << container;
    EXPECT_EQ(run(host::workingSet, "anchor"), (Calls{"anchor:none"}));
}

}  // namespace
}  // namespace tw
