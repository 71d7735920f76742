// Direct and multipart uploads: conflict policies, replacing, the server's part size, completion checks.

#include "server_fixture.h"

#include <gtest/gtest.h>

namespace tw::test {
namespace {

namespace fs = std::filesystem;

std::string filesPath(const std::string& name, const std::string& conflict) {
    return "/api/v1/files?name=" + httplib::detail::encode_query_param(name) +
           "&mime=text%2Fplain&conflict=" + conflict;
}

TEST(ServerDirectUpload, StoresTheBytesUnderANewRev) {
    InProcessServer server;
    Api api = server.api();
    Reply reply = api.postBytes(filesPath("Relatório 2025.pdf", "fail"), "conteúdo do relatório");
    ASSERT_EQ(reply.status, 201) << reply.body;
    auto node = reply.json();
    EXPECT_EQ(node["name"], "Relatório 2025.pdf");
    EXPECT_EQ(node["kind"], "file");
    EXPECT_EQ(node["mime"], "text/plain");
    EXPECT_EQ(node["size"], std::string("conteúdo do relatório").size());
    EXPECT_TRUE(node["rev"].is_string());
    EXPECT_EQ(api.download(node["id"]), "conteúdo do relatório");
}

TEST(ServerDirectUpload, ConflictFailAnswers409AndRenamePicksAFreeName) {
    InProcessServer server;
    Api api = server.api();
    auto first = api.upload("a.txt", "1");

    Reply fail = api.postBytes(filesPath("a.txt", "fail"), "2");
    EXPECT_EQ(fail.status, 409);
    EXPECT_EQ(fail.error(), "name_conflict");
    EXPECT_EQ(fail.json()["existing"]["id"], first["id"]);

    Reply renamed = api.postBytes(filesPath("a.txt", "rename"), "3");
    ASSERT_EQ(renamed.status, 201);
    EXPECT_EQ(renamed.json()["name"], "a (1).txt");
    Reply again = api.postBytes(filesPath("a.txt", "rename"), "4");
    EXPECT_EQ(again.json()["name"], "a (2).txt");
    EXPECT_EQ(api.download(first["id"]), "1");
}

TEST(ServerDirectUpload, ReplaceKeepsTheIdAndMakesANewRev) {
    InProcessServer server;
    Api api = server.api();
    auto original = api.upload("doc.txt", "old");
    std::string id = original["id"];
    std::string path = filesPath("doc.txt", "fail") + "&replace=" + id;

    Reply replaced = api.postBytes(path, "new bytes", {{"If-Match", "1"}});
    ASSERT_EQ(replaced.status, 200) << replaced.body;
    EXPECT_EQ(replaced.json()["id"], id);
    EXPECT_EQ(replaced.json()["version"], 2);
    EXPECT_EQ(replaced.json()["size"], 9);
    EXPECT_NE(replaced.json()["rev"], original["rev"]);
    EXPECT_FALSE(fs::exists(server.dataDir() / "blobs" / original["rev"].get<std::string>()));

    Reply stale = api.postBytes(path, "lost", {{"If-Match", "1"}});
    EXPECT_EQ(stale.status, 412);
    EXPECT_EQ(api.download(id), "new bytes");
}

nlohmann::json startUpload(Api& api, const std::string& name, std::int64_t size) {
    Reply started = api.post("/api/v1/uploads", {{"name", name},
                                                 {"size", size},
                                                 {"mime", "application/octet-stream"},
                                                 {"conflict", "fail"},
                                                 {"partSize", 8388608}});
    EXPECT_EQ(started.status, 201) << started.body;
    return started.json();
}

TEST(ServerMultipart, TheServersPartSizeGovernsTheLayout) {
    InProcessServer server;
    Api api = server.api();
    server.service().partSize = 5;
    auto started = startUpload(api, "big.bin", 12);
    EXPECT_EQ(started["partSize"], 5);
    std::string parts = "/api/v1/uploads/" + started["uploadId"].get<std::string>();

    // Parts may arrive in any order.
    EXPECT_EQ(api.put(parts + "/parts/3", "kl").status, 200);
    EXPECT_EQ(api.put(parts + "/parts/1", "abcde").status, 200);
    EXPECT_EQ(api.put(parts + "/parts/2", "fghij").status, 200);
    Reply done = api.postRaw(parts + "/complete", "{}");
    ASSERT_EQ(done.status, 201) << done.body;
    EXPECT_EQ(done.json()["size"], 12);
    EXPECT_EQ(api.download(done.json()["id"]), "abcdefghijkl");
    EXPECT_FALSE(fs::exists(server.dataDir() / "uploads" / started["uploadId"].get<std::string>()));
}

TEST(ServerMultipart, CompleteWithAMissingPartIsRefusedAndStoresNothing) {
    InProcessServer server;
    Api api = server.api();
    server.service().partSize = 4;
    auto started = startUpload(api, "holes.bin", 10);
    std::string parts = "/api/v1/uploads/" + started["uploadId"].get<std::string>();
    ASSERT_EQ(api.put(parts + "/parts/1", "abcd").status, 200);
    ASSERT_EQ(api.put(parts + "/parts/3", "ij").status, 200);

    Reply done = api.postRaw(parts + "/complete", "{}");
    EXPECT_EQ(done.status, 400);
    EXPECT_EQ(done.error(), "missing_parts");
    EXPECT_EQ(done.json()["missing"], nlohmann::json::array({2}));
    EXPECT_EQ(api.get("/api/v1/nodes?parent=root&limit=500").json()["items"].size(), 0u);

    // The session is still there: sending the missing part completes it.
    ASSERT_EQ(api.put(parts + "/parts/2", "efgh").status, 200);
    EXPECT_EQ(api.postRaw(parts + "/complete", "{}").status, 201);
}

TEST(ServerMultipart, PartsOfTheWrongLengthOrNumberAreRefused) {
    InProcessServer server;
    Api api = server.api();
    server.service().partSize = 4;
    auto started = startUpload(api, "p.bin", 10);  // parts of 4, 4 and 2 bytes
    std::string parts = "/api/v1/uploads/" + started["uploadId"].get<std::string>();
    struct Case {
        std::string part;
        std::string bytes;
        std::string error;
    };
    for (const auto& c : std::vector<Case>{{"0", "abcd", "invalid_part"},
                                           {"4", "ab", "invalid_part"},
                                           {"-1", "abcd", "invalid_part"},
                                           {"x", "abcd", "invalid_part"},
                                           {"1", "abc", "part_size"},
                                           {"1", "abcde", "part_size"},
                                           {"3", "abcd", "part_size"}}) {
        SCOPED_TRACE("part " + c.part + " with " + std::to_string(c.bytes.size()) + " bytes");
        Reply reply = api.put(parts + "/parts/" + c.part, c.bytes);
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.error(), c.error);
    }
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "uploads" / started["uploadId"].get<std::string>()));
}

