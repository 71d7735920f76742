// The service on a machine shared with other users: private data, expiry of abandoned uploads.

#include "server/sqlite.h"
#include "support/elapsed.h"
#include "support/service_fixture.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace tw::test {
namespace {

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ServerPrivateData, FolderAndFilesAreTheOwnersWhateverTheUmaskAndTokensAreStoredHashed) {
    TempDir dir;
    auto options = InProcessServer::testOptions();
    options.dataDir = dir.path() / "data";
    options.pairingSecret = "s";
    auto stored = [&] {
        return bytesOf(options.dataDir / "tidewright.db") + bytesOf(options.dataDir / "tidewright.db-wal");
    };
    std::string deviceToken, linkToken;
    mode_t umaskBefore = ::umask(022);
    {
        InProcessServer server(options);
        Api api = server.api();
        std::string id = api.upload("a.txt", "abc")["id"];
        server.api().post("/api/v1/uploads", {{"name", "big"}, {"size", 10}});
        linkToken = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"].get<std::string>().substr(7);
        deviceToken = Api(server.base(), "")
                          .post("/api/v1/auth/device", {{"secret", "s"}, {"name", "M"}, {"kind", "k"}})
                          .json()["token"];
        ASSERT_EQ(Api(server.base(), deviceToken).get("/blobs/" + linkToken).body, "abc");
        struct stat info {};
        ASSERT_EQ(::stat(options.dataDir.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u);
        int files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(options.dataDir)) {
            SCOPED_TRACE(entry.path().string());
            ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, entry.is_directory() ? 0700u : 0600u);
            files += entry.is_regular_file();
        }
        EXPECT_GE(files, 5) << "lock, database, WAL, shared memory, content";
        EXPECT_EQ(stored().find(deviceToken), std::string::npos);
        EXPECT_EQ(stored().find(linkToken), std::string::npos);
    }
    ::umask(umaskBefore);

    // A database from before the tokens were hashed: hashed in place at start, and the tokens still work.
    {
        server::Database db((options.dataDir / "tidewright.db").string());
        db.exec("UPDATE devices SET token = '" + deviceToken + "'; UPDATE links SET token = '" + linkToken +
                "'; DELETE FROM meta WHERE key = 'token_format'");
    }
    ASSERT_NE(stored().find(deviceToken), std::string::npos);
    {
        InProcessServer server(options);
        EXPECT_EQ(Api(server.base(), deviceToken).get("/api/v1/trash").status, 200);
        EXPECT_EQ(Api(server.base(), deviceToken).get("/blobs/" + linkToken).body, "abc");
    }
    EXPECT_EQ(stored().find(deviceToken), std::string::npos);

    // A data folder that others can write is refused.
    fs::permissions(options.dataDir, fs::perms::group_write, fs::perm_options::add);
    EXPECT_THROW(InProcessServer{options}, server::StartupError);
}

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
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "uploads"));
}

}  // namespace
}  // namespace tw::test
