// The recording server every HTTP test relies on, checked with a raw socket client so that a failure here
// points at the server and not at the HTTP client under test.
#include "support/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace tw::test {
namespace {

// A blocking loopback client that writes raw bytes and reads raw replies.
class RawClient {
public:
    explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect failed");
    }
    ~RawClient() { ::close(fd_); }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) throw std::runtime_error("send failed");
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
    }

    // One reply: its head up to the empty line, then a body of its Content-Length. "" when closed first.
    std::string reply() {
        std::size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!fill()) return std::exchange(buffer_, {});
        headEnd += 4;
        std::size_t length = 0;
        if (const auto at = buffer_.find("Content-Length: "); at != std::string::npos && at < headEnd)
            length = std::stoul(buffer_.substr(at + 16));
        while (buffer_.size() < headEnd + length)
            if (!fill()) break;
        std::string text = buffer_.substr(0, headEnd + length);
        buffer_.erase(0, text.size());
        return text;
    }

    // Everything up to the server's close.
    std::string rest() {
        while (fill()) {
        }
        return std::exchange(buffer_, {});
    }

private:
    bool fill() {
        char chunk[65536];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    int fd_;
    std::string buffer_;
};

TEST(TestServer, RecordsTargetExactlyAndHeadersInOrder) {
    TestServer server;
    RawClient client(server.port());
    client.send(
        "GET /api/v1/nodes/a%2Fb?name=x%20y&z HTTP/1.1\r\nHost: h\r\nX-Two: 2\r\nx-two: second\r\n\r\n");
    EXPECT_EQ(client.reply(), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/api/v1/nodes/a%2Fb?name=x%20y&z");
    EXPECT_EQ(requests[0].headers.size(), 3u);
    EXPECT_EQ(requests[0].header("x-TWO"), "2");
    EXPECT_EQ(requests[0].header("Authorization"), std::nullopt);
    EXPECT_EQ(requests[0].connection, 1);
}

TEST(TestServer, ScriptsRunInOrderRepeatLastAndPreferExactTargets) {
    TestServer server;
    server.script("/p", {{201, {{"X-Reply", "one"}}, "first"}, {503}});
    server.script("/p?exact=1", {{202}});
    RawClient client(server.port());
    for (const char* target : {"/p?q=1", "/p?exact=1", "/p", "/p"})
        client.send(std::string("GET ") + target + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.reply(), "HTTP/1.1 201 Created\r\nX-Reply: one\r\nContent-Length: 5\r\n\r\nfirst");
    EXPECT_EQ(client.reply(), "HTTP/1.1 202 Status\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(client.reply(), "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(client.reply(), "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(server.requests("/p").size(), 2u);
    EXPECT_EQ(server.connectionsAccepted(), 1);
}

TEST(TestServer, ConnectionCloseEndsTheConnectionAfterTheReply) {
    TestServer server;
    server.setHandler([](const RecordedRequest& request) { return Reply{200, {}, request.method}; });
    RawClient client(server.port());
    client.send("DELETE /x HTTP/1.1\r\nConnection: close\r\n\r\nGET /after-close HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.rest(), "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nDELETE");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(TestServer, ReadsChunkedBodyAfterContinue) {
    TestServer server;
    RawClient client(server.port());
    client.send("PUT /up HTTP/1.1\r\nExpect: 100-continue\r\nTransfer-Encoding: chunked\r\n\r\n");
    EXPECT_EQ(client.reply(), "HTTP/1.1 100 Continue\r\n\r\n");
    client.send("5\r\nhello\r\na;ext=1\r\n, world!!!\r\n0\r\nTrailer: x\r\n\r\n");
    EXPECT_EQ(client.reply(), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    const auto requests = server.requests("/up");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "hello, world!!!");
    EXPECT_EQ(requests[0].bodySize, 15);
}

TEST(TestServer, LargeUploadIsCountedWhileOnlyItsFirst16MiBAreKept) {
    TestServer server;
    RawClient client(server.port());
    const std::int64_t size = 40 * 1048576 + 3;
    client.send("POST /files HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n");
    const std::string block(1048576, 'u');
    for (int i = 0; i < 40; ++i)
        client.send(block);
    client.send("end");
    EXPECT_EQ(client.reply(), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bodySize, size);
    EXPECT_EQ(requests[0].body.size(), 16u * 1048576);
}

TEST(TestServer, GeneratedBodyFollowsThePatternAndCanBeCut) {
    TestServer server;
    Reply cut{200};
    cut.generatedBodySize = 1000;
    cut.cut = Reply::Cut::afterBodyBytes;
    cut.cutAfter = 300;
    server.script("/dl", {cut});
    RawClient client(server.port());
    client.send("GET /dl HTTP/1.1\r\n\r\n");
    const std::string text = client.rest();
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
    ASSERT_EQ(text.substr(0, head.size()), head);
    const std::string body = text.substr(head.size());
    ASSERT_EQ(body.size(), 300u);
    for (std::size_t i = 0; i < body.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(body[i]), i % 251) << i;
}

TEST(TestServer, CutBeforeReplyClosesWithoutAByte) {
    TestServer server;
    Reply cut;
    cut.cut = Reply::Cut::beforeReply;
    server.script("/x", {cut});
    RawClient client(server.port());
    client.send("GET /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.rest(), "");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(TestServer, ClientLeavingMidBodyIsDroppedAndServingGoesOn) {
    TestServer server;
    {
        RawClient leaving(server.port());
        leaving.send("PUT /half HTTP/1.1\r\nContent-Length: 100\r\n\r\nonly part");
    }
    RawClient client(server.port());
    client.send("GET /next HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.reply(), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/next");
    EXPECT_EQ(requests[0].connection, 2);
}

TEST(TestServer, CountsConcurrentConnectionsAndRequests) {
    TestServer server;
    Reply slow{200};
    slow.delay = std::chrono::milliseconds(200);
    server.script("/slow", {slow});
    RawClient first(server.port());
    RawClient second(server.port());
    first.send("GET /slow HTTP/1.1\r\n\r\n");
    second.send("GET /slow HTTP/1.1\r\n\r\n");
    EXPECT_EQ(first.reply(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(second.reply(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(server.peakOpenConnections(), 2);
    EXPECT_EQ(server.peakInFlight(), 2);
    EXPECT_EQ(server.connectionsAccepted(), 2);
    EXPECT_LT(std::abs(server.gapSeconds(0, 1)), 0.15);  // both were sent at once; loopback adds little
}

TEST(TestServer, StoppingCutsALongDelayShort) {
    // The delay is far longer than the test's bound, so only the stop can end it in time.
    const auto start = std::chrono::steady_clock::now();
    {
        TestServer server;
        Reply late;
        late.delay = std::chrono::seconds(30);
        server.script("/late", {late});
        RawClient client(server.port());
        client.send("GET /late HTTP/1.1\r\n\r\n");
        while (server.requests().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace tw::test
