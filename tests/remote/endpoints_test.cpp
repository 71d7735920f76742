// The metadata and device endpoints against the recording server.
#include <gtest/gtest.h>

#include "remote/remote.h"
#include "remote_checks.h"
#include "support/elapsed.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::errorOf;
using test::Reply;
using test::TestServer;

class Endpoints : public ::testing::Test {
protected:
    test::TestServer server;
    Remote remote{Config(server.base(), "tok", "", std::nullopt)};
};

TEST_F(Endpoints, EachCallSendsItsExactRequest) {
    // One reply that decodes as every record these calls read: unknown keys are ignored.
    const std::string node = R"({"id":"n1","parent":"p1","kind":"file","name":"a.txt","version":4)";
    const std::string reply = node + R"(,"items":[)" + node +
                              R"(}],"nextCursor":"more","changes":[],"cursor":5,)" +
                              R"("latest":9,"hasMore":false,"url":"/b/x","expiresAt":9})";
    server.setHandler([reply](const test::RecordedRequest&) -> Reply { return {200, {}, reply}; });
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
        {[&] { EXPECT_EQ(remote.trash().at(0).parent, "p1"); }, "GET /api/v1/trash"},  // one page
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
        c.call();
        const auto all = server.requests();
        ASSERT_EQ(all.size(), static_cast<std::size_t>(&c - cases + 1));  // one request a call
        const auto& sent = all.back();
        EXPECT_EQ(sent.method + " " + sent.target, c.request);
        EXPECT_EQ(sent.header("Authorization"), "Bearer tok");
        EXPECT_EQ(sent.header("If-Match"), c.ifMatch);
        EXPECT_EQ(sent.header("Content-Type").value_or("none"), c.body ? "application/json" : "none");
        EXPECT_EQ(sent.body.empty() ? json() : json::parse(sent.body), c.body.value_or(json()));
    }
}

TEST_F(Endpoints, EmptySuccessIsEnoughOnlyWhereNoRecordIsExpectedAndRejectionsKeepTheirCodeAndAreSentOnce) {
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {204}; });
    EXPECT_NO_THROW(remote.trashNode("n1", 1));
    EXPECT_NO_THROW(remote.purge("n1"));
    const RemoteError empty = errorOf([&] { remote.node("n1"); });
    EXPECT_EQ(test::statusCode(empty), "502 bad_response");
    EXPECT_TRUE(empty.body().empty());
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 1u);  // not sent again

    server.script("/api/v1/nodes/n1", {{409, {}, R"({"error":"name_conflict","existing":{"id":"n7"}})"}});
    const RemoteError conflict = errorOf([&] { remote.patch("n1", "taken", std::nullopt, 3); });
    EXPECT_EQ(test::statusCode(conflict), "409 name_conflict");
    EXPECT_EQ(conflict.body()["existing"]["id"], "n7");

    server.script("/api/v1/nodes/n1", {});
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {503}; });
    EXPECT_THROW(remote.createFolder("a", std::nullopt), RemoteError);
    EXPECT_EQ(server.requests("/api/v1/nodes").size(), 1u);  // a mutation is sent once, a read three times
    EXPECT_THROW(remote.node("n1"), RemoteError);
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 4u);
}

// Unsafe ids and cursors, and names or mimes that are not UTF-8, are refused before anything is sent.
TEST_F(Endpoints, UnsafeIdsCursorsAndNamesAreRefusedBeforeAnythingIsSent) {
    const std::string latin1 = "rel\xF3rio.txt";
    const std::pair<std::string, std::function<void()>> calls[] = {
        {"bad_id", [&] { remote.node("../trash/n9"); }},
        {"bad_id", [&] { remote.trashNode("../trash/n9", 1); }},
        {"bad_id", [&] { remote.purge("n1/../../nodes/n2"); }},
        {"bad_id", [&] { remote.restore(".."); }},
        {"bad_id", [&] { remote.open("a?b"); }},
        {"bad_id", [&] { remote.patch("n1", std::nullopt, std::optional<std::string>("p&x=1"), 1); }},
        {"bad_id", [&] { remote.createFolder("a", std::string("p\0q", 3)); }},
        {"bad_id", [&] { remote.list("a b", std::nullopt); }},
        {"bad_id", [&] { remote.upload("/absent", 3, "a", "p/q", "x/y"); }},
        {"bad_id",
         [&] {
             remote.upload("/absent", 3, "a", {}, "x/y", Replace{"..", 1});
         }},
        {"bad_cursor", [&] { remote.list(std::nullopt, "c&limit=1"); }},
        {"bad_name", [&] { remote.upload("/absent", 3, latin1, {}, "x/y"); }},
        {"bad_name",
         [&] { remote.upload("/absent", Remote::directMax + 1, latin1, {}, "x/y"); }},  // in parts
        {"bad_name", [&] { remote.createFolder(latin1, "p1"); }},
        {"bad_name", [&] { remote.patch("n1", latin1, std::nullopt, 3); }},
        {"bad_mime", [&] { remote.upload("/absent", 3, "a", {}, "text/\xFF"); }},
    };
    for (std::size_t i = 0; i < std::size(calls); ++i)
        EXPECT_EQ(test::statusCodeOf(calls[i].second), "0 " + calls[i].first) << i;
    EXPECT_TRUE(server.requests().empty());
}

