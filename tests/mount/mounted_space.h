#pragma once
// A space of the local service (in this process) mounted through FUSE in a temporary folder, for the mount's
// end-to-end tests; and small file helpers. Where this machine cannot mount, MOUNT_OR_SKIP skips the test.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mount/mount.h"
#include "provider/extension.h"
#include "support/elapsed.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"

namespace tw::mount::test {

using namespace tw::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
inline constexpr std::int64_t MiB = 1 << 20;

inline struct stat statOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status;
}

inline int openToRead(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << file;
    return fd;
}

inline std::string readAt(int fd, std::int64_t offset, std::size_t length = 4096) {
    std::string bytes(length, '\0');
    bytes.resize(std::max<ssize_t>(0, ::pread(fd, bytes.data(), length, offset)));
    return bytes;
}

inline int readErrno(int fd, std::int64_t offset) {
    char buffer[4096];
    return ::pread(fd, buffer, sizeof buffer, offset) < 0 ? errno : 0;
}

class MountedSpace : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "FUSE mounts cannot be made here: /dev/fuse cannot be opened";
        ::setenv("XDG_CACHE_HOME", (dir.path() / "xdg-cache").c_str(), 1);  // the extension's deliveries
        fs::create_directories(mountpoint);
    }
    void TearDown() override {
        mount.reset();
        ::umount2(mountpoint.c_str(), MNT_DETACH);  // a killed command's mount, if any
    }

    MountSettings settings(std::chrono::seconds deadline = 5s) const {
        return {.mountpoint = mountpoint,
                .pollInterval = 1s,
                .deadline = deadline,
                .uid = ::getuid(),
                .gid = ::getgid(),
                .cacheFolder = dir.path() / "cache"};
    }

    // Mounts the space and serves it; the reason when this machine cannot mount.
    std::optional<std::string> mountSpace(MountSettings settings) {
        const auto extension = FileProviderExtension::make(
            {.identifier = "mount-test",
             .displayName = "Teste",
             .userInfo = nlohmann::json{{"base", server->base()}, {"token", testToken}}});
        try {
            mount = std::make_unique<Mount>(extension, std::move(settings));
        } catch (const MountRefused&) {
            throw;
        } catch (const std::exception& error) {
            return std::string("FUSE mounts cannot be made here: ") + error.what();
        }
        synchronized_ = std::make_shared<std::atomic<int>>(0);
        mount->filesystem().onSynchronized([synchronized = synchronized_](auto) { ++*synchronized; });
        mount->serveInBackground();
        return std::nullopt;
    }

    // Waits for the first round of change tracking to end (the anchor is taken by then).
    bool firstSync() {
        return waitUntil(5, [&] { return synchronized_->load() > 0; });
    }

    // Waits for a round of change tracking that started after this call: what the service changed before
    // has been followed, and the kernel told of it, by then.
    bool changesFollowed() {
        const int rounds = synchronized_->load();
        return waitUntil(5, [&] { return synchronized_->load() >= rounds + 2; });
    }

    std::string upload(const std::string& name, const std::string& bytes, const std::string& parent = "") {
        return api.upload(name, bytes, parent)["id"].get<std::string>();
    }

    // tidewright mount MOUNTPOINT WORDS... with a configuration for this space.
    std::vector<std::string> command(const std::vector<std::string>& words) const {
        const auto config = dir.path() / "domain.json";
        std::ofstream(config) << nlohmann::json{{"base", server->base()}, {"token", testToken}}.dump();
        fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
        // The control socket too: another run of these tests on this machine has one of its own.
        fs::create_directories(dir.path() / "run");
        ::setenv("XDG_RUNTIME_DIR", (dir.path() / "run").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
        std::vector<std::string> argv = {TIDEWRIGHT_BINARY, "--config", config, "mount", mountpoint};
        argv.insert(argv.end(), words.begin(), words.end());
        return argv;
    }

    fs::path trash() const { return mountpoint / (".Trash-" + std::to_string(::getuid())); }

    TempDir dir;
    std::unique_ptr<InProcessServer> server = std::make_unique<InProcessServer>();
    Api api = server->api();
    fs::path mountpoint = dir.path() / "mount point";  // a space: escaped in the mount table
    std::shared_ptr<std::atomic<int>> synchronized_;   // rounds of change tracking ended
    std::unique_ptr<Mount> mount;
};

#define MOUNT_OR_SKIP(settings) \
    if (auto why = mountSpace(settings)) GTEST_SKIP() << *why

}  // namespace tw::mount::test
