// Pairing and revocation through the command-line host, against tidewright-server.
#include "cli_fixture.h"

namespace tw::test {
namespace {

int modeOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

TEST(CliPairing, PairsWithTheSecretThenRevokesAndForgetsOnlyWhatWasRevoked) {
    auto options = InProcessServer::testOptions();
    options.pairingSecret = "s3cret";
    InProcessServer server(options);
    const std::string folder = server.api().folder("Docs")["id"];
    TempDir dir;
    const auto config = dir.path() / "new" / "tidewright" / "domain.json";
    std::ofstream(dir.path() / "wrong") << "n0pe\n";
    // The secret goes in on standard input when no file is given, as a person would type it.
    const auto pair = [&](const std::string& extra = "") {
        return shell("printf 's3cret\\n' | " + tidewrightPath + " --config " + config.string() + " pair " +
                     server.base() + " --name 'Laptop do Zé' " + extra);
    };
    const auto tool = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {tidewrightPath, "--json", "--config", config.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv);
    };

    const auto refused = pair("--secret-file " + (dir.path() / "wrong").string());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("403"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find("n0pe"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(config.parent_path()));

    const auto paired = pair();
    ASSERT_EQ(paired.status, 0) << paired.err;
    const auto written = json::parse(fileText(config));
    EXPECT_EQ(paired.lines.at(0), R"({"paired":true,"deviceId":")" + written["deviceId"].get<std::string>() +
                                      R"(","config":")" + config.string() + R"("})");
    EXPECT_EQ(written["base"], server.base());
    EXPECT_EQ(written.size(), 3u);
    EXPECT_EQ(modeOf(config), 0600);
    EXPECT_EQ(modeOf(config.parent_path()), 0700);
    EXPECT_EQ(paired.err.find(written["token"].get<std::string>()), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(config.parent_path()), {}), 1);

    // An existing configuration is kept, and nothing is asked of the service.
    const auto again = pair();
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
    EXPECT_EQ(json::parse(fileText(config)), written);

    EXPECT_EQ(tool({"item", folder}).status, 0);
    const auto revoked = tool({"revoke"});
    EXPECT_EQ(revoked.status, 0);
    EXPECT_EQ(revoked.lines, std::vector<std::string>{R"({"revoked":true})"});
    EXPECT_EQ(tool({"item", folder}).error()["code"], -1000);  // notAuthenticated

    // A failed revocation never forgets the configuration; a successful one does.
    const auto failed = tool({"revoke", "--forget"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.lines, std::vector<std::string>{R"({"revoked":false})"});
    EXPECT_TRUE(std::filesystem::exists(config));
    ASSERT_EQ(pair("--force").status, 0);
    EXPECT_NE(json::parse(fileText(config))["deviceId"], written["deviceId"]);
    EXPECT_EQ(tool({"revoke", "--forget"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(config));
}

}  // namespace
}  // namespace tw::test
