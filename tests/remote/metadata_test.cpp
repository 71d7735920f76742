#include <gtest/gtest.h>

#include "remote/remote.h"
#include "remote_checks.h"
#include "support/test_server.h"

namespace tw {
namespace {

using nlohmann::json;
using test::errorOf;
using test::Reply;
using test::TestServer;

constexpr const char* nodeJson = R"({"id":"n1","parent":"p1","kind":"file","name":"a.txt","version":4})";

class Endpoints : public ::testing::Test {
protected:
    TestServer server;
    Remote remote{Config(server.base(), "tok", "", std::nullopt)};
};

TEST_F(Endpoints, ReadsAskForTheExactTargets) {
    server.setHandler([](const test::RecordedRequest& request) -> Reply {
        if (request.target.starts_with("/api/v1/changes"))
            return {200, {}, R"({"changes":[],"cursor":5,"latest":9,"hasMore":false})"};
        if (request.target == "/api/v1/trash")  // one page: its "nextCursor" is not followed
            return {200, {}, R"({"items":[)" + std::string(nodeJson) + R"(],"nextCursor":"more"})"};
        if (request.target.starts_with("/api/v1/nodes?"))
            return {200, {}, R"({"items":[],"nextCursor":"c2"})"};
        return {200, {}, nodeJson};
    });
    struct Case {
        std::string name;
        std::function<void()> call;
        std::string target;
    };
    const std::vector<Case> cases = {
        {"list root", [&] { remote.list(std::nullopt, std::nullopt); },
         "/api/v1/nodes?parent=root&limit=500"},
        {"list with cursor", [&] { remote.list("p1", "a/b=c+d"); },
         "/api/v1/nodes?parent=p1&limit=500&cursor=a/b=c+d"},
        {"list with empty cursor", [&] { remote.list(std::nullopt, ""); },
         "/api/v1/nodes?parent=root&limit=500&cursor="},
        {"node", [&] { remote.node("n1"); }, "/api/v1/nodes/n1?trashed=1"},
        {"node live only", [&] { remote.node("n1", false); }, "/api/v1/nodes/n1"},
        {"changes", [&] { remote.changes(-3); }, "/api/v1/changes?since=-3&limit=500"},
        {"changes probe", [&] { remote.changes(1125899906842624, 1); },
         "/api/v1/changes?since=1125899906842624&limit=1"},
        {"trash", [&] { EXPECT_EQ(remote.trash().at(0).parent, "p1"); }, "/api/v1/trash"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = server.requests().size();
        c.call();
        const auto after = server.requests();
        ASSERT_EQ(after.size(), before + 1);
        EXPECT_EQ(after.back().method, "GET");
        EXPECT_EQ(after.back().target, c.target);
        EXPECT_EQ(after.back().header("Authorization"), "Bearer tok");
        EXPECT_FALSE(after.back().header("Content-Type"));
    }
}

TEST_F(Endpoints, MutationsSendTheirBodiesAndVersions) {
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {200, {}, nodeJson}; });
    struct Case {
        std::string name;
        std::function<void()> call;
        std::string method, target;
        std::optional<json> body;
        std::optional<std::string> ifMatch;
    };
    const std::vector<Case> cases = {
        {"folder in root", [&] { remote.createFolder("Fotos", std::nullopt); }, "POST", "/api/v1/nodes",
         json{{"name", "Fotos"}}, std::nullopt},
        {"folder in folder", [&] { remote.createFolder("F", "p1"); }, "POST", "/api/v1/nodes",
         json{{"name", "F"}, {"parent", "p1"}}, std::nullopt},
        {"rename", [&] { remote.patch("n1", "b.txt", std::nullopt, 4); }, "PATCH", "/api/v1/nodes/n1",
         json{{"name", "b.txt"}}, "4"},
        {"move to top", [&] { remote.patch("n1", std::nullopt, std::optional<std::string>(), 4); }, "PATCH",
         "/api/v1/nodes/n1", json{{"parent", "root"}}, "4"},
        {"move into folder", [&] { remote.patch("n1", "c", std::optional<std::string>("p2"), 9); }, "PATCH",
         "/api/v1/nodes/n1", json{{"name", "c"}, {"parent", "p2"}}, "9"},
        {"no change", [&] { remote.patch("n1", std::nullopt, std::nullopt, 4); }, "PATCH", "/api/v1/nodes/n1",
         json::object(), "4"},
        {"trash", [&] { remote.trashNode("n1", 4); }, "DELETE", "/api/v1/nodes/n1", std::nullopt, "4"},
        {"restore", [&] { remote.restore("n1"); }, "POST", "/api/v1/nodes/n1/restore", std::nullopt,
         std::nullopt},
        {"purge", [&] { remote.purge("n1"); }, "DELETE", "/api/v1/trash/n1", std::nullopt, std::nullopt},
        {"open", [&] { EXPECT_EQ(remote.open("n1").url, "/b/x"); }, "POST", "/api/v1/nodes/n1/open",
         std::nullopt, std::nullopt},
    };
    server.script(
        "/api/v1/nodes/n1/open",
        {{200, {}, R"({"id":"n1","kind":"file","name":"a","version":1,"url":"/b/x","expiresAt":9})"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = server.requests().size();
        c.call();
        const auto sent = server.requests().at(before);
        EXPECT_EQ(sent.method, c.method);
        EXPECT_EQ(sent.target, c.target);
        EXPECT_EQ(sent.header("If-Match"), c.ifMatch);
        EXPECT_EQ(sent.header("Content-Type").has_value(), c.body.has_value());
        if (c.body) {
            EXPECT_EQ(sent.header("Content-Type"), "application/json");
            EXPECT_EQ(json::parse(sent.body), *c.body);
        } else {
            EXPECT_EQ(sent.body, "");
        }
    }
}

TEST_F(Endpoints, EmptySuccessIsEnoughOnlyWhereNoRecordIsExpectedAndRejectionsKeepTheirCodeAndAreSentOnce) {
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {204}; });
    EXPECT_NO_THROW(remote.trashNode("n1", 1));
    EXPECT_NO_THROW(remote.purge("n1"));
    const RemoteError empty = errorOf([&] { remote.node("n1"); });
    EXPECT_EQ(empty.status(), 502);
    EXPECT_EQ(empty.code(), "bad_response");
    EXPECT_TRUE(empty.body().empty());
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 1u);  // not sent again