TEST(ServerMultipart, AbortDiscardsTheStagedParts) {
    InProcessServer server;
    Api api = server.api();
    server.service().partSize = 4;
    auto started = startUpload(api, "gone.bin", 8);
    std::string id = started["uploadId"];
    ASSERT_EQ(api.put("/api/v1/uploads/" + id + "/parts/1", "abcd").status, 200);

    EXPECT_EQ(api.del("/api/v1/uploads/" + id).status, 204);
    EXPECT_FALSE(fs::exists(server.dataDir() / "uploads" / id));
    EXPECT_EQ(api.put("/api/v1/uploads/" + id + "/parts/2", "efgh").status, 404);
    EXPECT_EQ(api.postRaw("/api/v1/uploads/" + id + "/complete", "{}").status, 404);
    EXPECT_EQ(api.del("/api/v1/uploads/" + id).status, 404);
}

TEST(ServerMultipart, ReplacingThroughAStartChecksTheVersion) {
    InProcessServer server;
    Api api = server.api();
    std::string id = api.upload("r.bin", "v1")["id"];
    Reply stale = api.post("/api/v1/uploads", {{"name", "r.bin"},
                                               {"size", 3},
                                               {"mime", "x/y"},
                                               {"conflict", "fail"},
                                               {"partSize", 8388608},
                                               {"replace", id},
                                               {"ifMatch", 7}});
    EXPECT_EQ(stale.status, 412);

    Reply started = api.post("/api/v1/uploads", {{"name", "r.bin"},
                                                 {"size", 3},
                                                 {"mime", "x/y"},
                                                 {"conflict", "fail"},
                                                 {"partSize", 8388608},
                                                 {"replace", id},
                                                 {"ifMatch", 1}});
    ASSERT_EQ(started.status, 201);
    std::string parts = "/api/v1/uploads/" + started.json()["uploadId"].get<std::string>();
    ASSERT_EQ(api.put(parts + "/parts/1", "v22").status, 200);
    Reply done = api.postRaw(parts + "/complete", "{}");
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.json()["id"], id);
    EXPECT_EQ(done.json()["version"], 2);
    EXPECT_EQ(api.download(id), "v22");
}

}  // namespace
}  // namespace tw::test
