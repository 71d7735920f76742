// Uploads (direct and in parts), opening files and downloading them: whole, by range, after expiry.

#include "support/elapsed.h"
#include "support/service_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace tw::test {
namespace {

namespace fs = std::filesystem;

std::string filesPath(const std::string& name, const std::string& conflict) {
    return "/api/v1/files?name=" + httplib::detail::encode_query_param(name) +
           "&mime=text%2Fplain&conflict=" + conflict;
}

TEST(ServerUpload, ConflictFailAnswers409AndRenamePicksAFreeName) {
    InProcessServer server;
    Api api = server.api();
    auto first = api.upload("Relatório 2025.txt", "conteúdo");
    EXPECT_EQ(first["kind"], "file");
    EXPECT_EQ(first["mime"], "text/plain");
    EXPECT_EQ(first["size"], std::string("conteúdo").size());

    ServiceReply fail = api.postBytes(filesPath("Relatório 2025.txt", "fail"), "2");
    EXPECT_EQ(fail.status, 409);
    EXPECT_EQ(fail.error(), "name_conflict");
    EXPECT_EQ(fail.json()["existing"]["id"], first["id"]);
    EXPECT_EQ(api.postBytes(filesPath("Relatório 2025.txt", "rename"), "3").json()["name"],
              "Relatório 2025 (1).txt");
    EXPECT_EQ(api.postBytes(filesPath("Relatório 2025.txt", "rename"), "4").json()["name"],
              "Relatório 2025 (2).txt");
    EXPECT_EQ(api.download(first["id"]), "conteúdo");
}

TEST(ServerUpload, ReplaceDirectOrInPartsKeepsTheIdChecksTheVersionAndDropsTheOldContent) {
    InProcessServer server;
    Api api = server.api();
    auto original = api.upload("doc.txt", "old");
    std::string id = original["id"];
    std::string oldUrl = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];
    std::string path = filesPath("doc.txt", "fail") + "&replace=" + id;

    ServiceReply replaced = api.postBytes(path, "new bytes", {{"If-Match", "1"}});
    ASSERT_EQ(replaced.status, 200) << replaced.body;
    EXPECT_EQ(replaced.json()["id"], id);
    EXPECT_EQ(replaced.json()["version"], 2);
    EXPECT_NE(replaced.json()["rev"], original["rev"]);
    EXPECT_FALSE(fs::exists(server.dataDir() / "blobs" / original["rev"].get<std::string>()));
    EXPECT_EQ(Api(server.base(), "").get(oldUrl).status, 404) << "an address of replaced content";
    EXPECT_EQ(api.postBytes(path, "lost", {{"If-Match", "1"}}).status, 412);
    EXPECT_EQ(api.download(id), "new bytes");

    // The same through an upload in parts: the version is checked when it starts.
    nlohmann::json start = {
        {"name", "doc.txt"}, {"size", 3}, {"conflict", "fail"}, {"replace", id}, {"ifMatch", 1}};
    EXPECT_EQ(api.post("/api/v1/uploads", start).status, 412);
    start["ifMatch"] = 2;
    std::string parts =
        "/api/v1/uploads/" + api.post("/api/v1/uploads", start).json()["uploadId"].get<std::string>();
    ASSERT_EQ(api.put(parts + "/parts/1", "v22").status, 200);
    ServiceReply done = api.postRaw(parts + "/complete", "{}");
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.json()["id"], id);
    EXPECT_EQ(done.json()["version"], 3);
    EXPECT_EQ(api.download(id), "v22");
}

