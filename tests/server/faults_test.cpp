// Fault injection through /_control/faults: the failures the client's tests provoke.

#include "support/elapsed.h"
#include "support/service_fixture.h"

#include <gtest/gtest.h>

#include <chrono>

namespace tw::test {
namespace {

using Clock = std::chrono::steady_clock;

TEST(ServerFaults, StatusDelayAndDropRulesShapeTheNextRequestsOnlyAndBadRulesAreRefused) {
    InProcessServer server;
    Api api = server.api();
    ASSERT_EQ(api.post("/_control/faults", {{"method", "GET"},
                                            {"path", "/api/v1/nodes*"},
                                            {"times", 2},
                                            {"status", 503},
                                            {"body", {{"error", "busy"}}}})
                  .status,
              201);
    std::vector<int> statuses;
    for (int i = 0; i < 3; ++i)
        statuses.push_back(api.get("/api/v1/nodes?parent=root&limit=500").status);
    EXPECT_EQ(statuses, (std::vector<int>{503, 503, 200}));
    EXPECT_EQ(api.get("/_control/faults").json()["faults"][0]["hits"], 2);
    EXPECT_EQ(api.post("/api/v1/nodes", {{"name", "x"}}).status, 201) << "other methods are not matched";

    ASSERT_EQ(api.post("/_control/faults", {{"path", "/api/v1/trash"}, {"delayMs", 300}}).status, 201);
    auto start = Clock::now();
    EXPECT_EQ(api.get("/api/v1/trash").status, 200);
    EXPECT_GE(secondsSince(start), 0.29);
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/api/v1/trash"}, {"drop", true}}).status, 201);
    EXPECT_EQ(api.get("/api/v1/trash").status, 0) << "closed before any reply";
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/api/v1/trash"}, {"cutAfter", 5}}).status, 201);
    EXPECT_EQ(api.get("/api/v1/trash").status, 0) << "cut inside the body";
    start = Clock::now();
    EXPECT_EQ(api.get("/api/v1/trash").status, 200);
    EXPECT_LT(secondsSince(start), 0.25) << "each rule was for one request";

    ASSERT_EQ(api.post("/_control/faults", {{"path", "*"}, {"status", 500}, {"times", -1}}).status, 201);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(api.get("/api/v1/trash").error(), "injected");
    EXPECT_EQ(api.del("/_control/faults").status, 204);
    EXPECT_EQ(api.get("/api/v1/trash").status, 200);

    for (const auto& rule :
         {nlohmann::json{{"status", 503}}, nlohmann::json{{"path", "*"}, {"status", 42}},
          nlohmann::json{{"path", "*"}, {"times", 0}}, nlohmann::json{{"path", "*"}, {"delayMs", -1}}}) {
        SCOPED_TRACE(rule.dump());
        EXPECT_EQ(api.post("/_control/faults", rule).status, 400);
    }
    auto options = InProcessServer::testOptions();
    options.allowFaults = false;
    InProcessServer strict(options);
    EXPECT_EQ(strict.api().post("/_control/faults", {{"path", "*"}, {"status", 503}}).status, 404);
    EXPECT_EQ(strict.api().get("/api/v1/trash").status, 200);
}

TEST(ServerFaults, DownloadRulesCutIgnoreRangeShortenAndStall) {
    InProcessServer server;
    Api api = server.api();
    std::string id = api.upload("f.bin", std::string(50'000, 'x'))["id"];
    std::string url = api.postEmpty("/api/v1/nodes/" + id + "/open").json()["url"];
    Api anonymous(server.base(), "");
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/blobs/*"}, {"ignoreRange", true}}).status, 201);
    ServiceReply whole = anonymous.get(url, {{"Range", "bytes=0-99"}});
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body.size(), 50'000u);
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/blobs/*"}, {"shortBy", 10}}).status, 201);
    ServiceReply shortReply = anonymous.get(url, {{"Range", "bytes=0-99"}});
    EXPECT_EQ(shortReply.status, 206);
    EXPECT_EQ(shortReply.header("Content-Range"), "bytes 0-99/50000");
    EXPECT_EQ(shortReply.body.size(), 90u);

    httplib::Client client(server.base());
    std::size_t received = 0, atStall = 0;
    auto count = [&](const char*, std::size_t size) {
        received += size;
        return true;
    };
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/blobs/*"}, {"cutAfter", 1000}}).status, 201);
    EXPECT_FALSE(client.Get(url, count));
    EXPECT_EQ(received, 1000u);

    ASSERT_EQ(
        api.post("/_control/faults", {{"path", "/blobs/*"}, {"stallMs", 400}, {"stallAfter", 1000}}).status,
        201);
    received = 0;
    Clock::time_point firstBytes{};
    ASSERT_TRUE(client.Get(url, [&](const char* data, std::size_t size) {
        if (received == 0) firstBytes = Clock::now();
        if (secondsSince(firstBytes) < 0.2) atStall = received + size;
        return count(data, size);
    }));
    EXPECT_EQ(received, 50'000u);
    EXPECT_EQ(atStall, 1000u) << "bytes that came before the pause";
    // The pause is 400 ms from the first bytes' departure; on a loaded machine they may reach us late.
    EXPECT_GE(secondsSince(firstBytes), 0.3);
}

}  // namespace
}  // namespace tw::test
