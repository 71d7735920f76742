// The client against a service, or a configuration, that would make it leak the token, hang or exhaust it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "remote/remote.h"
#include "remote_checks.h"
#include "support/elapsed.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::Reply;
using test::TestServer;

using test::configFor;
using test::secondsSince;
using test::urlCodeOf;

RemoteError sendFailure(const Remote& remote, const http::Request& request, bool retry = false) {
    return test::errorOf([&] { remote.send(request, retry); });
}

// Serves every request with a 200 of `size` bytes and no Content-Length.
class Plenty : public http::Transport {
public:
    explicit Plenty(std::size_t size) : size_(size) {}
    bool canHandle(const http::Request&) const override { return true; }
    http::DataReply perform(const http::Request&, std::string_view) override {
        ++calls;
        return {http::Response{.status = 200}, std::string(size_, 'x')};
    }
    std::atomic<int> calls{0};

private:
    std::size_t size_;
};

// A base without a scheme, or an id that passes the id rule but makes no URL: a network failure, retried,
// that never leaves the process.
TEST(RemoteLimits, BaseOrIdThatMakesNoURLFailsLocallyAsARetriedNetworkFailure) {
    TestServer server;
    const std::string port = std::to_string(server.port());
    using U = http::URLError::Code;
    for (const auto& [base, id, code] : {std::tuple{"127.0.0.1:" + port, "n1", U::unsupportedURL},
                                         {"localhost:" + port, "n1", U::unsupportedURL},
                                         {server.base(), "caf\xc3\xa9", U::badURL},
                                         {server.base(), "a\"b", U::badURL},
                                         {server.base(), "a<b", U::badURL},
                                         {server.base(), "a{b", U::badURL},
                                         {server.base(), "a|b", U::badURL}}) {
        SCOPED_TRACE(base + " " + id);
        const Remote remote(configFor(base));
        EXPECT_EQ(urlCodeOf(sendFailure(remote, remote.request("GET", std::string("/nodes/") + id))), code);
    }
    const Remote remote(configFor(server.base()));
    const auto start = std::chrono::steady_clock::now();
    const RemoteError retried = sendFailure(remote, remote.request("GET", "/nodes/a|b"), true);
    EXPECT_EQ(urlCodeOf(retried), http::URLError::Code::badURL);
    EXPECT_TRUE(retried.isTransient());
    EXPECT_NEAR(secondsSince(start), 1.8, 0.3);  // the pauses (0.6 s + 1.2 s) of three attempts
    EXPECT_EQ(server.connectionsAccepted(), 0);

    auto anything = std::make_shared<Plenty>(2);
    Remote substituted(configFor("http://h"), {anything});
    EXPECT_EQ(urlCodeOf(sendFailure(substituted, substituted.request("GET", "/nodes/a<b"))),
              http::URLError::Code::badURL);
    EXPECT_EQ(anything->calls, 0);
}

TEST(RemoteLimits, DeepErrorBodyKeepsStatusAndCodeAndDropsTheDepth) {
    const std::string deep(1'000'000, '[');
    const auto nested = [](int levels) {  // in all, with the outer object
        return R"({"error":"x","d":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    };
    struct Case {
        std::string body, code;
        nlohmann::json details;
    };
    for (const Case& c :
         {Case{deep, "http_400", nlohmann::json::object()},
          Case{R"({"error":"x","reason":"r","d":)" + deep + std::string(1'000'000, ']') + R"(,"o":{"k":1}})",
               "x",
               {{"error", "x"}, {"reason", "r"}}},
          Case{nested(64), "x", nlohmann::json::parse(nested(64))},
          Case{nested(65), "x", {{"error", "x"}}}}) {
        SCOPED_TRACE(c.body.substr(0, 30));
        const RemoteError error = Remote::failure(400, c.body);
        const RemoteError copy = error;  // as a thrown error is copied
        EXPECT_EQ(copy.status(), 400);
        EXPECT_EQ(copy.code(), c.code);
        EXPECT_EQ(copy.body(), c.details);
    }

    // As deep as an error body of at most 16 KiB gets.
    TestServer server;
    server.script("/api/v1/nodes/n1", {Reply{.status = 400, .body = nested(8000)}});
    Remote remote(configFor(server.base()));
    EXPECT_EQ(sendFailure(remote, remote.request("GET", "/nodes/n1")).code(), "x");
}

// Not sent again: the reply would be as large the next time.
TEST(RemoteLimits, ReplyLargerThanItsBoundIsRefusedOnce) {
    TestServer server;
    server.script("/api/v1/big",
                  {Reply{.status = 200, .generatedBodySize = 2000, .stallAfterHeaders = 2000ms}});
    Remote remote(configFor(server.base()));
    http::Request request = remote.request("GET", "/big");
    request.memoryLimit = 1000;
    const auto start = std::chrono::steady_clock::now();
    RemoteError error = sendFailure(remote, request, true);
    EXPECT_LT(secondsSince(start), 1.0);  // refused on its Content-Length, before the body
    EXPECT_EQ(test::statusCode(error), "502 too_large");
    EXPECT_EQ(server.requests().size(), 1u);

    // Without a Content-Length, on the bytes received.
    auto plenty = std::make_shared<Plenty>(1001);
    Remote substituted(configFor("http://h"), {plenty});
    request = substituted.request("GET", "/big");
    request.memoryLimit = 1000;
    EXPECT_EQ(sendFailure(substituted, request, true).code(), "too_large");
    EXPECT_EQ(plenty->calls, 1);
    request.memoryLimit = 1001;
    EXPECT_EQ(substituted.send(request).size(), 1001u);
}

TEST(RemoteLimits, TricklingReplyFailsAtTheDeadline) {
    TestServer server;
    server.script("/api/v1/slow", {Reply{.status = 200, .body = "late", .stallAfterHeaders = 3000ms}});
    Remote remote(configFor(server.base()));
    http::Request request = remote.request("GET", "/slow");
    request.deadline = 300ms;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(urlCodeOf(sendFailure(remote, request)), http::URLError::Code::timedOut);
    EXPECT_GE(secondsSince(start), 0.28);
    EXPECT_LT(secondsSince(start), 1.5);  // well before the stall ends
}

}  // namespace
}  // namespace tw
