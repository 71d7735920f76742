// Uploads, direct and in parts; opening and downloading files; faults injected through /_control/faults.

#include "server_helpers.h"

#include <atomic>
#include <future>
#include <thread>

namespace tw::test {
namespace {

std::string filesPath(const std::string& name, const std::string& conflict) {
    return "/api/v1/files?name=" + httplib::detail::encode_query_param(name) +
           "&mime=text%2Fplain&conflict=" + conflict;
}

TEST_F(LocalService, ConflictFailAnswers409RenamePicksAFreeNameReplaceKeepsTheId) {
    const std::string name = "Relatório 2025.txt";
    auto first = api.upload(name, "conteúdo");
    ServiceReply fail = api.postBytes(filesPath(name, "fail"), "2");
    EXPECT_EQ(said(fail), "409 name_conflict");
    EXPECT_EQ(fail.json()["existing"]["id"], first["id"]);
    for (const char* expected : {"Relatório 2025 (1).txt", "Relatório 2025 (2).txt"})
        EXPECT_EQ(api.postBytes(filesPath(name, "rename"), "3").json()["name"], expected);

    // Replacing, directly or in parts, keeps the id, checks the version and drops the old content.
    std::string id = first["id"], path = filesPath(name, "fail") + "&replace=" + id;

    ServiceReply replaced = api.postBytes(path, "new bytes", {{"If-Match", "1"}});
    ASSERT_EQ(replaced.status, 200) << replaced.body;
    EXPECT_EQ(pick(replaced.json(), {"id", "version"}), Json::array({id, 2}));
    EXPECT_FALSE(fs::exists(server.dataDir() / "blobs" / first["rev"].get<std::string>())) << "a new rev";
    EXPECT_EQ(api.postBytes(path, "lost", {{"If-Match", "1"}}).status, 412);
    EXPECT_EQ(api.download(id), "new bytes");

    // The same through an upload in parts: the version is checked when it starts.
    Json start = {{"name", name}, {"size", 3}, {"conflict", "fail"}, {"replace", id}, {"ifMatch", 1}};
    EXPECT_EQ(api.post("/api/v1/uploads", start).status, 412);
    start["ifMatch"] = 2;
    std::string parts =
        "/api/v1/uploads/" + api.post("/api/v1/uploads", start).json()["uploadId"].get<std::string>();
    ASSERT_EQ(api.put(parts + "/parts/1", "v22").status, 200);
    ServiceReply done = api.postRaw(parts + "/complete", "{}");
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(pick(done.json(), {"id", "version"}), Json::array({id, 3}));
    EXPECT_EQ(api.download(id), "v22");
}

TEST_F(LocalService, PartsCompleteInAnyOrderAndWrongMissingOrRewrittenPartsAreHandled) {
    server.service().partSize = 4;  // the server's part size governs the layout: 4, 4 and 2 bytes
    ServiceReply started =
        api.post("/api/v1/uploads", {{"name", "p.bin"}, {"size", 10}, {"partSize", 8388608}});
    ASSERT_EQ(started.status, 201) << started.body;
    EXPECT_EQ(started.json()["partSize"], 4);
    std::string id = started.json()["uploadId"], parts = "/api/v1/uploads/" + id;
    const fs::path file = server.dataDir() / "uploads" / id;
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    for (const auto& [part, bytes] : Pairs{{"0", "abcd"}, {"4", "ab"}, {"x", "abcd"}})
        EXPECT_EQ(said(api.put(parts + "/parts/" + part, bytes)), "400 invalid_part") << part;
    for (const auto& [part, bytes] : Pairs{{"1", "abc"}, {"1", "abcde"}, {"3", "abcd"}})
        EXPECT_EQ(said(api.put(parts + "/parts/" + part, bytes)), "400 part_size") << part << " " << bytes;
    EXPECT_TRUE(fs::is_empty(file));

    ASSERT_EQ(api.put(parts + "/parts/3", "ij").status, 200);
    ASSERT_EQ(api.put(parts + "/parts/1", "abcd").status, 200);
    ServiceReply early = api.postRaw(parts + "/complete", "{}");
    EXPECT_EQ(said(early), "400 missing_parts");
    EXPECT_EQ(early.json()["missing"], Json::array({2}));
    for (const auto& [part, bytes] : Pairs{{"2", "efgh"}, {"2", "EFGH"}})
        ASSERT_EQ(api.put(parts + "/parts/" + part, bytes).status, 200);  // the second replaces the first

    // Part 1 sent again, cut after two of its bytes: the completion waits for it, then finds it missing.
    std::atomic<bool> cut{false};
    std::thread resend([&] {
        httplib::Client(server.base())
            .Put(
                parts + "/parts/1", {{"Authorization", "Bearer " + testToken}}, 4,
                [&](std::size_t, std::size_t, httplib::DataSink& sink) {
                    sink.write("XY", 2);
                    while (!cut)
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    return false;
                },
                "application/octet-stream");
    });
    waitUntil(5, [&] { return !server.service().store->uploadParts(id).count(1); });  // taken back
    auto completion =
        std::async(std::launch::async, [&] { return server.api().postRaw(parts + "/complete", "{}"); });
    EXPECT_EQ(completion.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    cut = true;
    resend.join();
    ServiceReply refused = completion.get();
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.json()["missing"], Json::array({1}));

    ASSERT_EQ(api.put(parts + "/parts/1", "ABCD").status, 200);
    ServiceReply done = api.postRaw(parts + "/complete", "{}");
    ASSERT_EQ(done.status, 201) << done.body;
    EXPECT_EQ(api.download(done.json()["id"]), "ABCDEFGHij");
    EXPECT_FALSE(fs::exists(file)) << "moved to the blobs as it is, its mode too";

    // An upload given up goes with its file.
    std::string gone = api.post("/api/v1/uploads", {{"name", "gone.bin"}, {"size", 8}}).json()["uploadId"];
    EXPECT_EQ(api.del("/api/v1/uploads/" + gone).status, 204);
    EXPECT_FALSE(fs::exists(server.dataDir() / "uploads" / gone));
    EXPECT_EQ(api.postRaw("/api/v1/uploads/" + gone + "/complete", "{}").status, 404);
}

TEST_F(LocalService, OpenGivesAnAddressThatServesTheFileOrOneRangeUntilItExpires) {
    auto node = api.upload("digits.txt", "0123456789");
    std::string id = node["id"];
    auto opened = api.postEmpty(nodeAt(id) + "/open").json();
    EXPECT_EQ(pick(opened, {"id", "size", "version"}), Json::array({id, 10, node["version"]}));
    EXPECT_GT(opened["expiresAt"].get<std::int64_t>(), opened["updatedAt"].get<std::int64_t>());
    EXPECT_EQ(api.postEmpty(nodeAt(api.folder("F")["id"]) + "/open").status, 409);

    Api anonymous(server.base(), "");
    std::string url = opened["url"];
    // Each range's status, body and Content-Range.
    for (const auto& [range, expected] :
         Pairs{{"", "200 0123456789 "},
               {"bytes=2-5", "206 2345 bytes 2-5/10"},
               {"bytes=7-", "206 789 bytes 7-9/10"},
               {"bytes=8-100", "206 89 bytes 8-9/10"},
               {"bytes=-3", "206 789 bytes 7-9/10"},
               {"bytes=10-12", R"(416 {"error":"range_not_satisfiable"} bytes */10)"},
               {"bytes=0-1,4-5", "200 0123456789 "}}) {
        ServiceReply reply =
            anonymous.get(url, range.empty() ? httplib::Headers{} : httplib::Headers{{"Range", range}});
        EXPECT_EQ(std::to_string(reply.status) + " " + reply.body + " " + reply.header("Content-Range"),
                  expected);
    }
    EXPECT_EQ(anonymous.get(url).header("Content-Type"), "text/plain");
    EXPECT_EQ(anonymous.get("/blobs/0123456789abcdef").status, 404);
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/blobs/*"}, {"ignoreRange", true}}).status, 201);
    EXPECT_EQ(anonymous.get(url, {{"Range", "bytes=2-5"}}).body, "0123456789") << "the range ignored";
    // Ranges across MiB pieces, many on one connection: the command-line tests' hundred-MiB cat.
    server.service().openTtlMs = 0;
    EXPECT_EQ(said(anonymous.get(openUrl(api, id))), "403 link_expired");
}

TEST_F(LocalService, StatusAndDropRulesShapeTheNextRequestsOnly) {
    auto fault = [&](const Json& rule) { EXPECT_EQ(api.post("/_control/faults", rule).status, 201) << rule; };
    fault(Json::parse(R"({"method": "GET", "path": "/api/v1/nodes*", "times": 2, "status": 503,
                          "body": {"error": "busy"}})"));
    EXPECT_EQ(api.post("/api/v1/nodes", {{"name", "x"}}).status, 201) << "other methods are not matched";
    for (const char* answer : {"503 busy", "503 busy", "200 "})
        EXPECT_EQ(said(api.get("/api/v1/nodes?parent=root&limit=500")), answer);

    fault({{"path", "/api/v1/trash"}, {"drop", true}});
    EXPECT_EQ(api.get("/api/v1/trash").status, 0) << "closed before any reply";
    EXPECT_EQ(api.get("/api/v1/trash").status, 200) << "a rule without times is for one request";
}

}  // namespace
}  // namespace tw::test
