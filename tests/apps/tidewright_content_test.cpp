// File commands run as processes against tidewright-server.
#include <algorithm>
#include <functional>

#include "cli_fixture.h"
#include "support/elapsed.h"

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

// (Sizes at the upload's two ways, 8 MiB and a byte more: in the remote tests' Upload tests.)
TEST_F(ContentCli, PutThenCatGetOrReadGiveBackEveryByteAndGetReplacesOnlyWithForce) {
    // A hundred MiB goes up in parts and comes back through cat in thirty range requests.
    const std::string bytes = writeSeededBytes(dir.path() / "big", std::size_t{100} << 20, 7);
    const auto item = itemFrom({"put", "root", (dir.path() / "big").string(), "--name", "grande"});
    EXPECT_EQ(item["filename"], "grande");
    const std::string id = item["id"];
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
    const Outcome forced = tidewright({"get", "--force", small, existing.string()});
    EXPECT_EQ(forced.status, 0);
    EXPECT_EQ(forced.err, "");  // no progress bar: stderr is not a terminal
    EXPECT_EQ(fileText(existing), "new bytes");
    // read names the delivered file and where in it the bytes asked for, and those fetched with them, are.
    const Outcome read = tidewright({"--json", "read", small, "2", "3"});
    ASSERT_EQ(read.lines.size(), 2u) << read.err;
    EXPECT_EQ(read.line(1)["offset"], 2);
    EXPECT_EQ(read.line(1)["length"], 7);
    EXPECT_EQ(fileText(read.line(1)["file"].get<std::string>()).substr(2), "w bytes");
}

// (Each fault's own error: in the content tests' AnyOtherAnswerFailsAndLeavesNoFile.)
TEST_F(ContentCli, ServiceFaultsEndInAnErrorLeavingNoFileAndAnExpiredAddressIsOpenedAgainOnce) {
    const std::string id = api.upload("f", writeSeededBytes(dir.path() / "f", 300'000, 3))["id"];
    const auto cut = (dir.path() / "cut").string();
    for (const auto& [rule, args] : std::vector<std::pair<json, std::vector<std::string>>>{
             {{{"path", "/blobs/*"}, {"cutAfter", 1000}}, {"get", id, cut}},
             {{{"path", "/blobs/*"}, {"shortBy", 10}}, {"read", id, "0", "1000"}},
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
    // The service refuses an expired address with 403 (the content tests script a 404).
    ASSERT_EQ(api.post("/_control/settings", {{"openTtlMs", 0}}).status, 200);
    count("POST", "/api/v1/nodes/*/open");
    EXPECT_EQ(tidewright({"read", id, "0", "1000"}).status, 1);
    EXPECT_EQ(hits(0), 2);
}

// Each command once; what its step does, in every case, is in the content tests' CreateItem, DeleteItem,
// ModifyContents and Mutation tests.
// --bwlimit-up and --bwlimit-down hold put and get to their rates (within 20 %): each takes the time of its
// bytes at the rate longer than the same command without a limit (the start of the process, its other
// requests: a few hundred milliseconds under the sanitizers). A rate that is not one is refused before
// anything moves.
TEST_F(ContentCli, PutAndGetKeepTheirBandwidthLimits) {
    constexpr double size = 1.5 * (1 << 20), rate = 1 << 20;  // 1.5 MiB at 1 MiB/s
    const auto bytes = writeSeededBytes(dir.path() / "sent", static_cast<std::size_t>(size), 3);
    const auto timed = [](const std::function<void()>& run) {
        const auto start = std::chrono::steady_clock::now();
        run();
        return test::secondsSince(start);
    };
    nlohmann::json item;
    const auto put = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {"put", "root", (dir.path() / "sent").string(), "--name"});
        item = itemFrom(words);
    };
    const auto got = dir.path() / "got";
    const auto get = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {"get", item["id"]});
        const Outcome outcome = tidewright(words);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
    };
    const auto putAlone = timed([&] { put({"alone"}); });
    EXPECT_NEAR(timed([&] {
                    put({"limited", "--bwlimit-up", "1M"});
                }) - putAlone,
                size / rate, 0.2 * size / rate);
    const auto getAlone = timed([&] { get({(dir.path() / "alone").string()}); });
    EXPECT_NEAR(timed([&] {
                    get({got.string(), "--bwlimit-down", "1M"});
                }) - getAlone,
                size / rate, 0.2 * size / rate);
    EXPECT_TRUE(fileText(got) == bytes);
    for (const char* rate : {"0", "fast", "-1M"}) {
        const Outcome refused = tidewright({"cat", "--bwlimit-down", rate, item["id"]});
        EXPECT_EQ(refused.status, 2) << rate;
        EXPECT_TRUE(refused.lines.empty()) << rate;
    }
}

