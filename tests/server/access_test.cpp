// Device pairing and revocation, and the space states.

#include "server_fixture.h"

#include <gtest/gtest.h>

namespace tw::test {
namespace {

server::Options withSecret(const std::string& secret) {
    auto options = InProcessServer::testOptions();
    options.pairingSecret = secret;
    return options;
}

TEST(ServerDevices, PairingWithTheSecretIssuesAWorkingToken) {
    InProcessServer server(withSecret("s3cret"));
    Api anonymous(server.base(), "");
    Reply wrong =
        anonymous.post("/api/v1/auth/device", {{"secret", "nope"}, {"name", "Mac"}, {"kind", "macos"}});
    EXPECT_EQ(wrong.status, 403);
    EXPECT_EQ(wrong.body.find("token"), std::string::npos);

    Reply paired = anonymous.post("/api/v1/auth/device",
                                  {{"secret", "s3cret"}, {"name", "Mac de Ana"}, {"kind", "macos"}});
    ASSERT_EQ(paired.status, 201) << paired.body;
    std::string token = paired.json()["token"];
    std::string id = paired.json()["id"];
    EXPECT_EQ(Api(server.base(), token).get("/api/v1/trash").status, 200);

    EXPECT_EQ(server.api().del("/api/v1/devices/" + id).status, 204);
    EXPECT_EQ(Api(server.base(), token).get("/api/v1/trash").status, 401);
    EXPECT_EQ(server.api().del("/api/v1/devices/" + id).status, 404);
    EXPECT_EQ(server.api().del("/api/v1/devices/").status, 404);
}

TEST(ServerDevices, WithoutAPairingSecretEveryPairingIsRefused) {
    InProcessServer server;
    Reply reply = Api(server.base(), "")
                      .post("/api/v1/auth/device", {{"secret", ""}, {"name", "x"}, {"kind", "macos"}});
    EXPECT_EQ(reply.status, 403);
}

TEST(ServerDevices, CloudRevokeRevokesTheTokenItWasCalledWith) {
    InProcessServer server(withSecret("s"));
    std::string token = Api(server.base(), "")
                            .post("/api/v1/auth/device", {{"secret", "s"}, {"name", "PC"}, {"kind", "macos"}})
                            .json()["token"];
    Api device(server.base(), token);
    EXPECT_EQ(device.post("/api/cloud/auth/app/revoke", nlohmann::json::object()).status, 204);
    EXPECT_EQ(device.get("/api/v1/trash").status, 401);
    EXPECT_EQ(device.post("/api/cloud/auth/app/revoke", nlohmann::json::object()).status, 401);
    EXPECT_EQ(server.api().get("/api/v1/trash").status, 200) << "other tokens stay valid";
}

TEST(ServerSpace, EachStateAnswersReadsAndWritesAsDocumented) {
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
        Reply read = api.get("/api/v1/nodes/" + id);
        EXPECT_EQ(read.status, c.readStatus);
        EXPECT_EQ(read.error(), c.readError);
        Reply opened = api.postEmpty("/api/v1/nodes/" + id + "/open");
        EXPECT_EQ(opened.status, c.readStatus == 200 ? 200 : c.readStatus) << "opening is a read";
        Reply write = api.post("/api/v1/nodes", {{"name", "folder " + c.state.dump()}});
        EXPECT_EQ(write.status, c.writeStatus);
        EXPECT_EQ(write.error(), c.writeError);
        Reply upload = api.postBytes("/api/v1/files?name=u&mime=x&conflict=rename", "bytes");
        EXPECT_EQ(upload.status, c.writeStatus);
    }
    EXPECT_EQ(api.post("/_control/space", {{"state", "frozen"}}).status, 400);
}

}  // namespace
}  // namespace tw::test
