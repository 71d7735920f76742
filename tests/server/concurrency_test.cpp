// Concurrent mutations keep the tree and the change feed consistent.

#include "server_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <thread>

namespace tw::test {
namespace {

TEST(ServerConcurrency, MixedMutationsLeaveAConsistentTreeAndFeed) {
    InProcessServer server;
    Api setup = server.api();
    std::vector<std::string> folders;
    for (int i = 0; i < 3; ++i)
        folders.push_back(setup.folder("F" + std::to_string(i))["id"]);

    constexpr int threads = 8, rounds = 25;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            Api api = server.api();
            std::mt19937 random(static_cast<unsigned>(t));
            std::vector<std::string> mine;
            for (int r = 0; r < rounds; ++r) {
                const std::string& folder = folders[random() % folders.size()];
                // Names collide on purpose across threads: "rename" must still give unique names.
                std::string name = "n" + std::to_string(random() % 5) + ".txt";
                Reply made = api.postBytes(
                    "/api/v1/files?name=" + name + "&mime=text%2Fplain&conflict=rename&parent=" + folder,
                    std::string(100 + random() % 1000, 'a' + t));
                if (made.status == 201) mine.push_back(made.json()["id"]);
                if (mine.empty()) continue;
                const std::string& victim = mine[random() % mine.size()];
                switch (random() % 3) {
                    case 0:
                        api.patch("/api/v1/nodes/" + victim,
                                  {{"name", "r" + std::to_string(random() % 5)},
                                   {"parent", folders[random() % folders.size()]}});
                        break;
                    case 1:
                        api.del("/api/v1/nodes/" + victim);
                        break;
                    case 2:
                        api.postEmpty("/api/v1/nodes/" + victim + "/restore");
                        break;
                }
            }
        });
    }
    for (auto& worker : workers)
        worker.join();

    Api api = server.api();
    // The feed names every node once, in position order, each with its current record.
    auto feed = api.get("/api/v1/changes?since=0&limit=5000").json();
    ASSERT_FALSE(feed["hasMore"]);
    std::set<std::string> ids;
    std::int64_t previous = 0;
    std::map<std::string, std::set<std::string>> liveNames;
    for (const auto& node : feed["changes"]) {
        EXPECT_TRUE(ids.insert(node["id"]).second) << "repeated " << node["id"];
        EXPECT_GT(node["seq"].get<std::int64_t>(), previous);
        previous = node["seq"];
        Reply current = api.get("/api/v1/nodes/" + node["id"].get<std::string>() + "?trashed=1");
        ASSERT_EQ(current.status, 200);
        EXPECT_EQ(current.json(), node);
        if (!node["deleted"]) {
            std::string parent = node["parent"].is_null() ? "root" : node["parent"].get<std::string>();
            EXPECT_TRUE(liveNames[parent].insert(node["name"]).second)
                << "two live nodes named " << node["name"] << " in " << parent;
        }
    }
    EXPECT_EQ(previous, feed["latest"]);
    // Every live file's content is on disk with its announced size.
    for (const auto& node : feed["changes"]) {
        if (node["kind"] == "file") {
            auto path = server.dataDir() / "blobs" / node["rev"].get<std::string>();
            EXPECT_EQ(std::filesystem::file_size(path), node["size"].get<std::uintmax_t>());
        }
    }
}

}  // namespace
}  // namespace tw::test
