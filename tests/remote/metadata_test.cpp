#include <gtest/gtest.h>

#include "remote/remote.h"
#include "remote_checks.h"
#include "support/test_server.h"

namespace tw {
namespace {

using nlohmann::json;
using test::errorOf;
using test::Reply;

constexpr const char* nodeJson = R"({"id":"n1","parent":"p1","kind":"file","name":"a.txt","version":4})";

class Endpoints : public ::testing::Test {
protected:
    test::TestServer server;
    Remote remote{Config(server.base(), "tok", "", std::nullopt)};
};

TEST_F(Endpoints, EachCallSendsItsExactRequest) {
    server.setHandler([](const test::RecordedRequest& request) -> Reply {
        if (request.target.starts_with("/api/v1/changes"))
            return {200, {}, R"({"changes":[],"cursor":5,"latest":9,"hasMore":false})"};
        if (request.target == "/api/v1/trash")  // one page: its "nextCursor" is not followed
            return {200, {}, R"({"items":[)" + std::string(nodeJson) + R"(],"nextCursor":"more"})"};
        if (request.target.starts_with("/api/v1/nodes?"))
            return {200, {}, R"({"items":[],"nextCursor":"c2"})"};
        if (request.target.ends_with("/open"))
            return {
                200, {}, R"({"id":"n1","kind":"file","name":"a","version":1,"url":"/b/x","expiresAt":9})"};
        return {200, {}, nodeJson};
    });
    const std::optional<std::string> none;
    struct Case {
        std::function<void()> call;
        std::string request;  // method and target
        std::optional<json> body = std::nullopt;
        std::optional<std::string> ifMatch = std::nullopt;
    };
    // clang-format off
    const Case cases[] = {
        {[&] { remote.list(std::nullopt, std::nullopt); }, "GET /api/v1/nodes?parent=root&limit=500"},
        {[&] { remote.list("p1", "a/b=c+d"); }, "GET /api/v1/nodes?parent=p1&limit=500&cursor=a/b=c+d"},
        {[&] { remote.list(std::nullopt, ""); }, "GET /api/v1/nodes?parent=root&limit=500&cursor="},
        {[&] { remote.node("n1"); }, "GET /api/v1/nodes/n1?trashed=1"},
        {[&] { remote.node("n1", false); }, "GET /api/v1/nodes/n1"},
        {[&] { remote.changes(-3); }, "GET /api/v1/changes?since=-3&limit=500"},
        {[&] { remote.changes(1125899906842624, 1); }, "GET /api/v1/changes?since=1125899906842624&limit=1"},
        {[&] { EXPECT_EQ(remote.trash().at(0).parent, "p1"); }, "GET /api/v1/trash"},
        {[&] { remote.createFolder("Fotos", std::nullopt); }, "POST /api/v1/nodes", json{{"name", "Fotos"}}},
        {[&] { remote.createFolder("F", "p1"); }, "POST /api/v1/nodes", json{{"name", "F"}, {"parent", "p1"}}},
        {[&] { remote.patch("n1", "b.txt", std::nullopt, 4); }, "PATCH /api/v1/nodes/n1", json{{"name", "b.txt"}}, "4"},
        {[&] { remote.patch("n1", none, std::optional<std::string>(), 4); }, "PATCH /api/v1/nodes/n1",
         json{{"parent", "root"}}, "4"},  // to the top
        {[&] { remote.patch("n1", "c", std::optional<std::string>("p2"), 9); },
         "PATCH /api/v1/nodes/n1", json{{"name", "c"}, {"parent", "p2"}}, "9"},
        {[&] { remote.patch("n1", none, std::nullopt, 4); }, "PATCH /api/v1/nodes/n1", json::object(), "4"},
        {[&] { remote.trashNode("n1", 4); }, "DELETE /api/v1/nodes/n1", std::nullopt, "4"},
        {[&] { remote.restore("n1"); }, "POST /api/v1/nodes/n1/restore"},
        {[&] { remote.purge("n1"); }, "DELETE /api/v1/trash/n1"},
        {[&] { EXPECT_EQ(remote.open("n1").url, "/b/x"); }, "POST /api/v1/nodes/n1/open"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const auto before = server.requests().size();
        c.call();
        const auto after = server.requests();
        ASSERT_EQ(after.size(), before + 1);
        const auto& sent = after.back();
        EXPECT_EQ(sent.method + " " + sent.target, c.request);
        EXPECT_EQ(sent.header("Authorization"), "Bearer tok");
        EXPECT_EQ(sent.header("If-Match"), c.ifMatch);
        EXPECT_EQ(sent.header("Content-Type"),
                  c.body ? std::optional<std::string>("application/json") : none);
        EXPECT_EQ(sent.body.empty() ? json() : json::parse(sent.body), c.body.value_or(json()));
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
    const std::pair<std::string, std::function<void()>> calls[] = {
        {"bad_id", [&] { remote.node("../trash/n9"); }},
        {"bad_id", [&] { remote.trashNode("../trash/n9", 1); }},
        {"bad_id", [&] { remote.purge("n1/../../nodes/n2"); }},
        {"bad_id", [&] { remote.restore(".."); }},
        {"bad_id", [&] { remote.open("a?b"); }},
        {"bad_id", [&] { remote.patch("n1", std::nullopt, std::optional<std::string>("p&x=1"), 1); }},
        {"bad_id", [&] { remote.createFolder("a", std::string("p\0q", 3)); }},
        {"bad_id", [&] { remote.list("a b", std::nullopt); }},
        {"bad_cursor", [&] { remote.list(std::nullopt, "c&limit=1"); }},
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE(i);
        const RemoteError error = errorOf(calls[i].second);
        EXPECT_EQ(error.status(), 0);
        EXPECT_EQ(error.code(), calls[i].first);
    }
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace tw
