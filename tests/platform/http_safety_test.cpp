// What the session refuses to hold, whatever the server sends.
#include <gtest/gtest.h>

#include <string>

#include "platform/http/session.h"
#include "support/test_server.h"

namespace tw::http {
namespace {

using test::Reply;
using test::TestServer;

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
    Request request;
    request.url = server.base() + "/headers";
    try {
        session.data(request);
        FAIL() << "taken whole";
    } catch (const URLError& error) {
        EXPECT_EQ(error.urlCode(), URLError::Code::badServerResponse);
    }
}

}  // namespace
}  // namespace tw::http
