// Opening files and downloading them: whole, by range, past the end, after expiry, after a replace.

#include "server_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tw::test {
namespace {

TEST(ServerDownload, OpenAnswersTheNodeKeysWithAUrlAndAnExpiry) {
    InProcessServer server;
    Api api = server.api();
    auto node = api.upload("a.txt", "0123456789");
    Reply opened = api.postEmpty("/api/v1/nodes/" + node["id"].get<std::string>() + "/open");
    ASSERT_EQ(opened.status, 200);
    auto json = opened.json();
    EXPECT_EQ(json["id"], node["id"]);
    EXPECT_EQ(json["size"], 10);
    EXPECT_EQ(json["version"], node["version"]);
    EXPECT_EQ(json["url"].get<std::string>().rfind("/blobs/", 0), 0u);
    EXPECT_GT(json["expiresAt"].get<std::int64_t>(), json["updatedAt"].get<std::int64_t>());

    std::string folder = api.folder("F")["id"];
    EXPECT_EQ(api.postEmpty("/api/v1/nodes/" + folder + "/open").status, 409);
    EXPECT_EQ(api.postEmpty("/api/v1/nodes/n404/open").status, 404);
}

TEST(ServerDownload, ServesTheWholeFileOrOneRange) {
    InProcessServer server;
    Api api = server.api();
    std::string id = api.upload("digits.txt", "0123456789")["id"];
    std::string url = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];
    Api anonymous(server.base(), "");

    Reply whole = anonymous.get(url);
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, "0123456789");
    EXPECT_EQ(whole.header("Content-Type"), "text/plain");

    struct Case {
        std::string range;
        int status;
        std::string body;
        std::string contentRange;
    };
    for (const auto& c : std::vector<Case>{{"bytes=2-5", 206, "2345", "bytes 2-5/10"},
                                           {"bytes=7-", 206, "789", "bytes 7-9/10"},
                                           {"bytes=8-100", 206, "89", "bytes 8-9/10"},
                                           {"bytes=-3", 206, "789", "bytes 7-9/10"},
                                           {"bytes=9-9", 206, "9", "bytes 9-9/10"},
                                           {"bytes=10-12", 416, "", "bytes */10"},
                                           {"bytes=0-1,4-5", 200, "0123456789", ""}}) {
        SCOPED_TRACE(c.range);
        Reply reply = anonymous.get(url, {{"Range", c.range}});
        EXPECT_EQ(reply.status, c.status);
        if (c.status != 416) {
            EXPECT_EQ(reply.body, c.body);
        }
        EXPECT_EQ(reply.header("Content-Range"), c.contentRange);
    }
}

TEST(ServerDownload, ALargeFileStreamsIntactAcrossReadChunks) {
    InProcessServer server;
    Api api = server.api();
    std::string bytes(3 * 1048576 + 17, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7919) % 251);
    std::string id = api.upload("big.bin", bytes)["id"];
    EXPECT_TRUE(api.download(id) == bytes);

    std::string url = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];
    Reply piece = Api(server.base(), "").get(url, {{"Range", "bytes=1048570-2097160"}});
    ASSERT_EQ(piece.status, 206);
    EXPECT_TRUE(piece.body == bytes.substr(1048570, 2097160 - 1048570 + 1));
}

// Reads one reply with a Content-Length from a raw connection; "" when the connection ends first.
std::string readReply(int fd) {
    std::string data;
    char buffer[65536];
    for (;;) {
        auto headEnd = data.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            auto at = data.find("Content-Length: ");
            std::size_t length = at == std::string::npos ? 0 : std::stoul(data.substr(at + 16));
            if (data.size() >= headEnd + 4 + length) return data.substr(0, headEnd + 4 + length);
        }
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return "";
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

TEST(ServerDownload, TheConnectionServesAnotherRequestAfterADownload) {
    InProcessServer server;
    Api api = server.api();
    std::string bytes(2 * 1048576, 'z');
    std::string id = api.upload("big.bin", bytes)["id"];
    std::string url = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];

    int port = std::stoi(server.base().substr(server.base().rfind(':') + 1));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string request = "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        std::string reply = readReply(fd);
        EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u);
        EXPECT_EQ(reply.size() - reply.find("\r\n\r\n") - 4, bytes.size());
    }
    close(fd);
}

TEST(ServerDownload, AnExpiredAddressAnswers403) {
    InProcessServer server;
    Api api = server.api();
    std::string id = api.upload("a.txt", "abc")["id"];
    server.service().openTtlMs = 0;
    auto opened = api.postEmpty("/api/v1/nodes/" + id + "/open").json();
    Reply expired = Api(server.base(), "").get(opened["url"], {{"Range", "bytes=0-1"}});
    EXPECT_EQ(expired.status, 403);
    EXPECT_EQ(expired.error(), "link_expired");

    server.service().openTtlMs = 60'000;
    std::string fresh = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];
    EXPECT_EQ(Api(server.base(), "").get(fresh).status, 200);
    EXPECT_EQ(Api(server.base(), "").get("/blobs/0123456789abcdef").status, 404);
}

TEST(ServerDownload, AnAddressOfReplacedContentAnswers404) {
    InProcessServer server;
    Api api = server.api();
    std::string id = api.upload("a.txt", "old")["id"];
    std::string url = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];
    Reply replaced =
        api.postBytes("/api/v1/files?name=a.txt&mime=text%2Fplain&conflict=fail&replace=" + id, "new");
    ASSERT_EQ(replaced.status, 200);
    EXPECT_EQ(Api(server.base(), "").get(url).status, 404);
}

}  // namespace
}  // namespace tw::test
