// tidewright item, pair, revoke and bad command lines, run as processes against tidewright-server.
#include "cli_fixture.h"

namespace tw::test {
namespace {

// (A folder's item: in ReadableLinesEscapeNames...; a trashed node's: in MkdirMvAndTheOtherFileCommands...)
TEST_F(CliTest, ItemReportsFilesAndFailsForAnUnknownId) {
    const auto file = api.upload("Relatório 2025.pdf", "abc");
    const auto item = itemFrom({"item", file["id"]});
    EXPECT_EQ(item, (json{{"id", file["id"]},
                          {"parent", "NSFileProviderRootContainerItemIdentifier"},
                          {"filename", "Relatório 2025.pdf"},
                          {"contentType", "application/pdf"},
                          {"capabilities", 127},
                          {"contentVersion", file["rev"]},
                          {"metadataVersion", std::to_string(file["version"].get<std::int64_t>())},
                          {"size", 3},
                          {"created", item["created"]},
                          {"modified", item["modified"]}}));
    EXPECT_DOUBLE_EQ(item["created"].get<double>(), file["createdAt"].get<double>() / 1000.0);
    EXPECT_EQ(errorCodeOf({"item", "n-does-not-exist"}), -1005);

    ::chmod(configFile.c_str(), 0644);
    const auto exposed = tidewright({"item", "root"});
    EXPECT_EQ(exposed.status, 0);
    EXPECT_NE(exposed.err.find("readable by other users"), std::string::npos) << exposed.err;
    EXPECT_EQ(exposed.err.find(testToken), std::string::npos);
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
    EXPECT_NE(refused.err.find("bad\\x1b]0;owned\\x07"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find('\x1b'), std::string::npos);
}

TEST_F(CliTest, BadCommandLinesAndConfigurationsAreUsageErrors) {
    EXPECT_EQ(runProgram({tidewrightPath}).status, 2);
    EXPECT_EQ(runProgram({tidewrightPath, "--config", "/nonexistent/domain.json", "item", "root"}).status, 2);
    std::ofstream(configFile) << "{\"base\": ";
    const auto broken = tidewright({"item", "root"});
    EXPECT_EQ(broken.status, 2);
    EXPECT_NE(broken.err.find("not a JSON object"), std::string::npos) << broken.err;
}

// An empty TIDEWRIGHT_CONFIG counts as unset: with no configuration the containers still answer, a node not.
TEST(CliUnconfigured, ShowsTheContainersAndRefusesNodes) {
    TempDir empty;
    const auto run = [&](const std::string& id) {
        return runProgram({"/usr/bin/env", "TIDEWRIGHT_CONFIG=", "XDG_CONFIG_HOME=" + empty.path().string(),
                           tidewrightPath, "--json", "--name", "Meu espaço", "item", id});
    };
    const auto root = run("root");
    ASSERT_EQ(root.status, 0) << root.err;
    EXPECT_EQ(root.line()["filename"], "Meu espaço");
    const auto node = run("n1");
    EXPECT_EQ(node.status, 1);
    EXPECT_EQ(node.error()["code"], -1000);
}

// An exception that is not a host error (memory runs out reading an endless configuration) still ends in
// one JSON error line and status 1.
TEST(CliUnexpectedFailure, EndsWithOneErrorLineAndStatusOne) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under an address-space limit";
#endif
    const auto run = shell("ulimit -v 262144; { printf '{\"a\":\"'; yes | tr -d '\\n'; } 2>/dev/null | " +
                           tidewrightPath + " --json --config /dev/stdin item root");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.error()["message"], "std::bad_alloc");
}

TEST(CliPairing, PairsWithTheSecretThenRevokesAndForgetsOnlyWhatIsRevoked) {
    auto options = InProcessServer::testOptions();
    options.pairingSecret = "s3cret";
    InProcessServer server(options);
    TempDir dir;
    const auto config = dir.path() / "new" / "tidewright" / "domain.json";
    std::ofstream(dir.path() / "wrong") << "n0pe\n";
    // The secret goes in on standard input when no file is given, as a person would type it.
    const auto pair = [&](const std::string& extra = "") {
        return shell("printf 's3cret\\n' | " + tidewrightPath + " --config " + config.string() + " pair " +
                     server.base() + " --name 'Laptop do Zé' " + extra);
    };
    const auto tool = [&](const std::string& args) {
        return shell(tidewrightPath + " --json --config " + config.string() + " " + args);
    };

    EXPECT_EQ(pair("--secret-file " + (dir.path() / "wrong").string()).status, 1);
    EXPECT_FALSE(std::filesystem::exists(config.parent_path()));

    const auto paired = pair();
    ASSERT_EQ(paired.status, 0) << paired.err;
    const auto written = json::parse(fileText(config));
    EXPECT_EQ(std::filesystem::status(config).permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(std::filesystem::status(config.parent_path()).permissions(), std::filesystem::perms(0700));
    EXPECT_EQ(paired.err.find(written["token"].get<std::string>()), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(config.parent_path()), {}), 1);

    // An existing configuration is kept, and nothing is asked of the service.
    EXPECT_EQ(pair().status, 1);
    EXPECT_EQ(json::parse(fileText(config)), written);

    EXPECT_EQ(tool("ls").status, 0);
    EXPECT_EQ(tool("revoke").lines, std::vector<std::string>{R"({"revoked":true})"});
    EXPECT_EQ(tool("ls").error()["code"], -1000);  // notAuthenticated

    // A device the service no longer knows counts as revoked: its token is refused (401), or its id is
    // unknown (404), and --forget removes the configuration that opens nothing any more.
    const auto again = tool("revoke --forget");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.lines, std::vector<std::string>{R"({"revoked":true,"alreadyRevoked":true})"});
    EXPECT_FALSE(std::filesystem::exists(config));
    std::filesystem::create_directories(config.parent_path());
    std::ofstream(config)
        << json{{"base", server.base()}, {"token", testToken}, {"deviceId", "d-unknown"}}.dump();
    EXPECT_EQ(tool("revoke --forget").lines,
              std::vector<std::string>{R"({"revoked":true,"alreadyRevoked":true})"});
    EXPECT_FALSE(std::filesystem::exists(config));

