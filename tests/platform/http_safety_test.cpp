// What the session refuses to send, and what it refuses to hold, whatever the URL or the server.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/http/session.h"
#include "platform/http/url.h"
#include "support/test_server.h"

namespace tw::http {
namespace {

using test::Reply;
using test::TestServer;

// Answers any request, as a resolver that rewrites failed look-ups, or a hosts entry, would.
class AnswersAnything : public Transport {
public:
    bool canHandle(const Request&) const override { return true; }
    DataReply perform(const Request&, std::string_view) override {
        ++taken;
        return {Response{.status = 200}, "taken"};
    }
    std::atomic<int> taken{0};
};

URLError::Code failureOf(Session& session, const std::string& url) {
    Request request;
    request.url = url;
    request.setHeader("Authorization", "Bearer secret");
    try {
        session.data(request);
        ADD_FAILURE() << "sent";
    } catch (const URLError& error) {
        return error.urlCode();
    }
    return URLError::Code::unknown;
}

TEST(HttpSafety, OnlyHttpURLsAsWrittenAreSent) {
    TestServer server;
    Session session({});
    const std::string port = std::to_string(server.port());
    struct Case {
        std::string url;
        URLError::Code code;
    };
    for (const Case& c : {Case{"127.0.0.1:" + port + "/x", URLError::Code::unsupportedURL},
                          Case{"localhost:" + port + "/x", URLError::Code::unsupportedURL},
                          Case{"ftp://127.0.0.1:" + port + "/x", URLError::Code::unsupportedURL},
                          Case{placeholderURL, URLError::Code::badURL}}) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(failureOf(session, c.url), c.code);
    }
    EXPECT_EQ(server.connectionsAccepted(), 0);
}

TEST(HttpSafety, PlaceholderReachesNoTransport) {
    auto anything = std::make_shared<AnswersAnything>();
    Session session({}, {anything});
    EXPECT_EQ(failureOf(session, placeholderURL), URLError::Code::badURL);
    EXPECT_EQ(anything->taken, 0);
}

TEST(HttpSafety, ErrorBodyIsKeptOnlyUpToItsLimit) {
    TestServer server;
    server.script("/gone", {Reply{.status = 404, .generatedBodySize = 1'000'000}});
    server.script("/small", {Reply{.status = 404, .body = "not here"}});
    Session session({});
    Request request;
    request.url = server.base() + "/gone";

    const DataReply reply = session.data(request);
    EXPECT_EQ(reply.response.status, 404);
    EXPECT_EQ(reply.body.size(), 16'384u);
    request.url = server.base() + "/small";
    EXPECT_EQ(session.data(request).body, "not here");
}

TEST(HttpSafety, EndlessReplyHeadersFail) {
    TestServer server;
    Reply reply{.status = 200, .body = "ok"};
    for (int i = 0; i < 5000; ++i)
        reply.headers.emplace_back("X-Filler-" + std::to_string(i), std::string(100, 'f'));
    server.script("/headers", {reply});
    Session session({});
    EXPECT_EQ(failureOf(session, server.base() + "/headers"), URLError::Code::badServerResponse);
}

}  // namespace
}  // namespace tw::http
