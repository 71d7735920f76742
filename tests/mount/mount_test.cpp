// End to end: real FUSE mounts served in this process or by tidewright mount as a process, read with
// ordinary file calls. Where this machine cannot mount, each test skips.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "mount/mount.h"
#include "mount/state_store.h"
#include "mounted_space.h"
#include "platform/log.h"
#include "provider/extension.h"
#include "support/bytes.h"
#include "support/elapsed.h"
#include "support/files.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

TEST_F(MountedSpace, TreeAndFilesEqualTheServiceWithTheOptionsOwnerAndModes) {
    const auto docs = api.folder("docs")["id"].get<std::string>();
    const auto inner = api.folder("inner", docs)["id"].get<std::string>();
    const std::string large = test::seededBytes(24 * MiB + 5, 2);
    const std::map<std::string, std::string> files = {
        {"empty.txt", ""}, {"one.txt", "x"}, {"docs/large.bin", large}, {"docs/inner/nota.txt", "nota"}};
    const std::map<fs::path, std::string> folders = {{"", ""}, {"docs", docs}, {"docs/inner", inner}};
    for (const auto& [path, bytes] : files)
        upload(fs::path(path).filename(), bytes, folders.at(fs::path(path).parent_path()));
    auto options = settings();
    applyMountOptions("uid=4321,gid=4322,umask=027", options);
    MOUNT_OR_SKIP(options);

    std::map<std::string, std::int64_t> walked;  // relative path → size, -1 for a folder
    for (const auto& entry : fs::recursive_directory_iterator(mountpoint))
        walked[fs::relative(entry.path(), mountpoint).string()] =
            entry.is_directory() ? -1 : static_cast<std::int64_t>(entry.file_size());
    const std::string t = ".Trash-4321";  // the owner's
    std::map<std::string, std::int64_t> expected = {
        {"docs", -1}, {"docs/inner", -1}, {t, -1}, {t + "/files", -1}, {t + "/info", -1}};
    for (const auto& [path, bytes] : files)
        expected[path] = std::ssize(bytes);
    EXPECT_EQ(walked, expected);

    for (const auto& [path, bytes] : files)
        EXPECT_TRUE(test::fileText(mountpoint / path) == bytes) << path;

    const auto file = statOf(mountpoint / "one.txt");
    EXPECT_EQ(file.st_mode, S_IFREG | 0640);
    EXPECT_EQ(statOf(mountpoint / "docs").st_mode, S_IFDIR | 0750);
    EXPECT_EQ(file.st_uid, 4321u);
    EXPECT_EQ(file.st_gid, 4322u);
}

TEST_F(MountedSpace, RenameTrashAndNewContentsOnTheServiceAreSeenWithinTwoPolls) {
    const auto a = upload("a.txt", "first");
    const auto b = upload("b.txt", "bee");
    const auto c = upload("c.txt", "old contents");
    MOUNT_OR_SKIP(settings());  // polls every second
    ASSERT_TRUE(firstSync());
    // The kernel now holds the names, the attributes and c's pages.
    ASSERT_EQ(test::fileText(mountpoint / "c.txt"), "old contents");
    ASSERT_TRUE(fs::exists(mountpoint / "a.txt") && fs::exists(mountpoint / "b.txt"));
    ASSERT_TRUE(fs::is_empty(trash() / "files"));

    ASSERT_EQ(api.patch("/api/v1/nodes/" + a, {{"name", "a2.txt"}}).status, 200);
    ASSERT_EQ(api.del("/api/v1/nodes/" + b).status, 200);
    ASSERT_EQ(
        api.postBytes("/api/v1/files?name=c.txt&mime=text%2Fplain&replace=" + c, "new contents!").status,
        200);
    const auto start = Clock::now();
    EXPECT_TRUE(waitUntil(3, [&] {
        return fs::exists(mountpoint / "a2.txt") && !fs::exists(mountpoint / "a.txt") &&
               !fs::exists(mountpoint / "b.txt") && fs::exists(trash() / "files/b.txt") &&
               test::fileText(mountpoint / "c.txt") == "new contents!";
    }));
    EXPECT_LT(secondsSince(start), 2.5);  // two poll intervals, and a little for the requests

    const auto info = test::fileText(trash() / "info/b.txt.trashinfo");
    EXPECT_TRUE(info.starts_with("[Trash Info]\nPath=b.txt\nDeletionDate=")) << info;  // the rest: TrashInfo
    EXPECT_EQ(fs::file_size(trash() / "info/b.txt.trashinfo"), info.size());

    // Removed from the trash for good: gone from the trash folder too.
    ASSERT_EQ(api.del("/api/v1/trash/" + b).status / 100, 2);
    EXPECT_TRUE(waitUntil(3, [&] {
        return !fs::exists(trash() / "files/b.txt") && !fs::exists(trash() / "info/b.txt.trashinfo");
    }));
}

