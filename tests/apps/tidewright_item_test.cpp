// The command-line host run as a process against tidewright-server.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "cli_fixture.h"

namespace tw::test {
namespace {

using nlohmann::json;

TEST_F(CliTest, ItemReportsFilesFoldersAndTrashedNodesAndFailsForAnUnknownId) {
    Api api = server.api();
    const auto folder = api.folder("Relatórios");
    const auto file = api.upload("Relatório 2025.pdf", "abc", folder["id"]);
    const auto trashed = api.upload("a.txt", "x");
    ASSERT_EQ(api.del("/api/v1/nodes/" + trashed["id"].get<std::string>()).status, 200);
    const auto itemOf = [&](const std::string& id) {
        const auto run = tidewright({"--json", "item", id});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.lines.size(), 1u);
        return json::parse(run.lines.at(0));
    };

    const auto item = itemOf(file["id"]);
    EXPECT_EQ(item["id"], file["id"]);
    EXPECT_EQ(item["parent"], folder["id"]);
    EXPECT_EQ(item["filename"], "Relatório 2025.pdf");
    EXPECT_EQ(item["contentType"], "application/pdf");
    EXPECT_EQ(item["capabilities"], 127);
    EXPECT_EQ(item["contentVersion"], file["rev"]);
    EXPECT_EQ(item["metadataVersion"], std::to_string(file["version"].get<std::int64_t>()));
    EXPECT_EQ(item["size"], 3);
    EXPECT_DOUBLE_EQ(item["created"].get<double>(), file["createdAt"].get<double>() / 1000.0);
    EXPECT_DOUBLE_EQ(item["modified"].get<double>(), file["updatedAt"].get<double>() / 1000.0);
    EXPECT_EQ(item.size(), 10u);

    const auto folderItem = itemOf(folder["id"]);
    EXPECT_FALSE(folderItem.contains("size"));
    EXPECT_EQ(folderItem["contentType"], "public.folder");
    EXPECT_EQ(folderItem["parent"], "NSFileProviderRootContainerItemIdentifier");
    EXPECT_EQ(itemOf(trashed["id"])["parent"], "NSFileProviderTrashContainerItemIdentifier");

    const auto unknown = tidewright({"--json", "item", "n-does-not-exist"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(unknown.lines.empty());
    EXPECT_EQ(json::parse(unknown.err)["error"]["domain"], "NSFileProviderErrorDomain");
    EXPECT_EQ(json::parse(unknown.err)["error"]["code"], -1005);

    ::chmod(configFile.c_str(), 0644);
    const auto exposed = tidewright({"item", "root"});
    EXPECT_EQ(exposed.status, 0);
    EXPECT_NE(exposed.err.find("readable by other users"), std::string::npos) << exposed.err;
    EXPECT_EQ(exposed.err.find(testToken), std::string::npos);
}

TEST(CliUnconfigured, StillShowsTheContainersAndRefusesNodes) {
    TempDir empty;
    const auto run = [&](const std::string& config, std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/env", config, "XDG_CONFIG_HOME=" + empty.path().string(),
                                   tidewrightPath(), "--json"});
        return runProgram(args);
    };
    const auto root = run("TIDEWRIGHT_CONFIG=", {"--name", "Meu espaço", "item", "root"});  // empty is unset
    ASSERT_EQ(root.status, 0) << root.err;
    EXPECT_EQ(json::parse(root.lines.at(0))["filename"], "Meu espaço");
    EXPECT_EQ(json::parse(root.lines.at(0))["capabilities"], 3);
    EXPECT_EQ(json::parse(run("-uTIDEWRIGHT_CONFIG", {"item", "trash"}).lines.at(0))["filename"], "Lixeira");
    const auto node = run("-uTIDEWRIGHT_CONFIG", {"item", "n1"});
    EXPECT_EQ(node.status, 1);
    EXPECT_EQ(json::parse(node.err)["error"]["code"], -1000);
}

TEST(CliAgainstScriptedService, ItemLooksWorkingSetUpAsAnIdAndTheVerboseLogEscapesTheServiceErrorCode) {
    TestServer service;
    scriptJson(service, "/api/v1/nodes/working-set",
               {R"({"id":"working-set","kind":"file","name":"w.txt","version":1})"});
    scriptJson(service, "/api/v1/nodes/n1", {R"({"error":"bad\u001b]0;owned\u0007"})"}, 400);

    const auto found = tidewrightAt(service.base(), {"item", "working-set"});
    ASSERT_EQ(found.status, 0) << found.err;
    EXPECT_TRUE(found.lines.at(0).starts_with("working-set\troot\tw.txt\t")) << found.lines.at(0);

    const auto refused = tidewrightAt(service.base(), {"--verbose", "item", "n1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("bad\\x1b]0;owned\\x07"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find('\x1b'), std::string::npos);
}

TEST_F(CliTest, BadCommandLinesAndConfigurationsAreUsageErrors) {
    EXPECT_EQ(runProgram({tidewrightPath()}).status, 2);
    EXPECT_EQ(runProgram({tidewrightPath(), "item"}).status, 2);
    EXPECT_EQ(runProgram({tidewrightPath(), "--config", "/nonexistent/domain.json", "item", "root"}).status,
              2);

    const auto notJson = dir.path() / "broken.json";
    std::ofstream(notJson) << "{\"base\": ";
    ::chmod(notJson.c_str(), 0600);
    const auto broken = runProgram({tidewrightPath(), "--config", notJson.string(), "item", "root"});
    EXPECT_EQ(broken.status, 2);
    EXPECT_NE(broken.err.find("not a JSON object"), std::string::npos) << broken.err;
}

}  // namespace
}  // namespace tw::test
