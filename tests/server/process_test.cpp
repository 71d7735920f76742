// tidewright-server as a process: the first line of output, persistence across a restart, bad arguments.

#include "server/sqlite.h"
#include "server_helpers.h"

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>

namespace tw::test {
namespace {

const std::string binary = TW_SERVER_BINARY;

TEST(ServerProcess, KeepsEverythingAcrossARestartAndHasNoFaultControlByDefault) {
    TempDir dir;
    std::string data = (dir.path() / "data").string();
    std::string secretFile = (dir.path() / "secret").string(), tokenFile = (dir.path() / "tokens").string();
    std::ofstream(secretFile) << "pairing-secret\n";
    std::ofstream(tokenFile) << "t0\n\nt1\r\n";
    std::vector<std::string> argv = {binary,         "--data",  data,
                                     "--token-file", tokenFile, "--pairing-secret-file",
                                     secretFile,     "--seed",  "demo"};
    std::string deviceToken, link;
    Json before;
    // Whatever the umask, the data is the owner's alone; tokens are stored only as hashes.
    mode_t umaskBefore = ::umask(022);
    auto stored = [&] { return fileText(data + "/tidewright.db") + fileText(data + "/tidewright.db-wal"); };
    {
        ChildProcess server(argv);
        ::umask(umaskBefore);
        auto base = server.readLine();
        ASSERT_TRUE(base) << server.stderrText();
        EXPECT_TRUE(std::regex_match(*base, std::regex(R"(http://127\.0\.0\.1:[0-9]+)"))) << *base;
        Api api(*base, "t1");
        api.folder("Nova pasta");
        Json pairing = {{"secret", "pairing-secret"}, {"name", "Mac"}, {"kind", "macos"}};
        deviceToken = Api(*base, "").post("/api/v1/auth/device", pairing).json()["token"];
        before = api.get("/api/v1/changes?since=0&limit=5000").json();
        EXPECT_EQ(api.get("/api/v1/trash").json()["items"].size(), 1u) << "the demo has one trashed file";
        EXPECT_EQ(api.post("/_control/faults", {{"path", "*"}, {"status", 503}}).status, 404)
            << "for tests only";
        for (const auto& node : before["changes"])
            if (link.empty() && node["kind"] == "file" && node["deleted"] == false)
                link = openUrl(api, node["id"]);
        const auto file = fs::perms::owner_read | fs::perms::owner_write;
        for (const auto& entry : fs::recursive_directory_iterator(data))
            EXPECT_EQ(fs::status(entry).permissions(), entry.is_directory() ? fs::perms::owner_all : file)
                << entry;
        EXPECT_EQ(fs::status(data).permissions(), fs::perms::owner_all);
        EXPECT_EQ(stored().find(deviceToken), std::string::npos);
        EXPECT_EQ(stored().find(link.substr(7)), std::string::npos);
        server.signal(SIGTERM);
        EXPECT_EQ(server.wait(), 0);
    }
    // A database from before tokens were hashed is hashed in place at start; its tokens keep working.
    server::Database(data + "/tidewright.db")
        .exec("UPDATE devices SET token = '" + deviceToken + "'; UPDATE links SET token = '" +
              link.substr(7) + "'; DELETE FROM meta WHERE key = 'token_format'");
    ChildProcess server(argv);  // --seed demo again: the space is not empty, so nothing is added
    auto base = server.readLine();
    ASSERT_TRUE(base) << server.stderrText();
    Api api(*base, deviceToken);
    EXPECT_EQ(Api(*base, "").get(link).status, 200);
    EXPECT_EQ(stored().find(deviceToken), std::string::npos);
    EXPECT_EQ(api.get("/api/v1/changes?since=0&limit=5000").json(), before);
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(), 0);
}

TEST(ServerProcess, BadStartsExitWithStatus2AndOneLine) {
    TempDir dir;
    std::string file = (dir.path() / "plain-file").string(), data = (dir.path() / "data").string();
    std::ofstream(file) << "x";
    std::ofstream(file + ".empty") << "\n \n";
    std::string open = (dir.path() / "open").string();
    fs::create_directory(open);
    fs::permissions(open, fs::perms::all);
    RawConnection holder("127.0.0.1");  // holds a port, so that it is taken
    ASSERT_EQ(listen(holder.fd, 1), 0);
    std::string busy = "127.0.0.1:" + std::to_string(holder.port());

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
             {"data folder others can write", {binary, "--data", open}},
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
}

}  // namespace
}  // namespace tw::test
