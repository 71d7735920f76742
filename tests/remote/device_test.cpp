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

TEST(RegisterDevice, SendsTheSecretOnceWithoutAuthorizationAndReadsIdAndToken) {
    TestServer server;
    server.script("/api/v1/auth/device",
                  {{201, {}, R"({"id":"d7","token":"tk-9","name":"Laptop","kind":"macos","createdAt":1})"}});

    const Device device = Remote::registerDevice(server.base(), "s3cret", "Laptop do Zé");

    EXPECT_EQ(device.id, "d7");
    EXPECT_EQ(device.token, "tk-9");
    const auto sent = server.requests().at(0);
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.target, "/api/v1/auth/device");
    EXPECT_FALSE(sent.header("Authorization"));
    EXPECT_EQ(sent.header("User-Agent"), "Tidewright-macOS/0.1");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(sent.body),
              (json{{"secret", "s3cret"}, {"name", "Laptop do Zé"}, {"kind", "macos"}}));
}

TEST(RegisterDevice, UnusableRepliesFailOnceWithoutQuotingTheSecret) {
    struct Case {
        Reply reply;
        std::int64_t status;
        std::string code;
    };
    // clang-format off
    for (const Case& c : {Case{{200, {}, R"({"id":"d7","token":42})"}, 502, "bad_response"},
                          Case{{200, {}, R"(["d7","tk"])"}, 502, "bad_response"},
                          Case{{200, {}, R"({"id":"d7"})"}, 502, "bad_response"},
                          Case{{200, {}, "not json"}, 502, "bad_response"},
                          Case{{403, {}, R"({"error":"forbidden"})"}, 403, "forbidden"},
                          Case{{503, {}, ""}, 503, "http_503"}}) {  // transient, and still not sent again
        // clang-format on
        SCOPED_TRACE(c.reply.body);
        TestServer server;
        server.script("/api/v1/auth/device", {c.reply});
        const auto error = errorOf([&] { Remote::registerDevice(server.base(), "s3cret", "n"); });
        EXPECT_EQ(error.status(), c.status);
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(std::string(error.what()).find("s3cret"), std::string::npos);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST(RegisterDevice, ABaseThatIsNotAnHttpUrlSendsNothing) {
    TestServer server;
    const std::string port = std::to_string(server.port());
    for (const std::string& base : {"127.0.0.1:" + port, "ftp://127.0.0.1:" + port,
                                    "http://127.0.0.1:" + port + "/a b", std::string()}) {
        SCOPED_TRACE(base);
        const auto error = errorOf([&] { Remote::registerDevice(base, "s3cret", "n"); });
        EXPECT_EQ(error.kind(), RemoteError::Case::network);
        EXPECT_EQ(std::string(error.what()).find("s3cret"), std::string::npos);
    }
    EXPECT_EQ(server.connectionsAccepted(), 0);
}

TEST(RevokeDevice, DeletesTheDeviceOrRevokesTheCloudTokenAndSaysWhetherTheServiceAccepted) {
    struct Case {
        std::optional<std::string> spaceId;
        Reply reply;
        bool revoked;
        std::string request, body;  // method and target
    };
    const std::string device = "DELETE /api/v1/devices/d7", cloud = "POST /api/cloud/auth/app/revoke";
    for (const Case& c :
         {Case{std::nullopt, {204}, true, device, ""}, Case{std::nullopt, {404}, false, device, ""},
          Case{std::nullopt, {503}, false, device, ""},  // once, never again
          Case{"s1", {200}, true, cloud, "{}"}, Case{"s1", {401}, false, cloud, "{}"}}) {
        SCOPED_TRACE(c.request + " " + std::to_string(c.reply.status));
        TestServer server;
        server.script(c.request.substr(c.request.find(' ') + 1), {c.reply});
        EXPECT_EQ(Remote(Config(server.base(), "tok", "d7", c.spaceId)).revokeDevice(), c.revoked);
        const auto sent = server.requests();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].method + " " + sent[0].target, c.request);
        EXPECT_EQ(sent[0].body, c.body);
        EXPECT_EQ(sent[0].header("Authorization"), "Bearer tok");
        EXPECT_EQ(sent[0].header("Content-Type").has_value(), !c.body.empty());
    }
}

TEST(RevokeDevice, ADeviceIdThatCouldAddressAnotherPathSendsNothing) {
    TestServer server;
    for (const std::string id : {"", "..", "d7/../../nodes/n1", "d7?x=1"}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(Remote(Config(server.base(), "tok", id, std::nullopt)).revokeDevice());
    }
    EXPECT_EQ(server.connectionsAccepted(), 0);
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
