// Bad input: each answers a 4xx with an "error" code and stores nothing.

#include "server_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tw::test {
namespace {

namespace fs = std::filesystem;

// Everything the store holds, as the change feed tells it.
nlohmann::json everything(Api& api) {
    return api.get("/api/v1/changes?since=0&limit=5000").json();
}

TEST(ServerBadInput, MalformedRequestsAreRefusedAndChangeNothing) {
    InProcessServer server;
    Api api = server.api();
    std::string folder = api.folder("Pasta")["id"];
    std::string file = api.upload("f.txt", "abc")["id"];
    auto before = everything(api);

    struct Case {
        std::string what;
        std::function<Reply()> send;
        int status;
        std::string error;
    };
    std::vector<Case> cases = {
        {"truncated JSON", [&] { return api.postRaw("/api/v1/nodes", "{\"name\": "); }, 400, "invalid_json"},
        {"JSON array", [&] { return api.postRaw("/api/v1/nodes", "[]"); }, 400, "invalid_json"},
        {"no name", [&] { return api.post("/api/v1/nodes", nlohmann::json::object()); }, 400, "invalid_name"},
        {"name not a string",
         [&] {
             return api.post("/api/v1/nodes", {{"name", 5}});
         },
         400, "invalid_name"},
        {"empty name",
         [&] {
             return api.post("/api/v1/nodes", {{"name", ""}});
         },
         400, "invalid_name"},
        {"dot",
         [&] {
             return api.post("/api/v1/nodes", {{"name", "."}});
         },
         400, "invalid_name"},
        {"dot dot",
         [&] {
             return api.post("/api/v1/nodes", {{"name", ".."}});
         },
         400, "invalid_name"},
        {"slash",
         [&] {
             return api.post("/api/v1/nodes", {{"name", "a/b"}});
         },
         400, "invalid_name"},
        {"NUL",
         [&] {
             return api.post("/api/v1/nodes", {{"name", std::string("a\0b", 3)}});
         },
         400, "invalid_name"},
        {"256 bytes",
         [&] {
             return api.post("/api/v1/nodes", {{"name", std::string(256, 'a')}});
         },
         400, "invalid_name"},
        {"unknown parent",
         [&] {
             return api.post("/api/v1/nodes", {{"name", "x"}, {"parent", "n999"}});
         },
         404, "parent_not_found"},
        {"foreign parent id",
         [&] {
             return api.post("/api/v1/nodes", {{"name", "x"}, {"parent", "abc"}});
         },
         404, "parent_not_found"},
        {"file as parent",
         [&] {
             return api.post("/api/v1/nodes", {{"name", "x"}, {"parent", file}});
         },
         409, "not_a_folder"},
        {"rename to slash",
         [&] {
             return api.patch("/api/v1/nodes/" + folder, {{"name", "a/b"}});
         },
         400, "invalid_name"},
        {"bad If-Match",
         [&] {
             return api.patch("/api/v1/nodes/" + folder, {{"name", "y"}}, {{"If-Match", "x"}});
         },
         400, "invalid_if_match"},
        {"upload named ..", [&] { return api.postBytes("/api/v1/files?name=..&mime=x&conflict=fail", "z"); },
         400, "invalid_name"},
        {"upload name with NUL",
         [&] { return api.postBytes("/api/v1/files?name=a%00b&mime=x&conflict=fail", "z"); }, 400,
         "invalid_name"},
        {"upload name not UTF-8",
         [&] { return api.postBytes("/api/v1/files?name=%FF&mime=x&conflict=fail", "z"); }, 400,
         "invalid_name"},
        {"upload without name", [&] { return api.postBytes("/api/v1/files?mime=x&conflict=fail", "z"); }, 400,
         "invalid_name"},
        {"unknown conflict policy",
         [&] { return api.postBytes("/api/v1/files?name=z&mime=x&conflict=merge", "z"); }, 400,
         "invalid_conflict"},
        {"mime with a newline",
         [&] { return api.postBytes("/api/v1/files?name=z&mime=a%0Ab&conflict=fail", "z"); }, 400,
         "invalid_mime"},
        {"negative size",
         [&] {
             return api.post("/api/v1/uploads", {{"name", "z"}, {"size", -1}});
         },
         400, "invalid_size"},
        {"absurd size",
         [&] {
             return api.post("/api/v1/uploads", {{"name", "z"}, {"size", std::int64_t{1} << 50}});
         },
         400, "invalid_size"},
        {"size as text",
         [&] {
             return api.post("/api/v1/uploads", {{"name", "z"}, {"size", "3"}});
         },
         400, "invalid_size"},
        {"zero part size",
         [&] {
             return api.post("/api/v1/uploads", {{"name", "z"}, {"size", 3}, {"partSize", 0}});
         },
         400, "invalid_part_size"},
        {"listing limit 0", [&] { return api.get("/api/v1/nodes?parent=root&limit=0"); }, 400,
         "invalid_limit"},
        {"unknown route",
         [&] {
             return api.post("/api/v1/nothing", {{"a", 1}});
         },
         404, "not_found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reply reply = c.send();
        EXPECT_EQ(reply.status, c.status) << reply.body;
        EXPECT_EQ(reply.error(), c.error);
    }
    EXPECT_EQ(everything(api), before);
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "tmp"));
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "uploads"));
}

// Sends `head` and `body` on a raw connection, then closes the sending side; returns what came back.
std::string rawExchange(const std::string& base, const std::string& head, const std::string& body) {
    int port = std::stoi(base.substr(base.rfind(':') + 1));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return "";
    }
    std::string request = head + body;
    (void)!write(fd, request.data(), request.size());
    shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        answer.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return answer;
}

TEST(ServerBadInput, ABodyShorterThanAnnouncedStoresNothing) {
    InProcessServer server;
    Api api = server.api();
    std::string head =
        "POST /api/v1/files?name=short.txt&mime=text%2Fplain&conflict=fail HTTP/1.1\r\nHost: x\r\n"
        "Authorization: Bearer " +
        testToken +
        "\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: 100\r\n\r\n";
    std::string answer = rawExchange(server.base(), head, std::string(50, 'a'));
    EXPECT_EQ(answer.rfind("HTTP/1.1 201", 0), std::string::npos) << answer;
    EXPECT_EQ(api.get("/api/v1/nodes?parent=root&limit=500").json()["items"].size(), 0u);
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "tmp"));
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "blobs"));
}

TEST(ServerBadInput, APartShorterThanAnnouncedStoresNothing) {
    InProcessServer server;
    Api api = server.api();
    server.service().partSize = 100;
    std::string id = api.post("/api/v1/uploads", {{"name", "p.bin"}, {"size", 100}}).json()["uploadId"];
    std::string head = "PUT /api/v1/uploads/" + id +
                       "/parts/1 HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + testToken +
                       "\r\nContent-Length: 100\r\n\r\n";
    rawExchange(server.base(), head, std::string(60, 'a'));
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "uploads" / id));
    Reply done = api.postRaw("/api/v1/uploads/" + id + "/complete", "{}");
    EXPECT_EQ(done.status, 400);
    EXPECT_EQ(done.error(), "missing_parts");
}

}  // namespace
}  // namespace tw::test
