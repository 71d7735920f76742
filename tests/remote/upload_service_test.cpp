// The upload against the local service: what it stores, and its fault rules on the parts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "remote/remote.h"
#include "support/service_fixture.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string patternBytes(std::int64_t size) {
    std::string bytes;
    for (int i = 0; i < 251; ++i)
        bytes += static_cast<char>(i * 7919 % 251);
    while (bytes.size() < static_cast<std::size_t>(size))
        bytes += bytes;  // whole copies: fast also under sanitizers, where a loop per byte is not
    bytes.resize(static_cast<std::size_t>(size));
    return bytes;
}

fs::path writeFile(const test::TempDir& dir, const std::string& name, const std::string& bytes) {
    const fs::path path = dir.path() / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string readFile(const fs::path& path) {
    std::string bytes(fs::file_size(path), '\0');
    std::ifstream(path, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

Remote clientOf(const test::InProcessServer& server) {
    return Remote(Config(server.base(), test::testToken, "", std::nullopt));
}

TEST(UploadToService, WhatIsSentIsWhatTheServiceStores) {
    test::InProcessServer server;
    server.service().partSize = 3 * MiB;  // three parts for 8 MiB + 1
    test::TempDir local;
    Remote remote = clientOf(server);
    test::Api api = server.api();
    for (const std::int64_t size : {std::int64_t{0}, Remote::directMax + 1}) {
        SCOPED_TRACE(size);
        const std::string bytes = patternBytes(size);
        const std::string name = "f" + std::to_string(size) + ".bin";
        const fs::path file = writeFile(local, name, bytes);
        const Node node = remote.upload(file, size, name, std::nullopt, Remote::mimeType(name));
        EXPECT_EQ(node.name, name);
        EXPECT_EQ(node.size, size);
        EXPECT_TRUE(api.download(node.id) == bytes);
    }
    EXPECT_FALSE(fs::exists(server.dataDir() / "uploads") && !fs::is_empty(server.dataDir() / "uploads"));
}

// Two services side by side, so the retry pauses (4.8 s) are waited out once.
TEST(UploadToService, APartDroppedThreeTimesIsAcceptedAndOneAlwaysDroppedAbortsTheUpload) {
    test::InProcessServer patient, failing;
    test::TempDir local;
    const std::string bytes = patternBytes(Remote::directMax + 1);
    const fs::path file = writeFile(local, "video.mp4", bytes);
    for (test::InProcessServer* server : {&patient, &failing})
        server->service().partSize = 3 * MiB;
    ASSERT_EQ(
        patient.api()
            .post("/_control/faults",
                  {{"method", "PUT"}, {"path", "/api/v1/uploads/*/parts/3"}, {"times", 3}, {"drop", true}})
            .status,
        201);
    ASSERT_EQ(
        failing.api()
            .post("/_control/faults",
                  {{"method", "PUT"}, {"path", "/api/v1/uploads/*/parts/3"}, {"times", -1}, {"drop", true}})
            .status,
        201);

    std::optional<RemoteError> failure;
    std::thread other([&] {
        try {
            clientOf(failing).upload(file, Remote::directMax + 1, "video.mp4", std::nullopt, "video/mp4");
        } catch (const RemoteError& error) {
            failure = error;
        }
    });
    const Node node =
        clientOf(patient).upload(file, Remote::directMax + 1, "video.mp4", std::nullopt, "video/mp4");
    other.join();

    EXPECT_TRUE(patient.api().download(node.id) == bytes);
    EXPECT_EQ(patient.api().get("/_control/faults").json()["faults"][0]["hits"], 3);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), RemoteError::Case::network);
    EXPECT_EQ(failing.api().get("/_control/faults").json()["faults"][0]["hits"], 4)
        << "the first try and three retries";
    EXPECT_TRUE(failing.api().get("/api/v1/nodes?parent=root&limit=500").json()["items"].empty());
    const fs::path staged = failing.dataDir() / "uploads";
    EXPECT_TRUE(!fs::exists(staged) || fs::is_empty(staged)) << "the abort discarded the parts";
    EXPECT_TRUE(readFile(file) == bytes);
}

}  // namespace
}  // namespace tw