// The kernel's own read-ahead asks first, cannot be interrupted and drops the error; its read of the page
// then asks again. Each request for the stalled fetch waits one deadline (1 s) unless interrupted.
TEST_F(MountedSpace, AStalledReadEndsAtTheDeadlineOrAtOnceWhenInterruptedAndALaterReadSucceeds) {
    const auto bytes = test::seededBytes(1 * MiB, 4);
    upload("f.bin", bytes);
    MOUNT_OR_SKIP(settings(1s));
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/blobs/*"}, {"stallMs", 20000}, {"times", -1}}).status,
              201);
    const int fd = openToRead(mountpoint / "f.bin");
    auto start = Clock::now();
    EXPECT_EQ(readErrno(fd, 0), ETIMEDOUT);
    EXPECT_GT(secondsSince(start), 0.9);
    EXPECT_LT(secondsSince(start), 2.6);

    struct sigaction quiet {
    }, previous{};
    quiet.sa_handler = [](int) {};  // no SA_RESTART: the read returns what the filesystem answered
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);
    std::atomic<int> error = 0;
    start = Clock::now();
    std::thread reader([&] { error = readErrno(fd, 0); });
    std::this_thread::sleep_for(200ms);
    ::pthread_kill(reader.native_handle(), SIGUSR1);
    reader.join();
    EXPECT_EQ(error, EINTR);
    EXPECT_LT(secondsSince(start), 1.7);  // not a second deadline
    ::sigaction(SIGUSR1, &previous, nullptr);

    // The stalled fetches were given up; the next read fetches again and gets the bytes.
    ASSERT_EQ(api.del("/_control/faults").status, 204);
    EXPECT_TRUE(readAt(fd, 0) == bytes.substr(0, 4096));
    ::close(fd);
}

TEST_F(MountedSpace, NewContentsOnTheServiceAreNeverMixedIntoAFileOpenOnTheOldOnes) {
    const auto before = test::seededBytes(2 * MiB, 5);
    const auto id = upload("f.bin", before);
    auto slow = settings();
    slow.pollInterval = 60s;  // the feed does not tell of the change during the test
    MOUNT_OR_SKIP(slow);
    const int fd = openToRead(mountpoint / "f.bin");
    ASSERT_EQ(readAt(fd, 0).size(), 4096u);
    const auto after = test::seededBytes(2 * MiB, 6);
    ASSERT_EQ(api.postBytes("/api/v1/files?name=f.bin&mime=text%2Fplain&replace=" + id, after).status, 200);
    // Either the old version's bytes still come, or the read fails; never the new version's bytes.
    const auto got = readAt(fd, 3 * MiB / 2);
    EXPECT_TRUE(got.empty() ? errno == EIO : got == before.substr(3 * MiB / 2, 4096));
    ::close(fd);
}

// The kernel's pages of a file are shared by every open of its inode. An old handle that reads on after a
// change was followed fills them with its own version's bytes (all in its cache file here, so none fails):
// a later open must not see them.
TEST_F(MountedSpace, AFreshReadAfterAFollowedChangeGivesTheNewBytesWhileAnOldHandleReadsOnItsOwn) {
    constexpr std::int64_t size = 8 * MiB;
    const auto before = test::seededBytes(size, 7);
    const auto id = upload("f.bin", before);
    MOUNT_OR_SKIP(settings());  // polls every second
    ASSERT_TRUE(firstSync());
    const auto file = mountpoint / "f.bin";
    const int old = openToRead(file);
    const auto readOld = [&] {
        std::string bytes;
        for (std::int64_t offset = 0; offset < size; offset += MiB) {
            bytes += readAt(old, offset, MiB);
            std::this_thread::sleep_for(5ms);  // a slow reader
        }
        return bytes;
    };
    ASSERT_TRUE(readOld() == before);

    const auto after = test::seededBytes(size, 8);  // the same size: only the bytes tell the versions apart
    ASSERT_EQ(api.postBytes("/api/v1/files?name=f.bin&mime=text%2Fplain&replace=" + id, after).status, 200);
    ASSERT_TRUE(changesFollowed());
    EXPECT_TRUE(readOld() == before);  // pages the kernel dropped come back from its own version
    const auto fresh = test::fileText(file);
    ASSERT_EQ(std::ssize(fresh), size);
    std::int64_t oldBytes = 0;  // counted by 4 KiB page, to say how much of the old version came through
    for (std::int64_t page = 0; page < size; page += 4096)
        oldBytes += fresh.compare(page, 4096, before, page, 4096) == 0 ? 4096 : 0;
    EXPECT_TRUE(fresh == after) << oldBytes << " bytes of the old version";
    EXPECT_TRUE(readOld() == before);
    ::close(old);
}

TEST_F(MountedSpace, ARestartWithSavedStateFollowsTheFeedFromTheSavedAnchorAndOneCacheServesOneMount) {
    const auto a = upload("a.txt", "a");
    auto persisted = settings();
    persisted.stateFile = dir.path() / "state.sqlite";
    MOUNT_OR_SKIP(persisted);
    ASSERT_TRUE(firstSync());
    // Its cache folder is its own while it runs: another mount of it is refused before it mounts.
    auto second = persisted;
    second.mountpoint = dir.path() / "second";
    second.stateFile.reset();
    fs::create_directories(second.mountpoint);
    try {
        auto refused = mountSpace(second);
        ADD_FAILURE() << "a second mount of the cache folder was made";
    } catch (const MountRefused& refused) {
        EXPECT_EQ(refused.what(),
                  "the cache folder " + (dir.path() / "cache").string() + " is used by another mount");
    }
    EXPECT_TRUE(fs::is_empty(second.mountpoint));
    mount.reset();
    const auto saved = StateStore(*persisted.stateFile).load().anchor;
    ASSERT_NE(saved.value_or("0"), "0");

    ASSERT_EQ(api.patch("/api/v1/nodes/" + a, {{"name", "renamed.txt"}}).status, 200);  // while unmounted
    LogCapture log;
    MOUNT_OR_SKIP(persisted);
    ASSERT_TRUE(firstSync());
    std::vector<std::string> feedRequests;
    for (const auto& record : log.records())
        if (record.message.starts_with("changes since=")) feedRequests.push_back(record.message);
    ASSERT_FALSE(feedRequests.empty());
    EXPECT_EQ(feedRequests.front(), "changes since=" + *saved + " n=1 more=false");
    EXPECT_TRUE(fs::exists(mountpoint / "renamed.txt"));
}

// The shipped systemd unit runs `tidewright mount -f` as a notify service; SIGTERM stops it.
TEST_F(MountedSpace, TheCommandUnderSystemdSaysReadyAndStoppingAndUnmountsOnSigtermWithAFileOpen) {
    upload("nota.txt", "conteúdo");
    const auto socketPath = dir.path() / "notify";
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX};
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
    test::ChildProcess child(command({"-f", "--poll", "1"}));
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(next(), "READY=1\nSTATUS=mounted, not synchronized yet");
    const int fd = openToRead(mountpoint / "nota.txt");  // ready means mounted
    ASSERT_EQ(readAt(fd, 0), "conteúdo");
    EXPECT_TRUE(
        std::regex_match(next(), std::regex("STATUS=last sync \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")));
    // The mount answers on its control channel.
    test::ChildProcess status(
        {TIDEWRIGHT_BINARY, "--config", (dir.path() / "domain.json").string(), "status"});
    EXPECT_EQ(status.readLine(), "all uploaded");
    EXPECT_EQ(status.wait(10), 0) << status.stderrText();

    child.signal(SIGTERM);
    std::string message;
    while ((message = next()).starts_with("STATUS=")) {
    }
    EXPECT_EQ(message, "STOPPING=1");
    EXPECT_EQ(child.wait(5), 0);
    EXPECT_TRUE(fs::is_empty(mountpoint));  // unmounted: the empty folder below shows again
    ::close(fd);
    ::close(listener);
}

TEST_F(MountedSpace, TheCommandWithoutForegroundReturnsOnceMountedAndEndsWithFusermount) {
    upload("nota.txt", "conteúdo");
    test::ChildProcess child(command({}));
    ASSERT_EQ(child.wait(10), 0) << child.stderrText();
    const int fd = openToRead(mountpoint / "nota.txt");  // the command has returned: the mount is up
    EXPECT_EQ(readAt(fd, 0), "conteúdo");
    ::close(fd);
    // A second mount of the space, elsewhere, is refused before it mounts anything.
    const auto elsewhere = dir.path() / "elsewhere";
    fs::create_directories(elsewhere);
    auto second = command({});
    second[4] = elsewhere.string();
    test::ChildProcess refused(second);
    EXPECT_EQ(refused.wait(10), 2);
    const auto said = refused.stderrText();
    EXPECT_TRUE(said.ends_with("tidewright: the space " + server->base() + " is already mounted on " +
                               mountpoint.string() + " (its control socket is " +
                               (dir.path() / "run" / "tidewright" / "default.socket").string() + ")\n"))
        << said;
    EXPECT_TRUE(fs::is_empty(elsewhere));
    ASSERT_EQ(std::system(("fusermount3 -u '" + mountpoint.string() + "'").c_str()), 0);
    EXPECT_TRUE(fs::is_empty(mountpoint));
}

}  // namespace
}  // namespace tw::mount
