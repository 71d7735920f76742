// The service on a machine shared with other users: abandoned uploads expire, connections stay apart,
// slow clients cannot hold it.

#include "support/elapsed.h"
#include "support/service_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tw::test {
namespace {

namespace fs = std::filesystem;

TEST(ServerUploadExpiry, AbandonedUploadsExpireAtStartAndWhileRunningWithTheirParts) {
    TempDir dir;
    auto options = InProcessServer::testOptions();
    options.dataDir = dir.path() / "data";
    auto start = [](Api& api) {
        std::string id = api.post("/api/v1/uploads", {{"name", "big.bin"}, {"size", 4}}).json()["uploadId"];
        EXPECT_EQ(api.put("/api/v1/uploads/" + id + "/parts/1", "abcd").status, 200);
        return id;
    };
    std::string old;
    {
        InProcessServer server(options);
        Api api = server.api();
        old = start(api);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    options.uploadTtlMs = 250;
    InProcessServer server(options);
    Api api = server.api();
    EXPECT_EQ(api.postEmpty("/api/v1/uploads/" + old + "/complete").status, 404) << "expired at start";

    auto began = std::chrono::steady_clock::now();
    std::string fresh = start(api);
    while (api.put("/api/v1/uploads/" + fresh + "/parts/1", "abcd").status == 200 && secondsSince(began) < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(secondsSince(began), 0.25);
    EXPECT_LT(secondsSince(began), 0.8);
    EXPECT_EQ(api.postEmpty("/api/v1/uploads/" + fresh + "/complete").status, 404);
    while (!fs::is_empty(server.dataDir() / "uploads") && secondsSince(began) < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // parts go right after the record
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "uploads"));
}

// A TCP connection to `base` from address `from` (port 0 picks one) on the loopback network.
struct RawConnection {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    explicit RawConnection(const char* from, int fromPort = 0) {
        sockaddr_in local{AF_INET, htons(static_cast<std::uint16_t>(fromPort)), {}, {}};
        inet_pton(AF_INET, from, &local.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    ~RawConnection() { close(fd); }
    int port() const {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
        return ntohs(local.sin_port);
    }
    bool connectTo(const std::string& base, const std::string& firstBytes) {
        auto port = static_cast<std::uint16_t>(std::stoi(base.substr(base.rfind(':') + 1)));
        sockaddr_in server{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) return false;
        send(firstBytes);
        return true;
    }
    void send(const std::string& text) { (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // What arrives within `seconds`, until `wanted` bytes or until the peer closes (`closed` says so).
    std::string receive(double seconds, std::size_t wanted, bool* closed = nullptr) {
        std::string got;
        char buffer[65536];
        for (auto began = std::chrono::steady_clock::now();
             got.size() < wanted && secondsSince(began) < seconds;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (closed) *closed = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
};

TEST(ServerConnections, ADownloadGoesToItsOwnConnectionNotToOneWithTheSamePortFromAnotherAddress) {
    InProcessServer server;
    Api api = server.api();
    const std::string content(1 << 20, 'c');
    std::string id = api.upload("f.bin", content)["id"];
    std::string url = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];

    RawConnection victim("127.0.0.1");
    RawConnection intruder("127.0.0.2", victim.port());  // accepted first, so its socket is listed first
    ASSERT_TRUE(intruder.connectTo(server.base(), "GET /api/v1/trash HTTP/1.1\r\nHo"));
    ASSERT_TRUE(victim.connectTo(server.base(), "GET " + url + " HTTP/1.1\r\nConnection: close\r\n\r\n"));
    std::string reply = victim.receive(3, SIZE_MAX);
    auto body = reply.find("\r\n\r\n") + 4;
    EXPECT_EQ(reply.size() - body, content.size());
    EXPECT_EQ(reply.find_first_not_of('c', body), std::string::npos);
    EXPECT_EQ(intruder.receive(0.2, 1).size(), 0u);
}

TEST(ServerConnections, ClientsTricklingTheirHeadsHoldNoThreadAndAreClosedAtTheDeadline) {
    auto options = InProcessServer::testOptions();
    options.threads = server::Options{}.threads;
    // A deadline well beyond the trickling: a service whose threads the trickling clients hold answers
    // only when the deadline closes them, seconds later. Bounds are loose for slow (sanitizer) builds.
    options.headTimeoutMs = 3000;
    InProcessServer server(options);
    Api api = server.api();
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 100; ++i) {
        slow.push_back(std::make_unique<RawConnection>("127.0.0.1"));
        ASSERT_TRUE(slow.back()->connectTo(server.base(), "GET /api/v1/trash HTTP/1.1\r\n"));
    }
    auto began = std::chrono::steady_clock::now();
    for (int step = 0; step < 8; ++step) {
        for (auto& connection : slow)
            connection->send("X");
        auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(api.get("/api/v1/trash").status, 200);
        EXPECT_LT(secondsSince(asked), 1.5) << "while 100 clients trickle";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    int closed = 0;
    for (auto& connection : slow) {
        bool ended = false;
        connection->receive(std::max(0.0, 8.0 - secondsSince(began)), 1, &ended);
        closed += ended;
    }
    EXPECT_EQ(closed, 100);
    EXPECT_GE(secondsSince(began), 2.9);
    EXPECT_LT(secondsSince(began), 8.0);

    // Only heads have the deadline: a reply that pauses for longer arrives whole.
    std::string id = api.upload("f.bin", std::string(5000, 'x'))["id"];
    std::string url = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];
    ASSERT_EQ(
        api.post("/_control/faults", {{"path", "/blobs/*"}, {"stallMs", 1500}, {"stallAfter", 10}}).status,
        201);
    EXPECT_EQ(api.get(url).body.size(), 5000u);
}

}  // namespace
}  // namespace tw::test
