#pragma once
// tidewright run as a process against a tidewright-server in the test process (or a scripted TestServer).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/service_fixture.h"
#include "support/test_server.h"

namespace tw::test {

inline std::string tidewrightPath() {
    return TIDEWRIGHT_BINARY;
}

struct Outcome {
    int status = -1;
    std::vector<std::string> lines;  // standard output, a line each
    std::string err;
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

// A domain configuration for `base` (token testToken) as domain.json in `folder`, readable by its owner only.
inline std::filesystem::path writeConfig(const std::filesystem::path& folder, const std::string& base) {
    const auto file = folder / "domain.json";
    std::ofstream(file) << nlohmann::json{{"base", base}, {"token", testToken}}.dump();
    ::chmod(file.c_str(), 0600);
    return file;
}

// tidewright --config CONFIG ARGS...
inline Outcome tidewrightWith(const std::filesystem::path& config, const std::vector<std::string>& args,
                              double seconds = 30) {
    std::vector<std::string> argv = {tidewrightPath(), "--config", config};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, seconds);
}

inline Outcome tidewrightAt(const std::string& base, const std::vector<std::string>& args,
                            double seconds = 30) {
    TempDir dir;
    return tidewrightWith(writeConfig(dir.path(), base), args, seconds);
}

// Scripts the recording loopback server to answer `path` with these JSON bodies and `status` in order, the
// last one repeating: replies the local service never gives.
inline void scriptJson(TestServer& server, const std::string& path, const std::vector<std::string>& bodies,
                       int status = 200) {
    std::vector<Reply> replies;
    for (const auto& body : bodies)
        replies.push_back({status, {{"Content-Type", "application/json"}}, body});
    server.script(path, std::move(replies));
}

class CliTest : public ::testing::Test {
protected:
    Outcome tidewright(const std::vector<std::string>& args) { return tidewrightWith(configFile, args); }

    InProcessServer server;
    TempDir dir;
    std::filesystem::path configFile = writeConfig(dir.path(), server.base());
};

}  // namespace tw::test