    // A failed revocation never forgets the configuration; a successful one does.
    ASSERT_EQ(pair().status, 0);
    ASSERT_EQ(server.api().post("/_control/faults", {{"path", "/api/v1/devices/*"}, {"status", 503}}).status,
              201);
    const auto failed = tool("revoke --forget");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.lines, std::vector<std::string>{R"({"revoked":false})"});
    EXPECT_TRUE(std::filesystem::exists(config));
    EXPECT_EQ(tool("revoke --forget").lines, std::vector<std::string>{R"({"revoked":true})"});
    EXPECT_FALSE(std::filesystem::exists(config));
}

// Each space has a configuration of its own under spaces/ (the default one still in domain.json when that is
// all there is), is paired there, is used by every command given --space before or after the command's name,
// and is listed; a name that is not one, or a space without a configuration, is refused.
TEST(CliSpaces, EachSpaceIsPairedListedAndUsedOnItsOwn) {
    auto options = InProcessServer::testOptions();
    options.pairingSecret = "s3cret";
    InProcessServer work(options);
    InProcessServer home;
    TempDir dir;
    const auto folder = dir.path() / "XDG_CONFIG_HOME" / "tidewright";
    std::string env = "env -u TIDEWRIGHT_CONFIG";
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        env += std::string(" ") + variable + "='" + (dir.path() / variable).string() + "'";
    env += " " + tidewrightPath + " ";
    const auto tool = [&](const std::string& args) { return shell(env + args); };
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "domain.json") << json{{"base", home.base()}, {"token", testToken}}.dump();
    std::filesystem::permissions(folder / "domain.json", std::filesystem::perms(0600));
    home.api().upload("at home.txt", "h");
    work.api().upload("at work.txt", "w");

    const auto paired =
        shell("printf 's3cret\\n' | " + env + "pair --space work " + work.base() + " --name Laptop");
    ASSERT_EQ(paired.status, 0) << paired.err;
    const auto written = json::parse(fileText(folder / "spaces" / "work.json"));
    const auto names = [&](const std::string& args) {
        std::vector<std::string> found;
        for (const auto& line : tool("--json " + args).lines)
            found.push_back(json::parse(line)["filename"]);
        return found;
    };
    EXPECT_EQ(names("ls"), std::vector<std::string>{"at home.txt"});
    EXPECT_EQ(names("--space work ls"), std::vector<std::string>{"at work.txt"});
    EXPECT_EQ(names("ls --space work"), std::vector<std::string>{"at work.txt"});

    const auto listed = tool("--json spaces");
    ASSERT_EQ(listed.status, 0) << listed.err;
    ASSERT_EQ(listed.lines.size(), 2u);
    EXPECT_EQ(
        json::parse(listed.lines[0]),
        (json{{"space", "default"}, {"base", home.base()}, {"deviceId", nullptr}, {"mountpoint", nullptr}}));
    EXPECT_EQ(json::parse(listed.lines[1]), (json{{"space", "work"},
                                                  {"base", work.base()},
                                                  {"deviceId", written["deviceId"]},
                                                  {"mountpoint", nullptr}}));
    EXPECT_EQ(tool("spaces").lines[1], "work  " + work.base() + "  device " +
                                           written["deviceId"].get<std::string>() + "  not mounted");

    for (const char* refused : {"../up", ".hidden", ""})
        EXPECT_EQ(tool(std::string("--space '") + refused + "' ls").status, 2) << refused;
    const auto unknown = tool("--space nowhere ls");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("spaces/nowhere.json"), std::string::npos) << unknown.err;
}

}  // namespace
}  // namespace tw::test