    server.script("/api/v1/nodes/n1", {{409, {}, R"({"error":"name_conflict","existing":{"id":"n7"}})"}});
    const RemoteError conflict = errorOf([&] { remote.patch("n1", "taken", std::nullopt, 3); });
    EXPECT_EQ(conflict.status(), 409);
    EXPECT_EQ(conflict.code(), "name_conflict");
    EXPECT_EQ(conflict.body()["existing"]["id"], "n7");

    server.script("/api/v1/nodes/n1", {});
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {503}; });
    EXPECT_THROW(remote.createFolder("a", std::nullopt), RemoteError);
    EXPECT_EQ(server.requests("/api/v1/nodes").size(), 1u);  // a mutation is sent once, a read three times
    EXPECT_THROW(remote.node("n1"), RemoteError);
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 4u);
}

TEST_F(Endpoints, UnsafeIdsAndCursorsAreRefusedBeforeAnythingIsSent) {
    const std::vector<std::function<void()>> calls = {
        [&] { remote.node("../trash/n9"); },
        [&] { remote.trashNode("../trash/n9", 1); },
        [&] { remote.purge("n1/../../nodes/n2"); },
        [&] { remote.restore(".."); },
        [&] { remote.open("a?b"); },
        [&] { remote.patch("n1", std::nullopt, std::optional<std::string>("p&x=1"), 1); },
        [&] { remote.createFolder("a", std::string("p\0q", 3)); },
        [&] { remote.list("a b", std::nullopt); },
        [&] { remote.list(std::nullopt, "c&limit=1"); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        const RemoteError error = errorOf(calls[i]);
        EXPECT_EQ(error.status(), 0);
        EXPECT_TRUE(error.code() == "bad_id" || error.code() == "bad_cursor") << error.code();
    }
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace tw