TEST(ServerMultipart, PartsInAnyOrderCompleteWrongOrMissingPartsAreRefusedAndAbortDiscards) {
    InProcessServer server;
    Api api = server.api();
    server.service().partSize = 4;  // the server's part size governs the layout: 4, 4 and 2 bytes
    ServiceReply started =
        api.post("/api/v1/uploads", {{"name", "p.bin"}, {"size", 10}, {"partSize", 8388608}});
    ASSERT_EQ(started.status, 201) << started.body;
    EXPECT_EQ(started.json()["partSize"], 4);
    std::string id = started.json()["uploadId"];
    std::string parts = "/api/v1/uploads/" + id;
    struct Case {
        std::string part, bytes, error;
    };
    for (const auto& c : std::vector<Case>{{"0", "abcd", "invalid_part"},
                                           {"4", "ab", "invalid_part"},
                                           {"x", "abcd", "invalid_part"},
                                           {"1", "abc", "part_size"},
                                           {"1", "abcde", "part_size"},
                                           {"3", "abcd", "part_size"}}) {
        SCOPED_TRACE("part " + c.part + " with " + std::to_string(c.bytes.size()) + " bytes");
        ServiceReply reply = api.put(parts + "/parts/" + c.part, c.bytes);
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.error(), c.error);
    }
    EXPECT_TRUE(fs::is_empty(server.dataDir() / "uploads" / id));

    ASSERT_EQ(api.put(parts + "/parts/3", "ij").status, 200);
    ASSERT_EQ(api.put(parts + "/parts/1", "abcd").status, 200);
    ServiceReply early = api.postRaw(parts + "/complete", "{}");
    EXPECT_EQ(early.status, 400);
    EXPECT_EQ(early.error(), "missing_parts");
    EXPECT_EQ(early.json()["missing"], nlohmann::json::array({2}));
    EXPECT_EQ(api.get("/api/v1/nodes?parent=root&limit=500").json()["items"].size(), 0u);

    ASSERT_EQ(api.put(parts + "/parts/2", "efgh").status, 200);
    ServiceReply done = api.postRaw(parts + "/complete", "{}");
    ASSERT_EQ(done.status, 201) << done.body;
    EXPECT_EQ(api.download(done.json()["id"]), "abcdefghij");
    EXPECT_FALSE(fs::exists(server.dataDir() / "uploads" / id));

    // An abort discards the staged parts.
    std::string gone = "/api/v1/uploads/" + api.post("/api/v1/uploads", {{"name", "gone.bin"}, {"size", 8}})
                                                .json()["uploadId"]
                                                .get<std::string>();
    ASSERT_EQ(api.put(gone + "/parts/1", "abcd").status, 200);
    EXPECT_EQ(api.del(gone).status, 204);
    EXPECT_FALSE(fs::exists(server.dataDir() / gone.substr(8)));
    EXPECT_EQ(api.put(gone + "/parts/2", "efgh").status, 404);
    EXPECT_EQ(api.postRaw(gone + "/complete", "{}").status, 404);
}