TEST(RegisterDevice, SendsTheSecretOnceWithoutAuthorizationAndReadsIdAndToken) {
    TestServer server;
    server.script("/api/v1/auth/device",
                  {{201, {}, R"({"id":"d7","token":"tk-9","name":"Laptop","kind":"macos","createdAt":1})"}});
    const Device device = Remote::registerDevice(server.base(), "s3cret", "Laptop do Zé");
    EXPECT_EQ(device.id + " " + device.token, "d7 tk-9");
    const auto sent = server.requests().at(0);
    EXPECT_EQ(sent.method + " " + sent.target, "POST /api/v1/auth/device");
    EXPECT_FALSE(sent.header("Authorization"));
    EXPECT_EQ(sent.header("User-Agent"), "Tidewright-macOS/0.1");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(sent.body),
              (json{{"secret", "s3cret"}, {"name", "Laptop do Zé"}, {"kind", "macos"}}));
}

TEST(RegisterDevice, UnusableRepliesFailOnceWithoutQuotingTheSecret) {
    for (const auto& [reply, expected] :
         {std::pair<Reply, std::string>{{200, {}, R"({"id":"d7","token":42})"}, "502 bad_response"},
          {{200, {}, R"(["d7","tk"])"}, "502 bad_response"},
          {{200, {}, R"({"id":"d7"})"}, "502 bad_response"},
          {{200, {}, "not json"}, "502 bad_response"},
          {{403, {}, R"({"error":"forbidden"})"}, "403 forbidden"},
          {{503, {}, ""}, "503 http_503"}}) {  // transient, and still not sent again
        SCOPED_TRACE(reply.body);
        TestServer server;
        server.script("/api/v1/auth/device", {reply});
        const auto error = errorOf([&] { Remote::registerDevice(server.base(), "s3cret", "n"); });
        EXPECT_EQ(test::statusCode(error), expected);
        EXPECT_EQ(std::string(error.what()).find("s3cret"), std::string::npos);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

// Not an http base: registering is a network failure; a device id leaving its path: revoking gives false.
TEST(RegisterDevice, AnUnusableBaseOrDeviceIdSendsNothing) {
    TestServer server;
    const std::string port = std::to_string(server.port());
    for (const std::string& base : {"127.0.0.1:" + port, "ftp://127.0.0.1:" + port,
                                    "http://127.0.0.1:" + port + "/a b", std::string()}) {
        SCOPED_TRACE(base);
        const auto error = errorOf([&] { Remote::registerDevice(base, "s3cret", "n"); });
        EXPECT_EQ(error.kind(), RemoteError::Case::network);
        EXPECT_EQ(std::string(error.what()).find("s3cret"), std::string::npos);
    }
    for (const std::string id : {"", "..", "d7/../../nodes/n1", "d7?x=1"})
        EXPECT_FALSE(Remote(Config(server.base(), "tok", id, std::nullopt)).revokeDevice()) << id;
    EXPECT_EQ(server.connectionsAccepted(), 0);
}

TEST(RevokeDevice, DeletesTheDeviceOrRevokesTheCloudTokenAndSaysWhetherTheServiceAccepted) {
    using Case = std::tuple<std::optional<std::string>, int, bool>;  // space, status, revoked
    for (const auto& [spaceId, status, revoked] :
         {Case{std::nullopt, 204, true}, Case{std::nullopt, 404, false},
          Case{std::nullopt, 503, false},  // once, never again
          Case{"s1", 200, true}, Case{"s1", 401, false}}) {
        const std::string request = spaceId ? "POST /api/cloud/auth/app/revoke" : "DELETE /api/v1/devices/d7";
        SCOPED_TRACE(request + " " + std::to_string(status));
        TestServer server;
        server.script(request.substr(request.find(' ') + 1), {{status}});
        EXPECT_EQ(Remote(Config(server.base(), "tok", "d7", spaceId)).revokeDevice(), revoked);
        const auto sent = server.requests();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].method + " " + sent[0].target, request);
        EXPECT_EQ(sent[0].body, spaceId ? "{}" : "");
        EXPECT_EQ(sent[0].header("Authorization"), "Bearer tok");
        EXPECT_EQ(sent[0].header("Content-Type").has_value(), spaceId.has_value());
    }
}

// Ten real seconds: the limit is the behaviour under test.
TEST(RevokeDevice, TheCloudRevocationGivesUpAfterTenSeconds) {
    TestServer server;
    server.script("/api/cloud/auth/app/revoke", {{.status = 204, .delay = 60s}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Remote(Config(server.base(), "tok", "d7", "s1")).revokeDevice());
    EXPECT_NEAR(test::secondsSince(start), 10.0, 1.0);
}

}  // namespace
}  // namespace tw
