// The command-line host run as a process against tidewright-server.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "cli_fixture.h"
#include "scripted_service.h"

namespace tw::test {
namespace {

TEST_F(CliTest, ItemOfAFileReportsEveryKeyOfTheNode) {
    Api api = server.api();
    const auto folder = api.folder("Relatórios");
    const auto file = api.upload("Relatório 2025.pdf", "abc", folder["id"]);

    const auto run = tidewright({"--json", "item", file["id"]});

    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.lines.size(), 1u);
    const auto item = nlohmann::json::parse(run.lines[0]);
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
}

TEST_F(CliTest, FolderHasNoSizeAndTrashedNodeSitsInTheTrash) {
    Api api = server.api();
    const auto folder = api.folder("Fotos");
    const auto file = api.upload("a.txt", "x");
    ASSERT_EQ(api.del("/api/v1/nodes/" + file["id"].get<std::string>(),
                      {{"If-Match", std::to_string(file["version"].get<std::int64_t>())}})
                      .status /
                  100,
              2);

    const auto folderRun = tidewright({"--json", "item", folder["id"]});
    ASSERT_EQ(folderRun.status, 0) << folderRun.err;
    const auto folderItem = nlohmann::json::parse(folderRun.lines.at(0));
    EXPECT_FALSE(folderItem.contains("size"));
    EXPECT_EQ(folderItem["contentType"], "public.folder");
    EXPECT_EQ(folderItem["parent"], "NSFileProviderRootContainerItemIdentifier");

    const auto trashedRun = tidewright({"--json", "item", file["id"]});
    ASSERT_EQ(trashedRun.status, 0) << trashedRun.err;
    EXPECT_EQ(nlohmann::json::parse(trashedRun.lines.at(0))["parent"],
              "NSFileProviderTrashContainerItemIdentifier");
}

TEST_F(CliTest, UnknownIdFailsWithNoSuchItem) {
    const auto run = tidewright({"--json", "item", "n-does-not-exist"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.lines.empty());
    const auto error = nlohmann::json::parse(run.err)["error"];
    EXPECT_EQ(error["domain"], "NSFileProviderErrorDomain");
    EXPECT_EQ(error["code"], -1005);
}

TEST_F(CliTest, UnconfiguredDomainStillShowsTheContainers) {
    TempDir empty;
    const std::string env = "XDG_CONFIG_HOME=" + empty.path().string();

    // An empty TIDEWRIGHT_CONFIG counts as unset.
    const auto root = runProgram({"/usr/bin/env", "TIDEWRIGHT_CONFIG=", env, tidewrightPath(), "--json",
                                  "--name", "Meu espaço", "item", "root"});
    ASSERT_EQ(root.status, 0) << root.err;
    const auto rootItem = nlohmann::json::parse(root.lines.at(0));
    EXPECT_EQ(rootItem["filename"], "Meu espaço");
    EXPECT_EQ(rootItem["capabilities"], 3);

    const auto trash = runProgram(
        {"/usr/bin/env", "-u", "TIDEWRIGHT_CONFIG", env, tidewrightPath(), "--json", "item", "trash"});
    ASSERT_EQ(trash.status, 0) << trash.err;
    EXPECT_EQ(nlohmann::json::parse(trash.lines.at(0))["filename"], "Lixeira");

    const auto node = runProgram(
        {"/usr/bin/env", "-u", "TIDEWRIGHT_CONFIG", env, tidewrightPath(), "--json", "item", "n1"});
    EXPECT_EQ(node.status, 1);
    EXPECT_EQ(nlohmann::json::parse(node.err)["error"]["code"], -1000);
}

TEST(CliAgainstScriptedService, ItemWorkingSetLooksTheWordUpAsAnIdentifier) {
    ScriptedService service;
    service.script("/api/v1/nodes/working-set",
                   {R"({"id":"working-set","kind":"file","name":"w.txt","version":1})"});
    TempDir dir;
    const auto run = runProgram(
        {tidewrightPath(), "--config", writeConfig(dir.path(), service.base()), "item", "working-set"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.lines.at(0).starts_with("working-set\troot\tw.txt\t")) << run.lines.at(0);
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

TEST_F(CliTest, ConfigurationReadableByOthersIsWarnedAbout) {
    ::chmod(configFile.c_str(), 0644);
    const auto run = tidewright({"item", "root"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("readable by other users"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(testToken), std::string::npos);
}

}  // namespace
}  // namespace tw::test
