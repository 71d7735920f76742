// tidewright get, read and cat end to end against tidewright-server: every byte arrives, the read-ahead
// keeps the requests few, and the service's faults end in an error with no file left behind.
#include <fstream>

#include "cli_fixture.h"

namespace tw::test {
namespace {

// Bytes that differ at every offset and between files.
std::string contentOf(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class ContentCli : public CliTest {
protected:
    // tidewright ARGS... with this test's configuration and its own cache folder (the files fetches deliver).
    Outcome run(const std::vector<std::string>& args, const std::string& redirect = "") {
        std::string command = "XDG_CACHE_HOME='" + cache.string() + "' '" + tidewrightPath() +
                              "' --config '" + configFile.string() + "'";
        for (const auto& arg : args)
            command += " '" + arg + "'";
        if (!redirect.empty()) command += " > '" + redirect + "'";
        return runProgram({"/bin/sh", "-c", command}, 60);
    }
    std::string upload(const std::string& name, const std::string& bytes) {
        return api.upload(name, bytes)["id"].get<std::string>();
    }
    std::size_t delivered() const {
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

    Api api = server.api();
    std::filesystem::path cache = dir.path() / "cache";
};

TEST_F(ContentCli, GetDeliversEveryByteAndReplacesOnlyWithForce) {
    // 100 MiB goes up and comes back in the mutations' put-then-get test.
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{8 << 20} + 1}) {
        SCOPED_TRACE(size);
        const std::string bytes = contentOf(size, static_cast<unsigned>(size));
        const std::string id = upload("f" + std::to_string(size), bytes);
        const auto destination = dir.path() / ("got-" + std::to_string(size));
        const Outcome got = run({"--json", "get", id, destination.string()});
        ASSERT_EQ(got.status, 0) << got.err;
        ASSERT_EQ(got.lines.size(), 1u);
        EXPECT_EQ(nlohmann::json::parse(got.lines[0])["size"], size);
        EXPECT_TRUE(fileText(destination) == bytes);
        EXPECT_EQ(got.err, "");  // no progress bar: stderr is not a terminal
    }
    const std::string id = upload("small", "new bytes");
    const auto existing = dir.path() / "existing";
    std::ofstream(existing) << "old";
    const Outcome refused = run({"get", id, existing.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("exists (--force replaces it)"), std::string::npos) << refused.err;
    EXPECT_EQ(fileText(existing), "old");
    EXPECT_EQ(delivered(), 0u);  // nothing was fetched
    EXPECT_EQ(run({"get", "--force", id, existing.string()}).status, 0);
    EXPECT_EQ(fileText(existing), "new bytes");
}

TEST_F(ContentCli, CatStreamsAHundredMiBThroughThirtyRangeRequests) {
    const std::string bytes = contentOf(std::size_t{100} << 20, 7);
    const std::string id = upload("big", bytes);
    count("GET", "/blobs/*");
    const auto out = dir.path() / "out";
    const Outcome cat = run({"cat", id}, out.string());
    ASSERT_EQ(cat.status, 0) << cat.err;
    EXPECT_TRUE(fileText(out) == bytes);
    // Chunks of 256 KiB and 1 MiB in one request each, then 2, 4, 8, 16, 32, 32 MiB and the last 4.75 MiB
    // in four pieces each.
    EXPECT_EQ(hits(0), 1 + 1 + 4 * 7);
    EXPECT_EQ(delivered(), 0u);  // each delivered file deleted once written out

    // A reader that stops early closes the pipe: cat ends quietly, and what it had fetched ahead is deleted.
    const Outcome closed = runProgram({"/bin/bash", "-c",
                                       "XDG_CACHE_HOME='" + cache.string() + "' '" + tidewrightPath() +
                                           "' --config '" + configFile.string() + "' cat " + id +
                                           " | head -c 100 > /dev/null; exit ${PIPESTATUS[0]}"});
    EXPECT_EQ(closed.status, 0);
    EXPECT_EQ(closed.err, "");
    EXPECT_EQ(delivered(), 0u);
}

TEST_F(ContentCli, ServiceFaultsEndInAnErrorAndLeaveNoFile) {
    const std::string id = upload("f", contentOf(300'000, 3));
    struct Case {
        nlohmann::json rule;
        std::vector<std::string> args;
    } cases[] = {
        {{{"path", "/blobs/*"}, {"cutAfter", 1000}}, {"get", id, (dir.path() / "cut").string()}},
        {{{"path", "/blobs/*"}, {"shortBy", 10}}, {"read", id, "0", "1000"}},
        {{{"path", "/blobs/*"}, {"ignoreRange", true}}, {"read", id, "0", "1000"}},
        {{{"path", "/blobs/*"}, {"cutAfter", 1000}}, {"cat", id}},
    };
    for (const auto& [rule, args] : cases) {
        SCOPED_TRACE(rule.dump());
        ASSERT_EQ(api.post("/_control/faults", rule).status, 201);
        const Outcome failed = run(args, (dir.path() / "stdout").string());
        EXPECT_EQ(failed.status, 1);
        EXPECT_NE(failed.err.find("error: "), std::string::npos);
        EXPECT_EQ(delivered(), 0u);
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "cut"));
        api.del("/_control/faults");
    }
}

TEST_F(ContentCli, ExpiredAddressIsOpenedAgainOnce) {
    const std::string id = upload("f", "0123456789");
    ASSERT_EQ(api.post("/_control/settings", {{"openTtlMs", 0}}).status, 200);
    count("POST", "/api/v1/nodes/*/open");
    const Outcome failed = run({"read", id, "0", "10"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(hits(0), 2);

    ASSERT_EQ(api.post("/_control/settings", {{"openTtlMs", 900'000}}).status, 200);
    const Outcome read = run({"--json", "read", id, "2", "3"});
    ASSERT_EQ(read.status, 0) << read.err;
    ASSERT_EQ(read.lines.size(), 2u);
    const auto range = nlohmann::json::parse(read.lines[1]);
    EXPECT_EQ(range["offset"], 2);
    EXPECT_EQ(range["length"], 8);
    EXPECT_EQ(fileText(range["file"].get<std::string>()).substr(2), "23456789");
}

}  // namespace
}  // namespace tw::test
