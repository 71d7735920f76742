// Bad input: each answers a 4xx with an "error" code and stores nothing.

#include "support/service_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tw::test {
namespace {

namespace fs = std::filesystem;

TEST(ServerBadInput, MalformedRequestsAreRefusedAndChangeNothing) {
    InProcessServer server;
    Api api = server.api();
    std::string folder = "/api/v1/nodes/" + api.folder("Pasta")["id"].get<std::string>();
    std::string file = api.upload("f.txt", "abc")["id"];
    auto before = api.get("/api/v1/changes?since=0&limit=5000").json();
    const std::string nodes = "/api/v1/nodes", files = "/api/v1/files?", uploads = "/api/v1/uploads";
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
    struct Case {
        std::string what;
        ServiceReply reply;  // sent in order while the table is built
        int status;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"truncated JSON", api.postRaw(nodes, "{\"name\": "), 400, "invalid_json"},
        {"JSON array", api.postRaw(nodes, "[]"), 400, "invalid_json"},
        {"JSON nested 100,000 deep", api.postRaw(nodes, "{\"name\": \"x\", \"a\": " + deep + "}"), 400,
         "invalid_json"},
        {"fault rule nested 100,000 deep",
         api.postRaw("/_control/faults", "{\"path\": \"*\", \"status\": 500, \"body\": " + deep + "}"), 400,
         "invalid_json"},
        {"no name", api.post(nodes, nlohmann::json::object()), 400, "invalid_name"},
        {"name not a string", api.post(nodes, {{"name", 5}}), 400, "invalid_name"},
        {"empty name", api.post(nodes, {{"name", ""}}), 400, "invalid_name"},
        {"dot", api.post(nodes, {{"name", "."}}), 400, "invalid_name"},
        {"dot dot", api.post(nodes, {{"name", ".."}}), 400, "invalid_name"},
        {"slash", api.post(nodes, {{"name", "a/b"}}), 400, "invalid_name"},
        {"NUL", api.post(nodes, {{"name", std::string("a\0b", 3)}}), 400, "invalid_name"},
        {"256 bytes", api.post(nodes, {{"name", std::string(256, 'a')}}), 400, "invalid_name"},
        {"unknown parent", api.post(nodes, {{"name", "x"}, {"parent", "n999"}}), 404, "parent_not_found"},
        {"foreign parent id", api.post(nodes, {{"name", "x"}, {"parent", "abc"}}), 404, "parent_not_found"},
        {"file as parent", api.post(nodes, {{"name", "x"}, {"parent", file}}), 409, "not_a_folder"},
        {"rename to slash", api.patch(folder, {{"name", "a/b"}}), 400, "invalid_name"},
        {"bad If-Match", api.patch(folder, {{"name", "y"}}, {{"If-Match", "x"}}), 400, "invalid_if_match"},
        {"upload named ..", api.postBytes(files + "name=..&mime=x&conflict=fail", "z"), 400, "invalid_name"},
        {"upload name with NUL", api.postBytes(files + "name=a%00b&conflict=fail", "z"), 400, "invalid_name"},
        {"upload name not UTF-8", api.postBytes(files + "name=%FF&conflict=fail", "z"), 400, "invalid_name"},
        {"upload without name", api.postBytes(files + "mime=x&conflict=fail", "z"), 400, "invalid_name"},
        {"unknown conflict policy", api.postBytes(files + "name=z&conflict=merge", "z"), 400,
         "invalid_conflict"},
        {"mime with a newline", api.postBytes(files + "name=z&mime=a%0Ab", "z"), 400, "invalid_mime"},
        {"negative size", api.post(uploads, {{"name", "z"}, {"size", -1}}), 400, "invalid_size"},
        {"absurd size", api.post(uploads, {{"name", "z"}, {"size", std::int64_t{1} << 50}}), 400,
         "invalid_size"},
        {"size as text", api.post(uploads, {{"name", "z"}, {"size", "3"}}), 400, "invalid_size"},
        {"zero part size", api.post(uploads, {{"name", "z"}, {"size", 3}, {"partSize", 0}}), 400,
         "invalid_part_size"},
        {"listing limit 0", api.get("/api/v1/nodes?parent=root&limit=0"), 400, "invalid_limit"},
        {"unknown route", api.post("/api/v1/nothing", {{"a", 1}}), 404, "not_found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.reply.status, c.status) << c.reply.body;
        EXPECT_EQ(c.reply.error(), c.error);
    }
    EXPECT_EQ(api.get("/api/v1/changes?since=0&limit=5000").json(), before);
    EXPECT_EQ(api.get("/_control/faults").json()["faults"].size(), 0u);
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "tmp"));
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "uploads"));
}

// Sends `head` and `body` on a raw connection, then closes the sending side; returns what came back.
std::string rawExchange(const std::string& base, const std::string& head, const std::string& body) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(base.substr(base.rfind(':') + 1))));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string request = head + body, answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        (void)!write(fd, request.data(), request.size());
        shutdown(fd, SHUT_WR);
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return answer;
}

TEST(ServerBadInput, ABodyShorterThanAnnouncedStoresNothing) {
    InProcessServer server;
    Api api = server.api();
    const std::string auth =
        "Host: x\r\nAuthorization: Bearer " + testToken + "\r\nContent-Length: 100\r\n\r\n";
    std::string answer =
        rawExchange(server.base(), "POST /api/v1/files?name=short.txt&conflict=fail HTTP/1.1\r\n" + auth,
                    std::string(50, 'a'));
    EXPECT_EQ(answer.rfind("HTTP/1.1 201", 0), std::string::npos) << answer;
    EXPECT_EQ(api.get("/api/v1/nodes?parent=root&limit=500").json()["items"].size(), 0u);
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "tmp"));
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "blobs"));

    // The same for one part of an upload.
    server.service().partSize = 100;
    std::string id = api.post("/api/v1/uploads", {{"name", "p.bin"}, {"size", 100}}).json()["uploadId"];
    rawExchange(server.base(), "PUT /api/v1/uploads/" + id + "/parts/1 HTTP/1.1\r\n" + auth,
                std::string(60, 'a'));
    EXPECT_EQ(api.postRaw("/api/v1/uploads/" + id + "/complete", "{}").error(), "missing_parts");
}

}  // namespace
}  // namespace tw::test