TEST(ServerMultipart, PartsAreWrittenInPlaceAPartSentAgainReplacesItsBytesAndCompleteWaitsForARewrite) {
    InProcessServer server;
    Api api = server.api();
    server.service().partSize = 4;  // 4, 4 and 2 bytes
    std::string id = api.post("/api/v1/uploads", {{"name", "p.bin"}, {"size", 10}}).json()["uploadId"];
    std::string parts = "/api/v1/uploads/" + id;
    const fs::path file = server.dataDir() / "uploads" / id;
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(api.put(parts + "/parts/1", "abcd").status, 200);
    ASSERT_EQ(api.put(parts + "/parts/2", "efgh").status, 200);
    ASSERT_EQ(api.put(parts + "/parts/3", "ij").status, 200);
    ASSERT_EQ(api.put(parts + "/parts/2", "EFGH").status, 200);  // sent again: the second's bytes stay

    // Part 1 sent again, cut after two of its bytes: the completion waits for it, then finds it missing.
    std::atomic<bool> cut{false};
    std::thread resend([&] {
        httplib::Client client(server.base());
        client.Put(
            parts + "/parts/1", {{"Authorization", "Bearer " + testToken}}, 4,
            [&](std::size_t, std::size_t, httplib::DataSink& sink) {
                sink.write("XY", 2);
                while (!cut)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return false;
            },
            "application/octet-stream");
    });
    auto began = std::chrono::steady_clock::now();
    while (server.service().store->uploadParts(id).count(1) && secondsSince(began) < 5)  // taken back
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto completion =
        std::async(std::launch::async, [&] { return server.api().postRaw(parts + "/complete", "{}"); });
    EXPECT_EQ(completion.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    cut = true;
    resend.join();
    ServiceReply refused = completion.get();
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.json()["missing"], nlohmann::json::array({1}));

    ASSERT_EQ(api.put(parts + "/parts/1", "ABCD").status, 200);
    ServiceReply done = api.postRaw(parts + "/complete", "{}");
    ASSERT_EQ(done.status, 201) << done.body;
    EXPECT_EQ(api.download(done.json()["id"]), "ABCDEFGHij");
    EXPECT_FALSE(fs::exists(file));
    const fs::path blob = server.dataDir() / "blobs" / done.json()["rev"].get<std::string>();
    EXPECT_EQ(fs::status(blob).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    std::string aborted = api.post("/api/v1/uploads", {{"name", "q.bin"}, {"size", 10}}).json()["uploadId"];
    ASSERT_EQ(api.put("/api/v1/uploads/" + aborted + "/parts/1", "abcd").status, 200);
    ASSERT_TRUE(fs::exists(server.dataDir() / "uploads" / aborted));
    EXPECT_EQ(api.del("/api/v1/uploads/" + aborted).status, 204);
    EXPECT_FALSE(fs::exists(server.dataDir() / "uploads" / aborted));
}

TEST(ServerDownload, OpenGivesAnAddressThatServesTheFileOrOneRangeUntilItExpires) {
    InProcessServer server;
    Api api = server.api();
    auto node = api.upload("digits.txt", "0123456789");
    std::string id = node["id"];
    auto opened = api.postEmpty("/api/v1/nodes/" + id + "/open").json();
    EXPECT_EQ(opened["id"], id);
    EXPECT_EQ(opened["size"], 10);
    EXPECT_EQ(opened["version"], node["version"]);
    EXPECT_GT(opened["expiresAt"].get<std::int64_t>(), opened["updatedAt"].get<std::int64_t>());
    EXPECT_EQ(api.postEmpty("/api/v1/nodes/" + api.folder("F")["id"].get<std::string>() + "/open").status,
              409);
    EXPECT_EQ(api.postEmpty("/api/v1/nodes/n404/open").status, 404);

    Api anonymous(server.base(), "");
    std::string url = opened["url"];
    struct Case {
        std::string range;
        int status;
        std::string body, contentRange;
    };
    for (const auto& c : std::vector<Case>{{"", 200, "0123456789", ""},
                                           {"bytes=2-5", 206, "2345", "bytes 2-5/10"},
                                           {"bytes=7-", 206, "789", "bytes 7-9/10"},
                                           {"bytes=8-100", 206, "89", "bytes 8-9/10"},
                                           {"bytes=-3", 206, "789", "bytes 7-9/10"},
                                           {"bytes=10-12", 416, "", "bytes */10"},
                                           {"bytes=0-1,4-5", 200, "0123456789", ""}}) {
        SCOPED_TRACE(c.range);
        ServiceReply reply = c.range.empty() ? anonymous.get(url) : anonymous.get(url, {{"Range", c.range}});
        EXPECT_EQ(reply.status, c.status);
        if (c.status != 416) {
            EXPECT_EQ(reply.body, c.body);
        }
        EXPECT_EQ(reply.header("Content-Range"), c.contentRange);
    }
    EXPECT_EQ(anonymous.get(url).header("Content-Type"), "text/plain");
    EXPECT_EQ(anonymous.get("/blobs/0123456789abcdef").status, 404);
    server.service().openTtlMs = 0;
    ServiceReply expired = anonymous.get(api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"]);
    EXPECT_EQ(expired.status, 403);
    EXPECT_EQ(expired.error(), "link_expired");
}

TEST(ServerDownload, ALargeFileStreamsIntactWholeAndByRange) {
    InProcessServer server;
    Api api = server.api();
    std::string bytes(3 * 1048576 + 17, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7919) % 251);
    std::string id = api.upload("big.bin", bytes)["id"];
    EXPECT_TRUE(api.download(id) == bytes);
    std::string url = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];
    Api anonymous(server.base(), "");  // one connection: it serves another request after a download
    for (int round = 0; round < 2; ++round) {
        ServiceReply piece = anonymous.get(url, {{"Range", "bytes=1048570-2097160"}});
        ASSERT_EQ(piece.status, 206);
        EXPECT_TRUE(piece.body == bytes.substr(1048570, 2097160 - 1048570 + 1));
    }
}

}  // namespace
}  // namespace tw::test