TEST_F(CliTest, MkdirMvAndTheOtherFileCommandsMeetCollisionsAndBadInputChangesNothing) {
    const auto folder = itemFrom({"mkdir", "root", "Fotos"});
    EXPECT_EQ(itemFrom({"mkdir", "root", "Fotos", "--may-already-exist"})["id"], folder["id"]);

    writeSeededBytes(dir.path() / "b.txt", 3);
    const std::string file = itemFrom({"put", "root", (dir.path() / "b.txt").string()})["id"];
    const auto moved = itemFrom({"mv", file, "--name", "Fotos", "--parent", folder["id"]});
    EXPECT_EQ(errorCodeOf({"mv", file, "--parent", "root"}), -1001);  // named as the folder now
    const std::string edited = writeSeededBytes(dir.path() / "edited", 2000, 2);
    EXPECT_EQ(itemFrom({"edit", file, (dir.path() / "edited").string(), "--base-rev",
                        moved["contentVersion"]})["id"],
              file);
    EXPECT_TRUE(api.download(file) == edited);
    EXPECT_EQ(itemFrom({"trash", file})["parent"], inTrash);
    EXPECT_EQ(itemFrom({"restore", file})["parent"], folder["id"]);

    const auto nodesBefore = api.get("/api/v1/changes?since=0&limit=500").json();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"mv", file}, {"rm", "root"}, {"trash", "trash"}, {"restore", "working-set"}})
        EXPECT_EQ(tidewright(args).status, 2) << args[0] << " " << args[1];
    const auto notAFile = tidewright({"put", "root", dir.path().string()});
    EXPECT_EQ(notAFile.status, 1);
    EXPECT_NE(notAFile.err.find("is not a regular file"), std::string::npos) << notAFile.err;
    std::filesystem::create_symlink("b.txt", dir.path() / "link.txt");
    EXPECT_EQ(errorCodeOf({"put", "root", (dir.path() / "link.txt").string()}), -2010);
    EXPECT_EQ(api.get("/api/v1/changes?since=0&limit=500").json(), nodesBefore);
    for (const int status : {200, 404}) {  // into the trash, then away for good
        EXPECT_EQ(tidewright({"rm", file}).status, 0);
        EXPECT_EQ(api.get("/api/v1/nodes/" + file + "?trashed=1").status, status);
    }
}

// An edit whose item is renamed on the service while its contents travel: the service refuses the stale
// version (412) and the extension answers cannotSynchronize; the host says in words what happened.
TEST_F(ContentCli, AnEditRacingARenameSaysTheItemChangedAndNothingWasLost) {
    const auto node = api.upload("nota.txt", "old contents");
    const std::string id = node["id"];
    writeSeededBytes(dir.path() / "new", 5000, 4);
    // The contents are held up on their way in, long enough for the rename to come first.
    ASSERT_EQ(api.post("/_control/faults", {{"method", "POST"}, {"path", "/api/v1/files"}, {"delayMs", 1500}})
                  .status,
              201);
    ChildProcess edit({tidewrightPath, "--config", configFile.string(), "--json", "edit", id,
                       (dir.path() / "new").string()});
    ASSERT_TRUE(waitUntil(10, [&] { return hits(0) == 1; }));
    ASSERT_EQ(api.patch("/api/v1/nodes/" + id, {{"name", "renomeada.txt"}},
                        {{"If-Match", std::to_string(node["version"].get<std::int64_t>())}})
                  .status,
              200);
    EXPECT_EQ(edit.readLine(10), std::nullopt);
    EXPECT_EQ(edit.wait(10), 1);
    const auto error = json::parse(edit.stderrText())["error"];
    EXPECT_EQ(error["code"], -2005);  // the extension's outcome, kept
    const std::string message = error["message"];
    EXPECT_NE(message.find(id + " changed on the service while the edit was sent"), std::string::npos)
        << message;
    EXPECT_NE(message.find("nothing was lost"), std::string::npos) << message;
    EXPECT_EQ(api.download(id), "old contents");
    EXPECT_EQ(api.get("/api/v1/nodes/" + id).json()["name"], "renomeada.txt");
}

TEST_F(ContentCli, AnEditOnAnOldVersionNamesItsConflictingCopy) {
    const auto node = api.upload("nota.txt", "first");
    const std::string id = node["id"];
    const std::string first = node["rev"];
    const auto local = dir.path() / "mine.txt";
    std::ofstream(local) << "local edit";
    itemFrom({"edit", id, local.string()});  // the service moves on from `first`

    const auto edit = tidewright({"--json", "edit", id, local.string(), "--base-rev", first});
    ASSERT_EQ(edit.status, 0) << edit.err;
    ASSERT_EQ(edit.lines.size(), 2u);
    EXPECT_EQ(edit.line(0)["id"], id);
    const auto copy = edit.line(1)["conflictingCopy"];
    EXPECT_TRUE(copy["filename"].get<std::string>().starts_with("nota (conflito ")) << copy;
    EXPECT_EQ(api.download(copy["id"]), "local edit");

    const auto readable = tidewright({"edit", id, local.string(), "--base-rev", first});
    ASSERT_EQ(readable.status, 0) << readable.err;
    EXPECT_EQ(readable.lines.size(), 1u);
    EXPECT_NE(readable.err.find("went up beside it as the conflicting copy \"nota (conflito "),
              std::string::npos)
        << readable.err;
}

}  // namespace
}  // namespace tw::test
