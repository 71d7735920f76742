// Node reads and mutations over HTTP: tokens, If-Match, name conflicts, moves, trash, listing, space states.

#include "support/service_fixture.h"

#include <gtest/gtest.h>

namespace tw::test {
namespace {

namespace fs = std::filesystem;

TEST(ServerNodes, CreatedFolderReadsBackAndUnknownCallersOrNodesGetTheirCodes) {
    InProcessServer server;
    Api api = server.api();
    auto docs = api.folder("Documentos");
    EXPECT_EQ(docs["kind"], "folder");
    EXPECT_TRUE(docs["parent"].is_null());
    EXPECT_EQ(docs["version"], 1);
    EXPECT_EQ(docs["seq"], 1);
    EXPECT_EQ(docs["deleted"], false);
    EXPECT_EQ(api.folder("Contratos", docs["id"])["parent"], docs["id"]);
    EXPECT_EQ(api.get("/api/v1/nodes/" + docs["id"].get<std::string>()).json(), docs);

    ServiceReply unknown = api.get("/api/v1/nodes/n999");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.error(), "not_found");
    for (const std::string& token : {std::string(), std::string("wrong")}) {
        SCOPED_TRACE("token '" + token + "'");
        ServiceReply reply = Api(server.base(), token).get("/api/v1/nodes?parent=root&limit=500");
        EXPECT_EQ(reply.status, 401);
        EXPECT_EQ(reply.body, R"({"error":"unauthorized"})");
    }
}

TEST(ServerNodes, StaleVersionsUsedNamesAndMovesBelowItselfAreRefusedAndChangeNothing) {
    InProcessServer server;
    Api api = server.api();
    auto first = api.folder("Fotos");
    std::string a = api.folder("A")["id"];
    std::string b = api.folder("B", a)["id"];
    std::string c = api.folder("C", b)["id"];
    ServiceReply renamed = api.patch("/api/v1/nodes/" + a, {{"name", "A2"}}, {{"If-Match", "1"}});
    ASSERT_EQ(renamed.status, 200) << renamed.body;
    EXPECT_EQ(renamed.json()["version"], 2);
    ServiceReply stale = api.patch("/api/v1/nodes/" + a, {{"name", "A3"}}, {{"If-Match", "1"}});
    EXPECT_EQ(stale.status, 412);
    EXPECT_EQ(stale.error(), "version_mismatch");
    EXPECT_EQ(api.del("/api/v1/nodes/" + a, {{"If-Match", "1"}}).status, 412);
    EXPECT_EQ(api.get("/api/v1/nodes/" + a).json()["name"], "A2");

    for (ServiceReply reply : {api.post("/api/v1/nodes", {{"name", "Fotos"}}),
                               api.patch("/api/v1/nodes/" + a, {{"name", "Fotos"}})}) {
        EXPECT_EQ(reply.status, 409);
        EXPECT_EQ(reply.error(), "name_conflict");
        EXPECT_EQ(reply.json()["existing"]["id"], first["id"]);
    }
    // The same name in another folder is fine, and a trashed node frees its name.
    EXPECT_EQ(api.post("/api/v1/nodes", {{"name", "Fotos"}, {"parent", a}}).status, 201);
    ASSERT_EQ(api.del("/api/v1/nodes/" + first["id"].get<std::string>()).status, 200);
    EXPECT_EQ(api.post("/api/v1/nodes", {{"name", "Fotos"}}).status, 201);

    for (const std::string& target : {a, b, c}) {
        SCOPED_TRACE(target);
        ServiceReply reply = api.patch("/api/v1/nodes/" + a, {{"parent", target}});
        EXPECT_EQ(reply.status, 409);
        EXPECT_EQ(reply.error(), "move_into_descendant");
    }
    EXPECT_TRUE(api.patch("/api/v1/nodes/" + c, {{"parent", "root"}}).json()["parent"].is_null());
    EXPECT_EQ(api.patch("/api/v1/nodes/" + a, {{"parent", c}}).json()["parent"], c);
}

TEST(ServerNodes, TrashRestoreAndPurge) {
    InProcessServer server;
    Api api = server.api();
    std::string folder = api.folder("Pasta")["id"];
    auto file = api.upload("nota.txt", "conteúdo", folder);
    std::string id = file["id"];
    auto blob = server.dataDir() / "blobs" / file["rev"].get<std::string>();
    ASSERT_TRUE(fs::exists(blob));

    ServiceReply trashed = api.del("/api/v1/nodes/" + id, {{"If-Match", "1"}});
    ASSERT_EQ(trashed.status, 200);
    EXPECT_EQ(trashed.json()["deleted"], true);
    EXPECT_TRUE(trashed.json()["deletedAt"].is_number_integer());
    EXPECT_EQ(api.get("/api/v1/nodes/" + id).status, 404);
    EXPECT_EQ(api.get("/api/v1/nodes/" + id + "?trashed=1").json()["deleted"], true);
    EXPECT_EQ(api.get("/api/v1/nodes?parent=" + folder + "&limit=500").json()["items"].size(), 0u);
    EXPECT_EQ(api.get("/api/v1/trash").json()["items"][0]["id"], id);

    ServiceReply restored = api.postEmpty("/api/v1/nodes/" + id + "/restore");
    ASSERT_EQ(restored.status, 200);
    EXPECT_EQ(restored.json()["deleted"], false);
    EXPECT_EQ(restored.json()["parent"], folder);
    EXPECT_EQ(api.get("/api/v1/trash").json()["items"].size(), 0u);
    EXPECT_EQ(api.del("/api/v1/trash/" + id).status, 404) << "a live node is not in the trash";

    // A node restored after its folder went to the trash lands at the top level.
    std::string child = api.folder("Filho", folder)["id"];
    ASSERT_EQ(api.del("/api/v1/nodes/" + child).status, 200);
    ASSERT_EQ(api.del("/api/v1/nodes/" + folder).status, 200);
    EXPECT_TRUE(api.postEmpty("/api/v1/nodes/" + child + "/restore").json()["parent"].is_null());

    EXPECT_EQ(api.del("/api/v1/trash/" + folder).status, 204);
    EXPECT_EQ(api.get("/api/v1/nodes/" + folder + "?trashed=1").status, 404);
    EXPECT_EQ(api.get("/api/v1/nodes/" + id + "?trashed=1").status, 404) << "purged with its folder";
    EXPECT_FALSE(fs::exists(blob));
}

TEST(ServerListing, PagesAreStableAndTheLastHasNoNextCursor) {
    InProcessServer server;
    Api api = server.api();
    std::string parent = api.folder("Muitos")["id"];
    std::vector<std::string> made, seen;
    for (int i = 0; i < 7; ++i)
        made.push_back(api.folder("f" + std::to_string(i), parent)["id"]);
    std::vector<std::size_t> pageSizes;
    std::string path = "/api/v1/nodes?parent=" + parent + "&limit=3", cursor;
    for (int page = 0; page < 10; ++page) {
        auto json = api.get(cursor.empty() ? path : path + "&cursor=" + cursor).json();
        pageSizes.push_back(json["items"].size());
        for (const auto& item : json["items"])
            seen.push_back(item["id"]);
        if (!json.contains("nextCursor")) break;
        cursor = json["nextCursor"];
    }
    EXPECT_EQ(pageSizes, (std::vector<std::size_t>{3, 3, 1}));
    EXPECT_EQ(seen, made);
    EXPECT_EQ(api.get(path + "&cursor=").json()["items"].size(), 3u) << "an empty cursor starts over";
    EXPECT_EQ(api.get(path + "&cursor=abc").status, 400);
}

TEST(ServerSpace, EachStateAnswersReadsAndWritesWithItsCode) {
    InProcessServer server;
    Api api = server.api();
    std::string id = api.upload("a.txt", "abc")["id"];
    struct Case {
        nlohmann::json state;
        int readStatus;
        std::string readError;
        int writeStatus;
        std::string writeError;
    };
    for (const auto& c : std::vector<Case>{
             {{{"state", "read_only"}}, 200, "", 402, "payment_required"},
             {{{"state", "read_only"}, {"reason", "account_deleting"}}, 200, "", 403, "account_deleting"},
             {{{"state", "suspended"}}, 403, "space_suspended", 403, "space_suspended"},
             {{{"state", "unavailable"}}, 410, "space_unavailable", 410, "space_unavailable"},
             {{{"state", "normal"}}, 200, "", 201, ""}}) {
        SCOPED_TRACE(c.state.dump());
        ASSERT_EQ(api.post("/_control/space", c.state).status, 200);
        ServiceReply read = api.get("/api/v1/nodes/" + id);
        EXPECT_EQ(read.status, c.readStatus);
        EXPECT_EQ(read.error(), c.readError);
        EXPECT_EQ(api.postEmpty("/api/v1/nodes/" + id + "/open").status, c.readStatus) << "opening reads";
        ServiceReply write = api.post("/api/v1/nodes", {{"name", "folder " + c.state.dump()}});
        EXPECT_EQ(write.status, c.writeStatus);
        EXPECT_EQ(write.error(), c.writeError);
        EXPECT_EQ(api.postBytes("/api/v1/files?name=u&mime=x&conflict=rename", "b").status, c.writeStatus);
    }
}

TEST(ServerDevices, PairingIssuesATokenThatRevokingEnds) {
    auto options = InProcessServer::testOptions();
    options.pairingSecret = "s3cret";
    InProcessServer server(options);
    Api anonymous(server.base(), "");
    nlohmann::json mac = {{"secret", "nope"}, {"name", "Mac de Ana"}, {"kind", "macos"}};
    ServiceReply wrong = anonymous.post("/api/v1/auth/device", mac);
    EXPECT_EQ(wrong.status, 403);
    EXPECT_EQ(wrong.body.find("token"), std::string::npos);

    mac["secret"] = "s3cret";
    std::vector<nlohmann::json> devices;
    for (int i = 0; i < 2; ++i) {
        devices.push_back(anonymous.post("/api/v1/auth/device", mac).json());
        EXPECT_EQ(Api(server.base(), devices[i]["token"]).get("/api/v1/trash").status, 200);
    }
    EXPECT_EQ(server.api().del("/api/v1/devices/" + devices[0]["id"].get<std::string>()).status, 204);
    EXPECT_EQ(Api(server.base(), devices[0]["token"]).get("/api/v1/trash").status, 401);
    Api second(server.base(), devices[1]["token"]);
    EXPECT_EQ(second.post("/api/cloud/auth/app/revoke", nlohmann::json::object()).status, 204);
    EXPECT_EQ(second.get("/api/v1/trash").status, 401);
    EXPECT_EQ(server.api().get("/api/v1/trash").status, 200) << "other tokens stay valid";

    InProcessServer unpaired;  // no pairing secret: every pairing is refused
    EXPECT_EQ(Api(unpaired.base(), "")
                  .post("/api/v1/auth/device", {{"secret", ""}, {"name", "x"}, {"kind", "macos"}})
                  .status,
              403);
}

}  // namespace
}  // namespace tw::test
