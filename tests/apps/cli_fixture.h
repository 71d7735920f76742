#pragma once
// tidewright run as a process against a tidewright-server in the test process (or a scripted TestServer).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/files.h"
#include "support/service_fixture.h"
#include "support/test_server.h"

namespace tw::test {

using nlohmann::json;
inline const std::string tidewrightPath = TIDEWRIGHT_BINARY;
inline const std::string inTrash = "NSFileProviderTrashContainerItemIdentifier";

struct Outcome {
    int status = -1;
    std::vector<std::string> lines;  // standard output, a line each
    std::string err;
    json line(std::size_t i = 0) const { return json::parse(lines.at(i)); }
    json error() const { return json::parse(err)["error"]; }  // of --json
};

inline Outcome runProgram(const std::vector<std::string>& argv, double seconds = 30) {
    ChildProcess child(argv);
    Outcome result;
    while (auto line = child.readLine(seconds))
        result.lines.push_back(*line);
    result.status = child.wait(seconds);
    result.err = child.stderrText();
    return result;
}
inline Outcome shell(const std::string& command, double seconds = 30) {
    return runProgram({"/bin/bash", "-c", command}, seconds);
}

// A domain configuration for `base` (token testToken) as domain.json in `folder`, readable by its owner only.
inline std::filesystem::path writeConfig(const std::filesystem::path& folder, const std::string& base) {
    const auto file = folder / "domain.json";
    std::ofstream(file) << json{{"base", base}, {"token", testToken}}.dump();
    ::chmod(file.c_str(), 0600);
    return file;
}

inline Outcome tidewrightAt(const std::string& base, const std::vector<std::string>& args,
                            double seconds = 30) {
    TempDir dir;
    std::vector<std::string> argv = {tidewrightPath, "--config", writeConfig(dir.path(), base)};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, seconds);
}

// Scripts `path` to answer with these JSON bodies and `status` in order, the last repeating.
inline void scriptJson(TestServer& server, const std::string& path, const std::vector<std::string>& bodies,
                       int status = 200) {
    std::vector<Reply> replies;
    for (const auto& body : bodies)
        replies.push_back({status, {{"Content-Type", "application/json"}}, body});
    server.script(path, std::move(replies));
}

class CliTest : public ::testing::Test {
protected:
    // tidewright ARGS... (own configuration and cache folder), then `tail` (a redirection, a pipe).
    Outcome tidewright(const std::vector<std::string>& args, const std::string& tail = "") {
        std::string command = "XDG_CACHE_HOME='" + cache.string() + "' '" + tidewrightPath + "' --config '" +
                              configFile.string() + "'";
        for (const auto& arg : args)
            command += " '" + arg + "'";
        return shell(command + tail, 60);
    }
    // tidewright --json ARGS..., expected to succeed with one item.
    json itemFrom(std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        const auto run = tidewright(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.lines.size(), 1u) << run.err;
        return run.lines.empty() ? json::object() : run.line();
    }
    // The host error code of tidewright --json ARGS..., expected to fail with status 1 and print nothing.
    std::int64_t errorCodeOf(std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        const auto run = tidewright(args);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_TRUE(run.lines.empty());
        return run.error()["code"];
    }

    InProcessServer server;
    Api api = server.api();
    TempDir dir;
    std::filesystem::path configFile = writeConfig(dir.path(), server.base());
    std::filesystem::path cache = dir.path() / "cache";
};

}  // namespace tw::test
