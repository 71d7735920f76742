// Bad input refused with nothing stored; abandoned uploads expire; connections stay apart; slow clients wait.

#include "server_helpers.h"

#include <chrono>
#include <thread>

namespace tw::test {
namespace {

TEST_F(LocalService, MalformedOrShortRequestsAreRefusedAndChangeNothing) {
    std::string folder = nodeAt(api.folder("Pasta")["id"]), file = api.upload("f.txt", "abc")["id"];
    auto before = api.get("/api/v1/changes?since=0&limit=5000").json();
    const std::string nodes = "/api/v1/nodes", files = "/api/v1/files?", uploads = "/api/v1/uploads";
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');  // nested 100,000 deep
    for (const std::string& name : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                    std::string("a\0b", 3), std::string(256, 'a')})
        EXPECT_EQ(said(api.post(nodes, {{"name", name}})), "400 invalid_name") << name;
    EXPECT_EQ(said(api.postRaw(nodes, "{\"name\": ")), "400 invalid_json");
    EXPECT_EQ(said(api.postRaw(nodes, "{\"name\": \"x\", \"a\": " + deep + "}")), "400 invalid_json");
    EXPECT_EQ(said(api.post(nodes, Json::object())), "400 invalid_name");
    EXPECT_EQ(said(api.post(nodes, {{"name", 5}})), "400 invalid_name");
    EXPECT_EQ(said(api.post(nodes, {{"name", "x"}, {"parent", "n999"}})), "404 parent_not_found");
    EXPECT_EQ(said(api.post(nodes, {{"name", "x"}, {"parent", "abc"}})), "404 parent_not_found");
    EXPECT_EQ(said(api.post(nodes, {{"name", "x"}, {"parent", file}})), "409 not_a_folder");
    EXPECT_EQ(said(api.patch(folder, {{"name", "a/b"}})), "400 invalid_name");
    EXPECT_EQ(said(api.patch(folder, {{"name", "y"}}, {{"If-Match", "x"}})), "400 invalid_if_match");
    EXPECT_EQ(said(api.postBytes(files + "name=%FF&conflict=fail", "z")), "400 invalid_name");  // not UTF-8
    EXPECT_EQ(said(api.postBytes(files + "mime=x&conflict=fail", "z")), "400 invalid_name");
    EXPECT_EQ(said(api.postBytes(files + "name=z&conflict=merge", "z")), "400 invalid_conflict");
    EXPECT_EQ(said(api.postBytes(files + "name=z&mime=a%0Ab", "z")), "400 invalid_mime");
    EXPECT_EQ(said(api.post(uploads, {{"name", "z"}, {"size", -1}})), "400 invalid_size");
    EXPECT_EQ(said(api.post(uploads, {{"name", "z"}, {"size", std::int64_t{1} << 50}})), "400 invalid_size");
    EXPECT_EQ(said(api.post(uploads, {{"name", "z"}, {"size", "3"}})), "400 invalid_size");
    EXPECT_EQ(said(api.post(uploads, {{"name", "z"}, {"size", 3}, {"partSize", 0}})),
              "400 invalid_part_size");
    EXPECT_EQ(said(api.get("/api/v1/nodes?parent=root&limit=0")), "400 invalid_limit");
    EXPECT_EQ(said(api.post("/api/v1/nothing", {{"a", 1}})), "404 not_found");

    // A body shorter than announced stores nothing, nor does a part of an upload.
    auto sendShort = [&](const std::string& line, std::size_t bytes) {
        RawConnection connection("127.0.0.1");
        connection.connectTo(server.base(), line + " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                                                testToken + "\r\nContent-Length: 100\r\n\r\n" +
                                                std::string(bytes, 'a'));
        shutdown(connection.fd, SHUT_WR);
        return connection.receive(5, SIZE_MAX);
    };
    std::string answer = sendShort("POST " + files + "name=short.txt&conflict=fail", 50);
    EXPECT_EQ(answer.rfind("HTTP/1.1 201", 0), std::string::npos) << answer;

    EXPECT_EQ(api.get("/api/v1/changes?since=0&limit=5000").json(), before);
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "tmp"));
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "uploads"));
    EXPECT_EQ(std::distance(fs::directory_iterator(server.dataDir() / "blobs"), {}), 1) << "f.txt's alone";
    server.service().partSize = 100;
    std::string id = api.post(uploads, {{"name", "p.bin"}, {"size", 100}}).json()["uploadId"];
    sendShort("PUT " + uploads + "/" + id + "/parts/1", 60);
    EXPECT_EQ(api.postRaw(uploads + "/" + id + "/complete", "{}").error(), "missing_parts");
}

TEST(ServerUploadExpiry, AbandonedUploadsExpireAtStartAndWhileRunningWithTheirParts) {
    TempDir dir;
    auto options = InProcessServer::testOptions();
    options.dataDir = dir.path() / "data";
    auto start = [](Api&& api) {
        std::string id = api.post("/api/v1/uploads", {{"name", "big.bin"}, {"size", 4}}).json()["uploadId"];
        EXPECT_EQ(api.put("/api/v1/uploads/" + id + "/parts/1", "abcd").status, 200);
        return id;
    };
    std::string old = start(InProcessServer(options).api());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    options.uploadTtlMs = 250;
    InProcessServer server(options);
    Api api = server.api();
    EXPECT_EQ(api.postEmpty("/api/v1/uploads/" + old + "/complete").status, 404) << "expired at start";

    auto began = std::chrono::steady_clock::now();
    std::string fresh = start(server.api());
    waitUntil(3, [&] { return api.put("/api/v1/uploads/" + fresh + "/parts/1", "abcd").status != 200; });
    EXPECT_GE(secondsSince(began), 0.25);
    EXPECT_LT(secondsSince(began), 0.8);
    // The parts go right after the record.
    EXPECT_TRUE(waitUntil(3, [&] { return fs::is_empty(server.dataDir() / "uploads"); }));
}

TEST(ServerConnections, DownloadsKeepToTheirConnectionsAndTricklingClientsHoldNoThread) {
    auto options = InProcessServer::testOptions();
    options.threads = server::Options{}.threads;
    // A deadline well beyond the trickling: a service whose threads the trickling clients hold answers
    // only when the deadline closes them, seconds later. Bounds are loose for slow (sanitizer) builds.
    options.headTimeoutMs = 3000;
    InProcessServer server(options);
    Api api = server.api();
    // First: a download goes to its own connection, not to one with the same port from another address.
    const std::string content(1 << 20, 'c');
    std::string url = openUrl(api, api.upload("f.bin", content)["id"]);
    RawConnection victim("127.0.0.1");
    RawConnection intruder("127.0.0.2", victim.port());  // accepted first, so its socket is listed first
    ASSERT_TRUE(intruder.connectTo(server.base(), "GET /api/v1/trash HTTP/1.1\r\nHo"));
    ASSERT_TRUE(victim.connectTo(server.base(), "GET " + url + " HTTP/1.1\r\nConnection: close\r\n\r\n"));
    std::string reply = victim.receive(3, SIZE_MAX);
    auto body = reply.find("\r\n\r\n") + 4;
    EXPECT_EQ(reply.size() - body, content.size());
    EXPECT_EQ(reply.find_first_not_of('c', body), std::string::npos);
    EXPECT_EQ(intruder.receive(0.2, 1).size(), 0u);

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
    ASSERT_EQ(
        api.post("/_control/faults", {{"path", "/blobs/*"}, {"stallMs", 1500}, {"stallAfter", 10}}).status,
        201);
    EXPECT_EQ(api.get(url).body.size(), content.size());
}

}  // namespace
}  // namespace tw::test
