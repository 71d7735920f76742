// tidewright-server as a process: the first line of output, persistence across a restart, bad arguments.

#include "support/service_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace tw::test {
namespace {

const std::string binary = TW_SERVER_BINARY;

TEST(ServerProcess, KeepsEverythingAcrossARestart) {
    TempDir dir;
    std::string data = (dir.path() / "data").string();
    std::string secretFile = (dir.path() / "secret").string(), tokenFile = (dir.path() / "tokens").string();
    std::ofstream(secretFile) << "pairing-secret\n";
    std::ofstream(tokenFile) << "t0\n\nt1\r\n";
    std::vector<std::string> argv = {binary,         "--data",  data,
                                     "--token-file", tokenFile, "--pairing-secret-file",
                                     secretFile,     "--seed",  "demo"};

    std::string deviceToken, folderId;
    nlohmann::json before;
    {
        ChildProcess server(argv);
        auto base = server.readLine();
        ASSERT_TRUE(base) << server.stderrText();
        EXPECT_TRUE(std::regex_match(*base, std::regex(R"(http://127\.0\.0\.1:[0-9]+)"))) << *base;
        Api api(*base, "t1");
        folderId = api.folder("Nova pasta")["id"];
        deviceToken = Api(*base, "")
                          .post("/api/v1/auth/device",
                                {{"secret", "pairing-secret"}, {"name", "Mac"}, {"kind", "macos"}})
                          .json()["token"];
        before = api.get("/api/v1/changes?since=0&limit=5000").json();
        EXPECT_EQ(api.get("/api/v1/trash").json()["items"].size(), 1u) << "the demo has one trashed file";
        server.signal(SIGTERM);
        EXPECT_EQ(server.wait(), 0);
    }
    {
        ChildProcess server(argv);  // --seed demo again: the space is not empty, so nothing is added
        auto base = server.readLine();
        ASSERT_TRUE(base) << server.stderrText();
        Api api(*base, deviceToken);
        EXPECT_EQ(api.get("/api/v1/changes?since=0&limit=5000").json(), before);
        EXPECT_EQ(api.get("/api/v1/nodes/" + folderId).status, 200);
        // Contents survive too: the demo's big file downloads whole.
        for (const auto& node : before["changes"]) {
            if (node["name"] == "Apresentação final.mp4") {
                EXPECT_EQ(api.download(node["id"]).size(), node["size"].get<std::size_t>());
            }
        }
        server.signal(SIGINT);
        EXPECT_EQ(server.wait(), 0);
    }
}

TEST(ServerProcess, BadStartsExitWithStatus2AndOneLine) {
    TempDir dir;
    std::string file = (dir.path() / "plain-file").string();
    std::ofstream(file) << "x";
    // A port that is taken: bind one and keep it.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t size = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
    std::string busy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    std::string data = (dir.path() / "data").string();
    std::ofstream(file + ".empty") << "\n \n";

    struct Case {
        std::string what;
        std::vector<std::string> argv;
    };
    for (const auto& c : std::vector<Case>{
             {"no --data", {binary}},
             {"unknown option", {binary, "--data", data, "--frobnicate"}},
             {"bad --listen", {binary, "--data", data, "--listen", "nowhere"}},
             {"bad --seed", {binary, "--data", data, "--seed", "lots"}},
             {"data is a file", {binary, "--data", file}},
             {"missing secret file", {binary, "--data", data, "--pairing-secret-file", file + ".missing"}},
             {"missing token file", {binary, "--data", data, "--token-file", file + ".missing"}},
             {"token file without a token", {binary, "--data", data, "--token-file", file + ".empty"}},
             {"data path with control characters", {binary, "--data", file + "/a\nb\x1b[2J\r"}},
             {"busy port", {binary, "--data", data, "--listen", busy}}}) {
        SCOPED_TRACE(c.what);
        ChildProcess server(c.argv);
        EXPECT_EQ(server.wait(), 2);
        std::string text = server.stderrText();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_EQ(text.find_first_of("\r\x1b"), std::string::npos) << text;
        EXPECT_FALSE(server.readLine(0.1)) << "nothing on standard output";
    }
    close(holder);
}

}  // namespace
}  // namespace tw::test
