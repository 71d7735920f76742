// Node reads and mutations over HTTP: auth, folders, If-Match, name conflicts, moves, trash, listing.

#include "server_fixture.h"

#include <gtest/gtest.h>

#include <set>

namespace tw::test {
namespace {

TEST(ServerAuth, RequestsWithoutAKnownTokenAnswer401) {
    InProcessServer server;
    for (const std::string& token : {std::string(), std::string("wrong")}) {
        SCOPED_TRACE("token '" + token + "'");
        Api api(server.base(), token);
        Reply reply = api.get("/api/v1/nodes?parent=root&limit=500");
        EXPECT_EQ(reply.status, 401);
        EXPECT_EQ(reply.body, R"({"error":"unauthorized"})");
    }
    EXPECT_EQ(server.api().get("/api/v1/nodes?parent=root&limit=500").status, 200);
}

TEST(ServerNodes, CreatedFolderReadsBackWithVersionAndSeq) {
    InProcessServer server;
    Api api = server.api();
    auto docs = api.folder("Documentos");
    EXPECT_EQ(docs["kind"], "folder");
    EXPECT_EQ(docs["name"], "Documentos");
    EXPECT_TRUE(docs["parent"].is_null());
    EXPECT_EQ(docs["version"], 1);
    EXPECT_EQ(docs["seq"], 1);
    EXPECT_TRUE(docs["rev"].is_null());
    EXPECT_EQ(docs["deleted"], false);
    std::string id = docs["id"];

    auto inner = api.folder("Contratos", id);
    EXPECT_EQ(inner["parent"], id);
    EXPECT_EQ(inner["seq"], 2);

    Reply read = api.get("/api/v1/nodes/" + id);
    EXPECT_EQ(read.status, 200);
    EXPECT_EQ(read.json(), docs);
    Reply unknown = api.get("/api/v1/nodes/n999");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.error(), "not_found");
}

TEST(ServerNodes, StaleIfMatchAnswers412AndChangesNothing) {
    InProcessServer server;
    Api api = server.api();
    std::string id = api.folder("Old")["id"];

    Reply renamed = api.patch("/api/v1/nodes/" + id, {{"name", "New"}}, {{"If-Match", "1"}});
    ASSERT_EQ(renamed.status, 200) << renamed.body;
    EXPECT_EQ(renamed.json()["name"], "New");
    EXPECT_EQ(renamed.json()["version"], 2);

    Reply stale = api.patch("/api/v1/nodes/" + id, {{"name", "Newer"}}, {{"If-Match", "1"}});
    EXPECT_EQ(stale.status, 412);
    EXPECT_EQ(stale.error(), "version_mismatch");
    EXPECT_EQ(api.get("/api/v1/nodes/" + id).json()["name"], "New");

    Reply staleTrash = api.del("/api/v1/nodes/" + id, {{"If-Match", "1"}});
    EXPECT_EQ(staleTrash.status, 412);
    EXPECT_EQ(api.get("/api/v1/nodes/" + id).status, 200);
}

TEST(ServerNodes, UsedNameAnswers409CarryingTheExistingNode) {
    InProcessServer server;
    Api api = server.api();
    auto first = api.folder("Fotos");
    std::string other = api.folder("Outra")["id"];

    Reply create = api.post("/api/v1/nodes", {{"name", "Fotos"}});
    EXPECT_EQ(create.status, 409);
    EXPECT_EQ(create.error(), "name_conflict");
    EXPECT_EQ(create.json()["existing"]["id"], first["id"]);

    Reply rename = api.patch("/api/v1/nodes/" + other, {{"name", "Fotos"}});
    EXPECT_EQ(rename.status, 409);
    EXPECT_EQ(rename.json()["existing"]["id"], first["id"]);

    // The same name in another folder is fine, and a trashed node frees its name.
    std::string sub = api.folder("Sub")["id"];
    EXPECT_EQ(api.post("/api/v1/nodes", {{"name", "Fotos"}, {"parent", sub}}).status, 201);
    ASSERT_EQ(api.del("/api/v1/nodes/" + first["id"].get<std::string>()).status, 200);
    EXPECT_EQ(api.post("/api/v1/nodes", {{"name", "Fotos"}}).status, 201);
}

TEST(ServerNodes, MovingAFolderIntoItselfOrBelowAnswers409) {
    InProcessServer server;
    Api api = server.api();
    std::string a = api.folder("A")["id"];
    std::string b = api.folder("B", a)["id"];
    std::string c = api.folder("C", b)["id"];

    for (const std::string& target : {a, b, c}) {
        SCOPED_TRACE(target);
        Reply reply = api.patch("/api/v1/nodes/" + a, {{"parent", target}});
        EXPECT_EQ(reply.status, 409);
        EXPECT_EQ(reply.error(), "move_into_descendant");
    }
    Reply toTop = api.patch("/api/v1/nodes/" + c, {{"parent", "root"}});
    EXPECT_EQ(toTop.status, 200);
    EXPECT_TRUE(toTop.json()["parent"].is_null());
    Reply down = api.patch("/api/v1/nodes/" + a, {{"parent", c}});
    EXPECT_EQ(down.status, 200);
    EXPECT_EQ(down.json()["parent"], c);
}

TEST(ServerNodes, TrashRestoreAndPurge) {
    InProcessServer server;
    Api api = server.api();
    std::string folder = api.folder("Pasta")["id"];
    auto file = api.upload("nota.txt", "conteúdo", folder);
    std::string id = file["id"];
    auto blob = server.dataDir() / "blobs" / file["rev"].get<std::string>();
    ASSERT_TRUE(std::filesystem::exists(blob));

    Reply trashed =
        api.del("/api/v1/nodes/" + id, {{"If-Match", std::to_string(file["version"].get<int>())}});
    ASSERT_EQ(trashed.status, 200);
    EXPECT_EQ(trashed.json()["deleted"], true);
    EXPECT_TRUE(trashed.json()["deletedAt"].is_number_integer());
    EXPECT_EQ(api.get("/api/v1/nodes/" + id).status, 404);
    EXPECT_EQ(api.get("/api/v1/nodes/" + id + "?trashed=1").json()["deleted"], true);
    EXPECT_EQ(api.get("/api/v1/nodes?parent=" + folder + "&limit=500").json()["items"].size(), 0u);
    auto inTrash = api.get("/api/v1/trash").json()["items"];
    ASSERT_EQ(inTrash.size(), 1u);
    EXPECT_EQ(inTrash[0]["id"], id);

    Reply restored = api.postEmpty("/api/v1/nodes/" + id + "/restore");
    ASSERT_EQ(restored.status, 200);
    EXPECT_EQ(restored.json()["deleted"], false);
    EXPECT_EQ(restored.json()["parent"], folder);
    EXPECT_EQ(api.get("/api/v1/trash").json()["items"].size(), 0u);

    EXPECT_EQ(api.del("/api/v1/trash/" + id).status, 404) << "a live node is not in the trash";
    ASSERT_EQ(api.del("/api/v1/nodes/" + folder).status, 200);
    EXPECT_EQ(api.del("/api/v1/trash/" + folder).status, 204);
    EXPECT_EQ(api.get("/api/v1/nodes/" + folder + "?trashed=1").status, 404);
    EXPECT_EQ(api.get("/api/v1/nodes/" + id + "?trashed=1").status, 404) << "purged with its folder";
    EXPECT_FALSE(std::filesystem::exists(blob));
}

TEST(ServerNodes, RestoreWhoseFolderIsGoneLandsAtTheTopLevel) {
    InProcessServer server;
    Api api = server.api();
    std::string folder = api.folder("Pasta")["id"];
    std::string child = api.folder("Filho", folder)["id"];
    ASSERT_EQ(api.del("/api/v1/nodes/" + child).status, 200);
    ASSERT_EQ(api.del("/api/v1/nodes/" + folder).status, 200);

    Reply restored = api.postEmpty("/api/v1/nodes/" + child + "/restore");
    ASSERT_EQ(restored.status, 200);
    EXPECT_TRUE(restored.json()["parent"].is_null());
}

TEST(ServerListing, PagesAreStableAndTheLastHasNoNextCursor) {
    InProcessServer server;
    Api api = server.api();
    std::string parent = api.folder("Muitos")["id"];
    std::vector<std::string> made;
    for (int i = 0; i < 7; ++i)
        made.push_back(api.folder("f" + std::to_string(i), parent)["id"]);

    std::vector<std::string> seen;
    std::vector<std::size_t> pageSizes;
    std::string path = "/api/v1/nodes?parent=" + parent + "&limit=3";
    std::string cursor;
    for (int page = 0; page < 10; ++page) {
        Reply reply = api.get(cursor.empty() ? path : path + "&cursor=" + cursor);
        ASSERT_EQ(reply.status, 200);
        auto json = reply.json();
        pageSizes.push_back(json["items"].size());
        for (const auto& item : json["items"])
            seen.push_back(item["id"]);
        if (!json.contains("nextCursor")) break;
        cursor = json["nextCursor"];
    }
    EXPECT_EQ(pageSizes, (std::vector<std::size_t>{3, 3, 1}));
    EXPECT_EQ(seen, made);

    // An empty cursor starts over; a cursor the server never made is refused.
    EXPECT_EQ(api.get(path + "&cursor=").json()["items"].size(), 3u);
    EXPECT_EQ(api.get(path + "&cursor=abc").status, 400);
}

}  // namespace
}  // namespace tw::test
