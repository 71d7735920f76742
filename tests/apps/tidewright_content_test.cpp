// File commands end to end against tidewright-server: every byte arrives, the read-ahead keeps requests few,
// faults end in an error leaving no file, and conflicts and bad input change nothing.
#include <algorithm>
#include <regex>

#include "cli_fixture.h"

namespace tw::test {
namespace {

class ContentCli : public CliTest {
protected:
    std::ptrdiff_t delivered() const {  // files in the cache folder
        std::error_code ignored;
        return std::count_if(std::filesystem::recursive_directory_iterator(cache, ignored), {},
                             [](const auto& entry) { return entry.is_regular_file(); });
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
    // 256 KiB and 1 MiB whole, then 2, 4, 8, 16, 32, 32 MiB and the last 4.75 MiB in four pieces each.
    EXPECT_EQ(hits(0), 1 + 1 + 4 * 7);
    EXPECT_EQ(delivered(), 0);  // each delivered file deleted once written out
    // A reader that stops early closes the pipe: cat ends quietly, and what it had fetched ahead is deleted.
    const Outcome closed = tidewright({"cat", id}, " | head -c 100 > /dev/null; exit ${PIPESTATUS[0]}");
    EXPECT_EQ(closed.status, 0);
    EXPECT_EQ(closed.err, "");
    EXPECT_EQ(delivered(), 0);

    const std::string small = api.upload("small", "new bytes")["id"];
    const auto existing = dir.path() / "existing";
    std::ofstream(existing) << "old";
    const Outcome refused = tidewright({"get", small, existing.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("exists (--force replaces it)"), std::string::npos) << refused.err;
    EXPECT_EQ(fileText(existing), "old");
    EXPECT_EQ(delivered(), 0);  // nothing was fetched
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
        EXPECT_EQ(delivered(), 0);
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

TEST_F(CliTest, AnEditOnAStaleRevisionGoesUpAsAConflictingCopyAndLeavesTheServicesContents) {
    writePattern(dir.path() / "Relatorio.pdf", 1000, 1);
    const auto item = itemFrom({"put", "root", (dir.path() / "Relatorio.pdf").string()});
    const std::string edited = writePattern(dir.path() / "edited", 2000, 2);
    // Edited on the version the item has now: overwritten in place.
    const auto overwritten = itemFrom({"edit", item["id"], (dir.path() / "edited").string()});
    EXPECT_EQ(overwritten["id"], item["id"]);
    EXPECT_NE(overwritten["contentVersion"], item["contentVersion"]);
    EXPECT_TRUE(api.download(item["id"]) == edited);

    // Edited on the first version, which the service has moved on from: a dated copy beside it.
    const std::string stale = writePattern(dir.path() / "stale", 3000, 3);
    EXPECT_EQ(
        itemFrom({"edit", item["id"], (dir.path() / "stale").string(), "--base-rev", item["contentVersion"]}),
        overwritten);
    EXPECT_TRUE(api.download(item["id"]) == edited);
    const auto listing = api.get("/api/v1/nodes?parent=root&limit=500").json()["items"];
    ASSERT_EQ(listing.size(), 2u);
    const std::regex copyName(R"(Relatorio \(conflito \d{4}-\d\d-\d\d \d\d\.\d\d\)\.pdf)");
    EXPECT_TRUE(std::regex_match(listing[1]["name"].get<std::string>(), copyName)) << listing[1]["name"];
    EXPECT_EQ(listing[1]["mime"], "application/pdf");
    EXPECT_TRUE(api.download(listing[1]["id"]) == stale);
}

TEST_F(CliTest, TrashRestoreAndRmTakeAnItemToTheTrashBackAndAwayForGood) {
    const auto folder = itemFrom({"mkdir", "root", "Pasta"});
    const std::string id = api.upload("a.txt", "0123456789", folder["id"])["id"];
    for (int twice = 0; twice < 2; ++twice) {  // the second time, nothing changes
        EXPECT_EQ(itemFrom({"trash", id})["parent"], inTrash);
        EXPECT_EQ(itemFrom({"restore", id})["parent"], folder["id"]);
    }
    // From the trash, then away for good; gone counts as deleted.
    for (const int status : {200, 404, 404}) {
        const auto rm = tidewright({"rm", id});
        EXPECT_EQ(rm.status, 0) << rm.err;
        EXPECT_TRUE(rm.lines.empty());
        const auto node = api.get("/api/v1/nodes/" + id + "?trashed=1");
        EXPECT_EQ(node.status, status);
        EXPECT_EQ(node.json().value("deleted", false), status == 200);
    }
    EXPECT_EQ(errorCodeOf({"restore", id}), -1005);
}

TEST_F(CliTest, MkdirAndMvMeetNameConflictsAsCollisionsAndBadInputChangesNothing) {
    const auto folder = itemFrom({"mkdir", "root", "Fotos"});
    EXPECT_EQ(errorCodeOf({"mkdir", "root", "Fotos"}), -1001);
    EXPECT_EQ(itemFrom({"mkdir", "root", "Fotos", "--may-already-exist"})["id"], folder["id"]);
    EXPECT_EQ(errorCodeOf({"mkdir", "trash", "Fotos"}), -2005);

    writePattern(dir.path() / "b.txt", 3);
    const std::string file = itemFrom({"put", "root", (dir.path() / "b.txt").string()})["id"];
    const auto moved = itemFrom({"mv", file, "--name", "Fotos", "--parent", folder["id"]});
    EXPECT_EQ(moved["filename"], "Fotos");
    EXPECT_EQ(moved["parent"], folder["id"]);
    EXPECT_EQ(errorCodeOf({"mv", file, "--parent", "root"}), -1001);  // the folder's name
    const auto back = itemFrom({"mv", file, "--name", "b.txt", "--parent", "root"});
    EXPECT_EQ(back["parent"], "NSFileProviderRootContainerItemIdentifier");
    EXPECT_EQ(back["filename"], "b.txt");

    const auto nodesBefore = api.get("/api/v1/changes?since=0&limit=500").json();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"mv", file}, {"rm", "root"}, {"trash", "trash"}, {"restore", "working-set"}})
        EXPECT_EQ(tidewright(args).status, 2) << args[0] << " " << args[1];
    const auto notAFile = tidewright({"put", "root", dir.path().string()});
    EXPECT_EQ(notAFile.status, 1);
    EXPECT_NE(notAFile.err.find("is not a regular file"), std::string::npos) << notAFile.err;
    EXPECT_EQ(tidewright({"edit", file, (dir.path() / "missing").string()}).status, 1);
    std::filesystem::create_symlink("b.txt", dir.path() / "link.txt");
    EXPECT_EQ(errorCodeOf({"put", "root", (dir.path() / "link.txt").string()}), -2010);
    EXPECT_EQ(api.get("/api/v1/changes?since=0&limit=500").json(), nodesBefore);
}

}  // namespace
}  // namespace tw::test
