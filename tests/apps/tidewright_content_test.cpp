// tidewright put, get, read and cat end to end against tidewright-server: every byte arrives, the read-ahead
// keeps the requests few, and the service's faults end in an error with no file left behind.
#include "cli_fixture.h"

namespace tw::test {
namespace {

class ContentCli : public CliTest {
protected:
    std::size_t delivered() const {  // files in the cache folder
        std::error_code ignored;
        std::size_t count = 0;
        for (std::filesystem::recursive_directory_iterator it(cache, ignored), end; it != end; ++it)
            count += it->is_regular_file() ? 1 : 0;
        return count;
    }
    // Counts the requests matching METHOD PATH from now on (a fault rule without effect).
    void count(const std::string& method, const std::string& path) {
        ASSERT_EQ(api.post("/_control/faults", {{"method", method}, {"path", path}, {"times", -1}}).status,
                  201);
    }
    std::int64_t hits(std::size_t rule) {
        return api.get("/_control/faults").json()["faults"][rule]["hits"].get<std::int64_t>();
    }
};

TEST_F(ContentCli, PutThenGetOrCatGivesBackEveryByteDirectlyAndInPartsAndGetReplacesOnlyWithForce) {
    const auto folder = itemFrom({"mkdir", "root", "Envios"});
    for (const std::size_t size : {std::size_t{0}, std::size_t{8388608}, std::size_t{8388609}}) {
        SCOPED_TRACE(size);
        const auto file = dir.path() / ("local-" + std::to_string(size));
        const std::string bytes = writePattern(file, size, static_cast<unsigned>(size));
        const auto item =
            itemFrom({"put", folder["id"], file.string(), "--name", "f" + std::to_string(size)});
        EXPECT_EQ(item["parent"], folder["id"]);
        EXPECT_EQ(item["size"], size);
        const Outcome got = tidewright({"--json", "get", item["id"], (dir.path() / "back").string()});
        ASSERT_EQ(got.status, 0) << got.err;
        ASSERT_EQ(got.lines.size(), 1u);
        EXPECT_EQ(got.line()["size"], size);
        EXPECT_TRUE(fileText(dir.path() / "back") == bytes);
        EXPECT_EQ(got.err, "");  // no progress bar: stderr is not a terminal
        std::filesystem::remove(dir.path() / "back");
    }

    // A hundred MiB goes up in parts and comes back through cat in thirty range requests.
    const std::string bytes = writePattern(dir.path() / "big", std::size_t{100} << 20, 7);
    const std::string id = itemFrom({"put", "root", (dir.path() / "big").string()})["id"];
    count("GET", "/blobs/*");
    const Outcome cat = tidewright({"cat", id}, " > '" + (dir.path() / "out").string() + "'");
    ASSERT_EQ(cat.status, 0) << cat.err;
    EXPECT_TRUE(fileText(dir.path() / "out") == bytes);
    // Chunks of 256 KiB and 1 MiB in one request each, then 2, 4, 8, 16, 32, 32 MiB and the last 4.75 MiB
    // in four pieces each.
    EXPECT_EQ(hits(0), 1 + 1 + 4 * 7);
    EXPECT_EQ(delivered(), 0u);  // each delivered file deleted once written out
    // A reader that stops early closes the pipe: cat ends quietly, and what it had fetched ahead is deleted.
    const Outcome closed = tidewright({"cat", id}, " | head -c 100 > /dev/null; exit ${PIPESTATUS[0]}");
    EXPECT_EQ(closed.status, 0);
    EXPECT_EQ(closed.err, "");
    EXPECT_EQ(delivered(), 0u);

    const std::string small = api.upload("small", "new bytes")["id"];
    const auto existing = dir.path() / "existing";
    std::ofstream(existing) << "old";
    const Outcome refused = tidewright({"get", small, existing.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("exists (--force replaces it)"), std::string::npos) << refused.err;
    EXPECT_EQ(fileText(existing), "old");
    EXPECT_EQ(delivered(), 0u);  // nothing was fetched
    EXPECT_EQ(tidewright({"get", "--force", small, existing.string()}).status, 0);
    EXPECT_EQ(fileText(existing), "new bytes");
}

TEST_F(ContentCli, ServiceFaultsEndInAnErrorAndLeaveNoFile) {
    const std::string id = api.upload("f", writePattern(dir.path() / "f", 300'000, 3))["id"];
    const auto cut = (dir.path() / "cut").string();
    for (const auto& [rule, args] : std::vector<std::pair<json, std::vector<std::string>>>{
             {{{"path", "/blobs/*"}, {"cutAfter", 1000}}, {"get", id, cut}},
             {{{"path", "/blobs/*"}, {"shortBy", 10}}, {"read", id, "0", "1000"}},
             {{{"path", "/blobs/*"}, {"ignoreRange", true}}, {"read", id, "0", "1000"}},
             {{{"path", "/blobs/*"}, {"cutAfter", 1000}}, {"cat", id}},
         }) {
        SCOPED_TRACE(rule.dump());
        ASSERT_EQ(api.post("/_control/faults", rule).status, 201);
        const Outcome failed = tidewright(args, " > /dev/null");
        EXPECT_EQ(failed.status, 1);
        EXPECT_NE(failed.err.find("error: "), std::string::npos);
        EXPECT_EQ(delivered(), 0u);
        EXPECT_FALSE(std::filesystem::exists(cut));
        api.del("/_control/faults");
    }
}

TEST_F(ContentCli, ExpiredAddressIsOpenedAgainOnce) {
    const std::string id = api.upload("f", "0123456789")["id"];
    ASSERT_EQ(api.post("/_control/settings", {{"openTtlMs", 0}}).status, 200);
    count("POST", "/api/v1/nodes/*/open");
    EXPECT_EQ(tidewright({"read", id, "0", "10"}).status, 1);
    EXPECT_EQ(hits(0), 2);

    ASSERT_EQ(api.post("/_control/settings", {{"openTtlMs", 900'000}}).status, 200);
    const Outcome read = tidewright({"--json", "read", id, "2", "3"});
    ASSERT_EQ(read.status, 0) << read.err;
    ASSERT_EQ(read.lines.size(), 2u);
    EXPECT_EQ(read.line(1)["offset"], 2);
    EXPECT_EQ(read.line(1)["length"], 8);
    EXPECT_EQ(fileText(read.line(1)["file"].get<std::string>()).substr(2), "23456789");
}

}  // namespace
}  // namespace tw::test
