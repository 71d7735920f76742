// tidewright mount as a process: the refusals before mounting, the detached daemon, and the ends of a
// mount (fusermount3 -u, and SIGTERM with a file still open).
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/elapsed.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using test::secondsSince;
using test::waitUntil;

bool mountedAt(const fs::path& mountpoint) {
    std::ifstream mounts("/proc/mounts");
    for (std::string line; std::getline(mounts, line);)
        if (line.starts_with("tidewright " + mountpoint.string() + " fuse.tidewright ")) return true;
    return false;
}

class MountCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CACHE_HOME", (dir.path() / "cache").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
        std::ofstream(config) << nlohmann::json{{"base", server.base()}, {"token", test::testToken}}.dump();
        fs::create_directories(mountpoint);
    }
    void TearDown() override {
        if (mountedAt(mountpoint)) ::umount2(mountpoint.c_str(), MNT_DETACH);  // a failed test's leftover
    }
    std::vector<std::string> command(std::vector<std::string> words) const {
        words.insert(words.begin(), {TIDEWRIGHT_BINARY, "--config", config.string(), "mount"});
        return words;
    }
    bool fuseAvailable() const { return ::access("/dev/fuse", R_OK | W_OK) == 0; }

    test::TempDir dir;
    test::InProcessServer server;
    fs::path config = dir.path() / "domain.json";
    fs::path mountpoint = dir.path() / "mnt";
};

TEST_F(MountCommand, AMountPointThatIsNotAnEmptyFolderOrABadOptionExitsWithTwoAndOneLine) {
    std::ofstream(mountpoint / "file") << "x";
    const struct {
        std::vector<std::string> arguments;
        std::string line;
    } cases[] = {
        {{mountpoint.string()},
         "tidewright: the mount point " + mountpoint.string() + " is not an empty folder\n"},
        {{(mountpoint / "file").string()},
         "tidewright: the mount point " + (mountpoint / "file").string() + " is not an empty folder\n"},
        {{mountpoint.string(), "-o", "umask=9"}, "tidewright: -o umask=9: not a valid value\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        test::ChildProcess child(command(c.arguments));
        EXPECT_EQ(child.wait(), 2);
        EXPECT_EQ(child.stderrText(), c.line);
    }
}

TEST_F(MountCommand, DetachesOnceMountedAndEndsWithFusermount) {
    if (!fuseAvailable()) GTEST_SKIP() << "FUSE mounts cannot be made here: /dev/fuse cannot be opened";
    server.api().upload("nota.txt", "conteúdo");
    test::ChildProcess child(command({mountpoint.string(), "--poll", "1"}));
    ASSERT_EQ(child.wait(10), 0) << child.stderrText();
    // The command has returned: the mount is up already.
    ASSERT_TRUE(mountedAt(mountpoint)) << "not mounted: " << child.stderrText();
    std::ifstream file(mountpoint / "nota.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "conteúdo");
    file.close();

    ASSERT_EQ(std::system(("fusermount3 -u " + mountpoint.string()).c_str()), 0);
    EXPECT_FALSE(mountedAt(mountpoint));
}

TEST_F(MountCommand, SigtermWithAFileOpenUnmountsAndTheOpenFileFailsInsteadOfHanging) {
    if (!fuseAvailable()) GTEST_SKIP() << "FUSE mounts cannot be made here: /dev/fuse cannot be opened";
    server.api().upload("nota.txt", "conteúdo");
    test::ChildProcess child(command({mountpoint.string(), "-f", "--poll", "1"}));
    ASSERT_TRUE(waitUntil(10, [&] { return mountedAt(mountpoint); })) << child.stderrText();
    const int fd = ::open((mountpoint / "nota.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buffer[64];
    ASSERT_EQ(::pread(fd, buffer, sizeof buffer, 0), 9);

    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(5), 0);
    EXPECT_FALSE(mountedAt(mountpoint));
    const auto start = std::chrono::steady_clock::now();
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    EXPECT_EQ(::pread(fd, buffer, sizeof buffer, 0), -1);
    EXPECT_LT(secondsSince(start), 1.0);
    ::close(fd);
    const auto log = child.stderrText();
    EXPECT_NE(log.find("mounted on " + mountpoint.string()), std::string::npos) << log;
    EXPECT_NE(log.find("unmounted from " + mountpoint.string()), std::string::npos) << log;
}

TEST_F(MountCommand, UnderSystemdItSaysReadyOnceMountedThenTheLastSyncThenStopping) {
    if (!fuseAvailable()) GTEST_SKIP() << "FUSE mounts cannot be made here: /dev/fuse cannot be opened";
    const auto socketPath = dir.path() / "notify";
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const timeval wait{.tv_sec = 5, .tv_usec = 0};
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const auto next = [&] {
        char message[512];
        const auto n = ::recv(listener, message, sizeof message, 0);
        return n < 0 ? std::string("(nothing)") : std::string(message, static_cast<std::size_t>(n));
    };

    ::setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    test::ChildProcess child(command({mountpoint.string(), "-f", "--poll", "1"}));
    ::unsetenv("NOTIFY_SOCKET");
    const auto ready = next();
    EXPECT_EQ(ready, "READY=1\nSTATUS=mounted, not synchronized yet");
    EXPECT_TRUE(mountedAt(mountpoint));  // ready means mounted
    EXPECT_TRUE(
        std::regex_match(next(), std::regex("STATUS=last sync \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")));
    child.signal(SIGTERM);
    std::string message;
    while ((message = next()).starts_with("STATUS=")) {
    }
    EXPECT_EQ(message, "STOPPING=1");
    EXPECT_EQ(child.wait(5), 0);
    ::close(listener);
}

}  // namespace
}  // namespace tw::mount
