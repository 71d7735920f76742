// The node tree over HTTP: reads, If-Match, names, moves, trash, listing, the change feed, space, devices.

#include "server_helpers.h"

#include <map>
#include <random>
#include <set>
#include <thread>

namespace tw::test {
namespace {

// Every change after `since`, read in pages of `limit`, checking each page's cursor.
std::vector<Json> changesSince(Api& api, std::int64_t since, int limit = 500) {
    std::vector<Json> all;
    for (int page = 0; page < 100; ++page) {
        auto json =
            api.get("/api/v1/changes?since=" + std::to_string(since) + "&limit=" + std::to_string(limit))
                .json();
        all.insert(all.end(), json["changes"].begin(), json["changes"].end());
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

TEST_F(LocalService, ReadsTokensVersionsNamesAndMoves) {
    auto docs = api.folder("Documentos");
    EXPECT_EQ(pick(docs, {"kind", "parent", "version", "seq", "deleted"}),
              Json::array({"folder", nullptr, 1, 1, false}));
    // Without a token; a token no longer valid: the revoked device in the space test.
    EXPECT_EQ(said(Api(server.base(), "").get(nodeAt(docs["id"]))), "401 unauthorized");

    // Stale versions, used names and moves below itself are refused and change nothing.
    std::string first = api.folder("Fotos")["id"], a = api.folder("A")["id"];
    std::string b = api.folder("B", a)["id"], c = api.folder("C", b)["id"];
    EXPECT_EQ(api.patch(nodeAt(a), {{"name", "A2"}}, {{"If-Match", "1"}}).json()["version"], 2);
    EXPECT_EQ(said(api.patch(nodeAt(a), {{"name", "A3"}}, {{"If-Match", "1"}})), "412 version_mismatch");
    EXPECT_EQ(api.del(nodeAt(a), {{"If-Match", "1"}}).status, 412);
    EXPECT_EQ(api.get(nodeAt(a)).json()["name"], "A2");

    EXPECT_EQ(said(api.patch(nodeAt(a), {{"name", "Fotos"}})), "409 name_conflict");
    // The same name in another folder is fine, and a trashed node frees its name.
    EXPECT_EQ(api.post("/api/v1/nodes", {{"name", "Fotos"}, {"parent", a}}).status, 201);
    ASSERT_EQ(api.del(nodeAt(first)).status, 200);
    EXPECT_EQ(api.post("/api/v1/nodes", {{"name", "Fotos"}}).status, 201);

    for (const std::string& target : {a, b, c})
        EXPECT_EQ(said(api.patch(nodeAt(a), {{"parent", target}})), "409 move_into_descendant") << target;
}

// Read directly, and from the change feed by a client that had read up to a position before them.
TEST_F(LocalService, TrashRestoreAndPurgeShowInReadsAndInTheFeed) {
    std::string kept = api.folder("Kept")["id"], folder = api.folder("Pasta")["id"];
    std::string left = api.folder("Lixo")["id"];  // trashed at the end, and left there
    std::string id = api.upload("nota.txt", "conteúdo", folder)["id"];
    const std::int64_t read = changesSince(api, 0).back()["seq"];

    EXPECT_EQ(api.del(nodeAt(id), {{"If-Match", "1"}}).json()["deleted"], true);
    EXPECT_EQ(api.get(nodeAt(id)).status, 404);
    EXPECT_EQ(api.get("/api/v1/nodes?parent=" + folder + "&limit=500").json()["items"].size(), 0u);

    // A node restored after its folder went to the trash lands at the top level.
    std::string child = api.folder("Filho", folder)["id"];
    ASSERT_EQ(api.del(nodeAt(child)).status, 200);
    ASSERT_EQ(api.del(nodeAt(folder)).status, 200);
    EXPECT_TRUE(api.postEmpty(nodeAt(child) + "/restore").json()["parent"].is_null());

    EXPECT_EQ(api.del("/api/v1/trash/" + folder).status, 204);
    EXPECT_EQ(api.get(nodeAt(folder) + "?trashed=1").status, 404);
    ASSERT_EQ(api.del(nodeAt(left)).status, 200);

    std::map<std::string, Json> feed;
    for (const auto& node : changesSince(api, read))
        feed[node["id"]] = node;
    ASSERT_EQ(feed.size(), 4u) << "all but the untouched " << kept;
    EXPECT_EQ(Json::array({feed[id]["deleted"], feed[folder]["deleted"], feed[child]["deleted"],
                           feed[left]["deleted"]}),
              Json::array({true, true, false, true}));
    EXPECT_TRUE(feed[folder]["deletedAt"].is_number_integer()) << "purged";
}

// A purge takes what went to the trash with the folder, never what was trashed from it on its own before:
// that stays in the trash (a folder with what is in it), is restored to the top level, and is purged only
// by a purge of its own.
TEST_F(LocalService, PurgingAFolderKeepsWhatWasTrashedFromItOnItsOwn) {
    std::string folder = api.folder("Pasta")["id"], inner = api.folder("Dentro", folder)["id"];
    const auto blobOf = [&](const Json& node) {
        return server.dataDir() / "blobs" / node["rev"].get<std::string>();
    };
    const Json alone = api.upload("sozinho.txt", "antes", folder),
               deep = api.upload("fundo.txt", "fundo", inner);
    const Json with = api.upload("junto.txt", "junto", folder);
    for (const std::string& trashed : {alone["id"].get<std::string>(), inner, folder})
        ASSERT_EQ(api.del(nodeAt(trashed)).status, 200) << trashed;

    ASSERT_EQ(api.del("/api/v1/trash/" + folder).status, 204);
    EXPECT_EQ(said(api.get(nodeAt(with["id"]) + "?trashed=1")), "404 not_found") << "went with its folder";
    EXPECT_FALSE(fs::exists(blobOf(with)));
    for (const Json& kept : {alone, deep}) {
        SCOPED_TRACE(kept["name"].get<std::string>());
        EXPECT_EQ(api.get(nodeAt(kept["id"]) + "?trashed=1").status, 200);
        EXPECT_TRUE(fs::exists(blobOf(kept)));
    }
    std::set<std::string> inTrash;
    const Json trash = api.get("/api/v1/trash?limit=500").json();
    for (const auto& item : trash["items"])
        inTrash.insert(item["id"].get<std::string>());
    EXPECT_EQ(inTrash, (std::set<std::string>{alone["id"], inner}));

    EXPECT_TRUE(api.postEmpty(nodeAt(alone["id"]) + "/restore").json()["parent"].is_null());
    EXPECT_EQ(api.del("/api/v1/trash/" + inner).status, 204);
    EXPECT_EQ(api.get(nodeAt(deep["id"]) + "?trashed=1").status, 404);
    EXPECT_FALSE(fs::exists(blobOf(deep)));
}

// The cursor's own rules (the feed's pages are followed in the concurrent test below).
TEST_F(LocalService, ListingAndFeedCursorsAreCheckedAndStable) {
    std::string parent = api.folder("Muitos")["id"];
    for (int i = 0; i < 4; ++i)
        api.folder("f" + std::to_string(i), parent);
    std::string path = "/api/v1/nodes?parent=" + parent + "&limit=3";
    auto first = api.get(path).json();
    auto last = api.get(path + "&cursor=" + first["nextCursor"].get<std::string>()).json();
    EXPECT_EQ(last["items"][0]["name"], "f3");
    EXPECT_EQ(api.get(path + "&cursor=").json(), first) << "an empty cursor starts over";
    EXPECT_EQ(api.get(path + "&cursor=abc").status, 400);
    EXPECT_EQ(pick(api.get("/api/v1/changes?since=1125899906842624&limit=1").json(),
                   {"changes", "latest", "hasMore"}),
              Json::array({Json::array(), 5, false}));
    EXPECT_EQ(api.get("/api/v1/changes?since=-5&limit=1").json()["changes"].size(), 1u);
    EXPECT_EQ(api.get("/api/v1/changes?since=x&limit=1").status, 400);
}

TEST_F(LocalService, ConcurrentMutationsLeaveAConsistentTreeAndFeed) {
    std::vector<std::string> folders;
    for (int i = 0; i < 3; ++i)
        folders.push_back(api.folder("F" + std::to_string(i))["id"]);
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([&, t] {
            Api client = server.api();
            std::mt19937 random(static_cast<unsigned>(t));
            std::vector<std::string> mine;
            for (int r = 0; r < 25; ++r) {
                // Names collide on purpose across threads: "rename" must still give unique names.
                ServiceReply made = client.postBytes(
                    "/api/v1/files?name=n" + std::to_string(random() % 5) +
                        ".txt&mime=text%2Fplain&conflict=rename&parent=" + folders[random() % 3],
                    std::string(100 + random() % 1000, 'a' + t));
                ASSERT_EQ(made.status, 201) << made.body;
                mine.push_back(made.json()["id"]);
                const std::string node = nodeAt(mine[random() % mine.size()]);
                if (auto op = random() % 3; op == 0)
                    client.patch(node, {{"name", "r" + std::to_string(random() % 5)},
                                        {"parent", folders[random() % 3]}});
                else if (op == 1)
                    client.del(node);
                else
                    client.postEmpty(node + "/restore");
            }
        });
    }
    for (auto& worker : workers)
        worker.join();

    // The feed's pages name every node once, in position order, each with its current record; live names
    // are unique. Renames and moves after a node's first record must neither repeat nor lose it.
    std::set<std::string> ids, liveNames;
    std::int64_t previous = 0;
    for (const auto& node : changesSince(api, 0, 7)) {
        EXPECT_TRUE(ids.insert(node["id"]).second) << "repeated " << node["id"];
        EXPECT_GT(node["seq"].get<std::int64_t>(), std::exchange(previous, node["seq"]));
        EXPECT_EQ(api.get(nodeAt(node["id"]) + "?trashed=1").json(), node);
        EXPECT_TRUE(node["deleted"] ||
                    liveNames.insert(node["parent"].dump() + "/" + node["name"].get<std::string>()).second)
            << node << " has a live sibling of the same name";
        if (node["kind"] != "file") continue;
        EXPECT_EQ(fs::file_size(server.dataDir() / "blobs" / node["rev"].get<std::string>()), node["size"]);
    }
    EXPECT_EQ(ids.size(), 3u + 8 * 25);
}

TEST(ServerSpace, EachStateAnswersWithItsCodeAndDevicesPairAndAreRevoked) {
    auto options = InProcessServer::testOptions();
    options.pairingSecret = "s3cret";
    InProcessServer server(options);
    Api api = server.api();
    std::string id = api.upload("a.txt", "abc")["id"];
    struct Case {
        Json state;
        std::string read, write;  // what reading or opening, and creating or uploading, answer
    };
    for (const auto& c : std::vector<Case>{
             {{{"state", "read_only"}}, "200 ", "402 payment_required"},
             {{{"state", "read_only"}, {"reason", "account_deleting"}}, "200 ", "403 account_deleting"},
             {{{"state", "suspended"}}, "403 space_suspended", "403 space_suspended"},
             {{{"state", "unavailable"}}, "410 space_unavailable", "410 space_unavailable"},
             {{{"state", "normal"}}, "200 ", "201 "}}) {
        SCOPED_TRACE(c.state.dump());
        ASSERT_EQ(api.post("/_control/space", c.state).status, 200);
        EXPECT_EQ(said(api.get(nodeAt(id))), c.read);
        EXPECT_EQ(said(api.postEmpty(nodeAt(id) + "/open")), c.read);
        EXPECT_EQ(said(api.post("/api/v1/nodes", {{"name", "folder " + c.state.dump()}})), c.write);
        EXPECT_EQ(said(api.postBytes("/api/v1/files?name=u&mime=x&conflict=rename", "b")), c.write);
    }

    // The cloud's way of revoking a paired device (the command-line tests pair, and revoke by device id).
    Json mac = {{"secret", "s3cret"}, {"name", "Mac de Ana"}, {"kind", "macos"}};
    Api device(server.base(), Api(server.base(), "").post("/api/v1/auth/device", mac).json()["token"]);
    EXPECT_EQ(device.get("/api/v1/trash").status, 200);
    EXPECT_EQ(device.post("/api/cloud/auth/app/revoke", Json::object()).status, 204);
    EXPECT_EQ(device.get("/api/v1/trash").status, 401);
    EXPECT_EQ(server.api().get("/api/v1/trash").status, 200) << "other tokens stay valid";
}

}  // namespace
}  // namespace tw::test
