// The change feed: positions, paging, tombstones of trashed and purged nodes, consistency under load.

#include "support/service_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <thread>

namespace tw::test {
namespace {

// Every change after `since`, read in pages of `limit`, in the order the feed gives them.
std::vector<nlohmann::json> changesSince(Api& api, std::int64_t since, int limit = 500) {
    std::vector<nlohmann::json> all;
    for (int page = 0; page < 100; ++page) {
        auto json =
            api.get("/api/v1/changes?since=" + std::to_string(since) + "&limit=" + std::to_string(limit))
                .json();
        for (const auto& node : json["changes"])
            all.push_back(node);
        EXPECT_EQ(json["cursor"].get<std::int64_t>(),
                  all.empty() ? since : all.back()["seq"].get<std::int64_t>());
        since = json["cursor"];
        if (!json["hasMore"]) {
            EXPECT_EQ(since, json["latest"]);
            break;
        }
    }
    return all;
}

TEST(ServerChanges, PagesNeitherMissNorRepeatAChange) {
    InProcessServer server;
    Api api = server.api();
    std::string a = api.folder("A")["id"];
    std::string b = api.folder("B")["id"];
    std::string f = api.upload("f.txt", "x", a)["id"];
    ASSERT_EQ(api.patch("/api/v1/nodes/" + a, {{"name", "A2"}}).status, 200);
    ASSERT_EQ(api.patch("/api/v1/nodes/" + f, {{"parent", b}}).status, 200);
    std::string c = api.folder("C")["id"];

    std::vector<std::pair<std::string, std::int64_t>> seen;  // six changes: four creations, a rename, a move
    for (const auto& node : changesSince(api, 0, 2))
        seen.emplace_back(node["id"], node["seq"]);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::int64_t>>{{b, 2}, {a, 4}, {f, 5}, {c, 6}}));
    EXPECT_TRUE(changesSince(api, 6).empty());

    auto far = api.get("/api/v1/changes?since=1125899906842624&limit=1").json();
    EXPECT_EQ(far["changes"].size(), 0u);
    EXPECT_EQ(far["latest"], 6);
    EXPECT_EQ(far["hasMore"], false);
    EXPECT_EQ(api.get("/api/v1/changes?since=-5&limit=1").json()["changes"].size(), 1u);
    EXPECT_EQ(api.get("/api/v1/changes?since=x&limit=1").status, 400);
}

// A client that has read up to a position learns of every later trash, restore and purge from the feed.
TEST(ServerChanges, TrashRestoreAndPurgeAppearAfterTheReadPosition) {
    InProcessServer server;
    Api api = server.api();
    std::string kept = api.folder("Kept")["id"];
    std::string trashed = api.folder("Trashed")["id"];
    std::string purged = api.upload("gone.txt", "bytes")["id"];
    std::string restored = api.folder("Restored")["id"];
    const std::int64_t read = 4;
    ASSERT_EQ(changesSince(api, 0).size(), 4u);

    ASSERT_EQ(api.del("/api/v1/nodes/" + trashed).status, 200);
    ASSERT_EQ(api.del("/api/v1/nodes/" + purged).status, 200);
    ASSERT_EQ(api.del("/api/v1/trash/" + purged).status, 204);
    ASSERT_EQ(api.del("/api/v1/nodes/" + restored).status, 200);
    ASSERT_EQ(api.postEmpty("/api/v1/nodes/" + restored + "/restore").status, 200);

    std::map<std::string, nlohmann::json> byId;
    for (const auto& node : changesSince(api, read))
        byId[node["id"]] = node;
    EXPECT_EQ(byId.count(kept), 0u);
    ASSERT_EQ(byId.size(), 3u);
    EXPECT_EQ(byId[trashed]["deleted"], true);
    EXPECT_EQ(byId[purged]["deleted"], true);
    EXPECT_TRUE(byId[purged]["deletedAt"].is_number_integer());
    EXPECT_EQ(byId[restored]["deleted"], false);
}

TEST(ServerChanges, ConcurrentMutationsLeaveAConsistentTreeAndFeed) {
    InProcessServer server;
    std::vector<std::string> folders;
    for (int i = 0; i < 3; ++i)
        folders.push_back(server.api().folder("F" + std::to_string(i))["id"]);
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([&, t] {
            Api api = server.api();
            std::mt19937 random(static_cast<unsigned>(t));
            std::vector<std::string> mine;
            for (int r = 0; r < 25; ++r) {
                // Names collide on purpose across threads: "rename" must still give unique names.
                ServiceReply made = api.postBytes(
                    "/api/v1/files?name=n" + std::to_string(random() % 5) +
                        ".txt&mime=text%2Fplain&conflict=rename&parent=" + folders[random() % 3],
                    std::string(100 + random() % 1000, 'a' + t));
                if (made.status == 201) mine.push_back(made.json()["id"]);
                if (mine.empty()) continue;
                const std::string node = "/api/v1/nodes/" + mine[random() % mine.size()];
                switch (random() % 3) {
                    case 0:
                        api.patch(node, {{"name", "r" + std::to_string(random() % 5)},
                                         {"parent", folders[random() % 3]}});
                        break;
                    case 1:
                        api.del(node);
                        break;
                    case 2:
                        api.postEmpty(node + "/restore");
                        break;
                }
            }
        });
    }
    for (auto& worker : workers)
        worker.join();

    // The feed names every node once, in position order, each with its current record; live names are unique.
    Api api = server.api();
    std::set<std::string> ids;
    std::map<std::string, std::set<std::string>> liveNames;
    std::int64_t previous = 0;
    for (const auto& node : changesSince(api, 0, 5000)) {
        EXPECT_TRUE(ids.insert(node["id"]).second) << "repeated " << node["id"];
        EXPECT_GT(node["seq"].get<std::int64_t>(), previous);
        previous = node["seq"];
        EXPECT_EQ(api.get("/api/v1/nodes/" + node["id"].get<std::string>() + "?trashed=1").json(), node);
        if (!node["deleted"]) {
            std::string parent = node["parent"].is_null() ? "root" : node["parent"].get<std::string>();
            EXPECT_TRUE(liveNames[parent].insert(node["name"]).second)
                << node["name"] << " twice in " << parent;
        }
        if (node["kind"] == "file") {
            auto blob = server.dataDir() / "blobs" / node["rev"].get<std::string>();
            EXPECT_EQ(std::filesystem::file_size(blob), node["size"].get<std::uintmax_t>());
        }
    }
}

}  // namespace
}  // namespace tw::test
