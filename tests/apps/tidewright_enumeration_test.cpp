// ls, anchor, changes and watch run as processes against tidewright-server.
#include <signal.h>

#include <set>

#include "cli_fixture.h"

namespace tw::test {
namespace {

std::vector<std::string> idsOf(const Outcome& outcome) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < outcome.lines.size(); ++i)
        ids.push_back(outcome.line(i)["id"]);
    return ids;
}
std::string anchorOf(const Outcome& outcome) {
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    return outcome.lines.empty() ? "" : outcome.line(outcome.lines.size() - 1)["anchor"].get<std::string>();
}

// (Listings of several pages: the enumeration tests' cursors, and the cursors followed below.)
TEST_F(CliTest, LsShowsWhatTheServiceHoldsAndChangesShowTrashedNodesInTheTrash) {
    const std::string docs = api.folder("Documentos")["id"], top = api.upload("Leia-me.md", "# oi")["id"];
    const std::string note = api.upload("nota.txt", "oi", docs)["id"];
    EXPECT_EQ(idsOf(tidewright({"--json", "ls"})), (std::vector{docs, top}));
    EXPECT_EQ(idsOf(tidewright({"--json", "ls", docs})), std::vector<std::string>{note});

    const std::string before = anchorOf(tidewright({"--json", "anchor"}));
    ASSERT_EQ(api.del("/api/v1/nodes/" + top).status, 200);
    const std::string after = anchorOf(tidewright({"--json", "anchor"}));
    const auto changes = tidewright({"--json", "changes", "--from", before});
    ASSERT_EQ(changes.lines.size(), 2u);
    EXPECT_EQ(changes.line()["id"], top);
    EXPECT_EQ(changes.line()["parent"], inTrash);
    EXPECT_EQ(anchorOf(changes), after);
    EXPECT_EQ(anchorOf(tidewright({"--json", "changes"})), after) << "the whole feed, the same last anchor";
}

TEST_F(CliTest, WatchPrintsChangesAsTheyArriveUntilInterrupted) {
    ChildProcess watch(
        {tidewrightPath, "--config", configFile.string(), "--json", "watch", "--interval", "0.1"});
    // A folder made before the watch has read the current anchor is not reported: make one until one is.
    std::set<std::string> made;
    std::optional<std::string> line;
    for (int i = 0; i < 40 && !line; ++i) {
        made.insert(api.folder("Novidade " + std::to_string(i))["id"].get<std::string>());
        line = watch.readLine(0.5);
    }
    ASSERT_TRUE(line);
    EXPECT_TRUE(made.count(json::parse(*line)["id"].get<std::string>())) << *line;
    watch.signal(SIGINT);
    EXPECT_EQ(watch.wait(10), 0);
}

// A service that announces more without going anywhere: the host stops at the reply that shows it (a cursor
// it has followed before, an anchor it was asked from or has had before: compared as text, never read), with
// status 1 and an error saying so. (Every way a feed can stand still: the host-call library's CatchUp test.)
TEST(CliAgainstScriptedService, ListingsAndFeedsThatGoNowhereEndWithAnError) {
    const std::string stuck = R"({"changes":[],"cursor":5,"latest":5,"hasMore":true})";
    const std::string c1 = R"({"items":[],"nextCursor":"c1"})", c2 = R"({"items":[],"nextCursor":"c2"})";
    struct Case {
        std::vector<std::string> args, replies;  // the last reply repeats
        std::string path;
        std::size_t requests;
        std::string says;
    };
    for (const auto& c : std::vector<Case>{
             {{"ls"}, {c1, c2, c1}, "/api/v1/nodes", 3, "cursor \"c1\" a second time"},
             {{"ls", "working-set"}, {stuck}, "/api/v1/changes", 2, "cursor \"5\" a second time"},
             {{"changes"}, {stuck}, "/api/v1/changes", 2, "past anchor \"5\""},
             {{"watch", "--from", "0", "--interval", "0.05"},
              {stuck},
              "/api/v1/changes",
              2,
              "past anchor \"5\""},
         }) {
        SCOPED_TRACE(c.args[0] + " " + c.replies.back());
        TestServer service;
        scriptJson(service, c.path, c.replies);
        const auto run = tidewrightAt(service.base(), c.args, 5);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(service.requests().size(), c.requests);
    }
}

}  // namespace
}  // namespace tw::test
