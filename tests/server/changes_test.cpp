// The change feed: positions, paging, deleted nodes, the latest position.

#include "server_fixture.h"

#include <gtest/gtest.h>

#include <map>

namespace tw::test {
namespace {

TEST(ServerChanges, PagesNeitherMissNorRepeatAChange) {
    InProcessServer server;
    Api api = server.api();
    std::string a = api.folder("A")["id"];
    std::string b = api.folder("B")["id"];
    std::string f = api.upload("f.txt", "x", a)["id"];
    ASSERT_EQ(api.patch("/api/v1/nodes/" + a, {{"name", "A2"}}).status, 200);
    ASSERT_EQ(api.patch("/api/v1/nodes/" + f, {{"parent", b}}).status, 200);
    std::string c = api.folder("C")["id"];

    std::map<std::string, std::int64_t> seqById;
    std::vector<std::int64_t> seqs;
    std::int64_t since = 0, latest = -1;
    for (int page = 0; page < 10; ++page) {
        auto json = api.get("/api/v1/changes?since=" + std::to_string(since) + "&limit=2").json();
        for (const auto& node : json["changes"]) {
            EXPECT_FALSE(seqById.count(node["id"])) << "repeated " << node["id"];
            seqById[node["id"]] = node["seq"];
            seqs.push_back(node["seq"]);
        }
        since = json["cursor"];
        latest = json["latest"];
        if (!json["hasMore"]) break;
    }
    EXPECT_EQ(seqById.size(), 4u);
    EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()));
    EXPECT_EQ(since, latest);
    EXPECT_EQ(latest, 6);  // six changes: four creations, a rename, a move
    EXPECT_EQ(seqById[c], 6);
    EXPECT_EQ(seqById[f], 5);

    auto empty = api.get("/api/v1/changes?since=" + std::to_string(latest) + "&limit=500").json();
    EXPECT_EQ(empty["changes"].size(), 0u);
    EXPECT_EQ(empty["cursor"], latest);
    EXPECT_EQ(empty["hasMore"], false);
}

TEST(ServerChanges, TrashedAndPurgedNodesAppearDeleted) {
    InProcessServer server;
    Api api = server.api();
    std::string kept = api.folder("Kept")["id"];
    std::string trashed = api.folder("Trashed")["id"];
    std::string purged = api.upload("gone.txt", "bytes")["id"];
    ASSERT_EQ(api.del("/api/v1/nodes/" + trashed).status, 200);
    ASSERT_EQ(api.del("/api/v1/nodes/" + purged).status, 200);
    ASSERT_EQ(api.del("/api/v1/trash/" + purged).status, 204);

    auto json = api.get("/api/v1/changes?since=0&limit=500").json();
    std::map<std::string, nlohmann::json> byId;
    for (const auto& node : json["changes"])
        byId[node["id"]] = node;
    ASSERT_EQ(byId.size(), 3u);
    EXPECT_EQ(byId[kept]["deleted"], false);
    EXPECT_EQ(byId[trashed]["deleted"], true);
    EXPECT_EQ(byId[purged]["deleted"], true);
    EXPECT_TRUE(byId[purged]["deletedAt"].is_number_integer());
    EXPECT_EQ(byId[purged]["seq"], json["latest"]);
}

TEST(ServerChanges, AFarPositionReadsOnlyTheLatest) {
    InProcessServer server;
    Api api = server.api();
    api.folder("A");
    api.folder("B");
    auto json = api.get("/api/v1/changes?since=1125899906842624&limit=1").json();
    EXPECT_EQ(json["changes"].size(), 0u);
    EXPECT_EQ(json["latest"], 2);
    EXPECT_EQ(json["hasMore"], false);

    auto negative = api.get("/api/v1/changes?since=-5&limit=1").json();
    EXPECT_EQ(negative["changes"].size(), 1u);
    EXPECT_EQ(negative["hasMore"], true);
    EXPECT_EQ(api.get("/api/v1/changes?since=x&limit=1").status, 400);
}

}  // namespace
}  // namespace tw::test
