// End to end: the local service in this process, the extension, and a real FUSE mount in a temporary
// folder, read with ordinary file calls. Where this machine cannot mount, each test skips with one line.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "mount.h"
#include "platform/log.h"
#include "provider/extension.h"
#include "state_store.h"
#include "support/elapsed.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using test::secondsSince;
using test::waitUntil;
constexpr std::int64_t MiB = 1 << 20;

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const auto word = random();
        std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(8, size - i));
    }
    return bytes;
}

std::string readWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class MountedSpace : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "FUSE mounts cannot be made here: /dev/fuse cannot be opened";
        ::setenv("XDG_CACHE_HOME", (dir.path() / "xdg-cache").c_str(), 1);  // the extension's deliveries
        fs::create_directories(mountpoint);
    }

    MountSettings settings() const {
        MountSettings settings;
        settings.mountpoint = mountpoint;
        settings.pollInterval = std::chrono::seconds(1);
        settings.deadline = std::chrono::seconds(5);
        settings.uid = ::getuid();
        settings.gid = ::getgid();
        settings.cacheFolder = dir.path() / "cache";
        return settings;
    }

    // Mounts the space and serves it; the reason when this machine cannot mount.
    std::optional<std::string> mountSpace(MountSettings settings) {
        extension = FileProviderExtension::make(
            {.identifier = "mount-test",
             .displayName = "Teste",
             .userInfo = nlohmann::json{{"base", server->base()}, {"token", test::testToken}}});
        try {
            mount = std::make_unique<Mount>(extension, std::move(settings));
        } catch (const MountRefused&) {
            throw;
        } catch (const std::exception& error) {
            return std::string("FUSE mounts cannot be made here: ") + error.what();
        }
        synchronized_ = std::make_shared<std::promise<void>>();
        mount->filesystem().onSynchronized(
            [promise = synchronized_, once = std::make_shared<std::once_flag>()](auto) {
                std::call_once(*once, [&] { promise->set_value(); });
            });
        mount->serveInBackground();
        return std::nullopt;
    }

    // Waits for the first round of change tracking to end (the anchor is taken by then).
    bool firstSync(double seconds = 5) {
        return synchronized_->get_future().wait_for(std::chrono::duration<double>(seconds)) ==
               std::future_status::ready;
    }

    std::string upload(const std::string& name, const std::string& bytes, const std::string& parent = "") {
        return api.upload(name, bytes, parent)["id"].get<std::string>();
    }

    fs::path trash() const { return mountpoint / (".Trash-" + std::to_string(::getuid())); }

    test::TempDir dir;
    std::unique_ptr<test::InProcessServer> server = std::make_unique<test::InProcessServer>();
    test::Api api = server->api();
    fs::path mountpoint = dir.path() / "mount point";  // a space: escaped in the mount table
    std::shared_ptr<FileProviderExtension> extension;
    std::shared_ptr<std::promise<void>> synchronized_;
    std::unique_ptr<Mount> mount;
};

#define MOUNT_OR_SKIP(settings) \
    if (auto why = mountSpace(settings)) GTEST_SKIP() << *why

TEST_F(MountedSpace, WalkEqualsTheServiceTreeAndEveryFileReadsBackExactly) {
    const auto docs = api.folder("docs")["id"].get<std::string>();
    const auto inner = api.folder("inner", docs)["id"].get<std::string>();
    const std::string large = randomBytes(24 * MiB + 5, 2);
    const std::map<std::string, std::string> files = {
        {"empty.txt", ""},
        {"one.txt", "x"},
        {"eight.bin", randomBytes(8 * MiB + 1, 1)},
        {"docs/large.bin", large},
        {"docs/inner/nota.txt", "nota"},
    };
    upload("empty.txt", "");
    upload("one.txt", "x");
    upload("eight.bin", files.at("eight.bin"));
    upload("large.bin", large, docs);
    upload("nota.txt", "nota", inner);
    MOUNT_OR_SKIP(settings());

    std::map<std::string, std::int64_t> walked;  // relative path → size, -1 for a folder
    for (const auto& entry : fs::recursive_directory_iterator(mountpoint))
        walked[fs::relative(entry.path(), mountpoint).string()] =
            entry.is_directory() ? -1 : static_cast<std::int64_t>(entry.file_size());
    const std::string trashName = trash().filename().string();
    const std::map<std::string, std::int64_t> expected = {
        {"docs", -1},
        {"docs/inner", -1},
        {"docs/inner/nota.txt", 4},
        {"docs/large.bin", 24 * MiB + 5},
        {"eight.bin", 8 * MiB + 1},
        {"empty.txt", 0},
        {"one.txt", 1},
        {trashName, -1},
        {trashName + "/files", -1},
        {trashName + "/info", -1},
    };
    EXPECT_EQ(walked, expected);

    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(readWhole(mountpoint / name) == bytes);
    }

    // Reads at random places of a file not read before, compared with the source.
    const int fd = ::open((mountpoint / "docs/large.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::mt19937 random(7);
    std::string buffer;
    for (int i = 0; i < 40; ++i) {
        const auto offset = std::uniform_int_distribution<std::int64_t>(0, 24 * MiB + 4)(random);
        const auto length = std::uniform_int_distribution<std::size_t>(1, 300'000)(random);
        buffer.resize(length);
        const auto got = ::pread(fd, buffer.data(), length, offset);
        const auto want = std::min<std::int64_t>(length, 24 * MiB + 5 - offset);
        SCOPED_TRACE("offset " + std::to_string(offset) + " length " + std::to_string(length));
        ASSERT_EQ(got, want);
        EXPECT_TRUE(buffer.compare(0, want, large, offset, want) == 0);
    }
    ::close(fd);

    struct stat folder {
    }, file{};
    ASSERT_EQ(::stat((mountpoint / "docs").c_str(), &folder), 0);
    ASSERT_EQ(::stat((mountpoint / "one.txt").c_str(), &file), 0);
    EXPECT_EQ(folder.st_mode, S_IFDIR | 0755);
    EXPECT_EQ(file.st_mode, S_IFREG | 0644);
    EXPECT_EQ(file.st_uid, ::getuid());

    // Root raises the kernel's read-ahead on the mount past its 128 KiB default.
    struct stat root {};
    ASSERT_EQ(::stat(mountpoint.c_str(), &root), 0);
    std::ifstream readAhead("/sys/class/bdi/" + std::to_string(major(root.st_dev)) + ":" +
                            std::to_string(minor(root.st_dev)) + "/read_ahead_kb");
    std::string kib;
    if (::geteuid() == 0 && readAhead >> kib) {
        EXPECT_EQ(kib, "512");
    }
}

TEST_F(MountedSpace, RenameTrashAndNewContentsOnTheServiceAreSeenWithinTwoPolls) {
    const auto a = upload("a.txt", "first");
    const auto b = upload("b.txt", "bee");
    const auto c = upload("c.txt", "old contents");
    MOUNT_OR_SKIP(settings());  // polls every second
    ASSERT_TRUE(firstSync());
    // The kernel now holds the names, the attributes and c's pages.
    ASSERT_EQ(readWhole(mountpoint / "c.txt"), "old contents");
    ASSERT_TRUE(fs::exists(mountpoint / "a.txt"));
    ASSERT_TRUE(fs::exists(mountpoint / "b.txt"));
    ASSERT_TRUE(fs::is_empty(trash() / "files"));

    ASSERT_EQ(api.patch("/api/v1/nodes/" + a, {{"name", "a2.txt"}}).status, 200);
    ASSERT_EQ(api.del("/api/v1/nodes/" + b).status, 200);
    ASSERT_EQ(
        api.postBytes("/api/v1/files?name=c.txt&mime=text%2Fplain&replace=" + c, "new contents!").status,
        200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitUntil(3, [&] {
        return fs::exists(mountpoint / "a2.txt") && !fs::exists(mountpoint / "a.txt") &&
               !fs::exists(mountpoint / "b.txt") && fs::exists(trash() / "files/b.txt") &&
               readWhole(mountpoint / "c.txt") == "new contents!";
    }));
    EXPECT_LT(secondsSince(start), 2.5);  // two poll intervals, and a little for the requests

    const auto info = readWhole(trash() / "info/b.txt.trashinfo");
    EXPECT_TRUE(
        std::regex_match(info, std::regex("\\[Trash Info\\]\nPath=b\\.txt\n"
                                          "DeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n")))
        << info;
    EXPECT_EQ(fs::file_size(trash() / "info/b.txt.trashinfo"), info.size());

    // Removed from the trash for good: gone from the trash folder too.
    ASSERT_EQ(api.del("/api/v1/trash/" + b).status / 100, 2);
    EXPECT_TRUE(waitUntil(3, [&] {
        return !fs::exists(trash() / "files/b.txt") && !fs::exists(trash() / "info/b.txt.trashinfo");
    }));
}

TEST_F(MountedSpace, EveryChangeIsRefusedWithEROFSAndNothingIsLost) {
    upload("f.txt", "contents");
    api.folder("d");
    MOUNT_OR_SKIP(settings());
    const auto at = [&](const char* name) { return (mountpoint / name).string(); };
    const struct {
        const char* what;
        std::function<int()> call;
    } cases[] = {
        {"open for writing", [&] { return ::open(at("f.txt").c_str(), O_WRONLY); }},
        {"open for reading and writing", [&] { return ::open(at("f.txt").c_str(), O_RDWR); }},
        {"open truncating", [&] { return ::open(at("f.txt").c_str(), O_RDONLY | O_TRUNC); }},
        {"create", [&] { return ::open(at("new.txt").c_str(), O_CREAT | O_WRONLY, 0644); }},
        {"mkdir", [&] { return ::mkdir(at("new").c_str(), 0755); }},
        {"rename", [&] { return ::rename(at("f.txt").c_str(), at("g.txt").c_str()); }},
        {"unlink", [&] { return ::unlink(at("f.txt").c_str()); }},
        {"rmdir", [&] { return ::rmdir(at("d").c_str()); }},
        {"truncate", [&] { return ::truncate(at("f.txt").c_str(), 0); }},
        {"chmod", [&] { return ::chmod(at("f.txt").c_str(), 0600); }},
        {"symlink", [&] { return ::symlink("f.txt", at("link").c_str()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        errno = 0;
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(errno, EROFS);
    }
    EXPECT_EQ(readWhole(mountpoint / "f.txt"), "contents");
    EXPECT_TRUE(fs::is_directory(mountpoint / "d"));
}

TEST_F(MountedSpace, OwnerGroupAndModesFollowTheMountOptions) {
    upload("f.txt", "x");
    auto options = settings();
    applyMountOptions("uid=4321,gid=4322,umask=027", options);
    MOUNT_OR_SKIP(options);
    struct stat file {
    }, folder{};
    ASSERT_EQ(::stat((mountpoint / "f.txt").c_str(), &file), 0);
    ASSERT_EQ(::stat(mountpoint.c_str(), &folder), 0);
    EXPECT_EQ(file.st_mode, S_IFREG | 0640);
    EXPECT_EQ(folder.st_mode, S_IFDIR | 0750);
    EXPECT_EQ(file.st_uid, 4321u);
    EXPECT_EQ(file.st_gid, 4322u);
}

TEST_F(MountedSpace, AStoppedServiceFailsAReadWithEIOBeforeTheDeadline) {
    upload("f.bin", randomBytes(4 * MiB, 3));
    MOUNT_OR_SKIP(settings());  // deadline 5 s
    const int fd = ::open((mountpoint / "f.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buffer[4096];
    ASSERT_EQ(::pread(fd, buffer, sizeof buffer, 0), 4096);

    server.reset();
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(::pread(fd, buffer, sizeof buffer, 3 * MiB), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_LT(secondsSince(start), 5.0);
    ::close(fd);
}

TEST_F(MountedSpace, AStalledReadEndsWithETIMEDOUTAtTheDeadlineAndALaterReadSucceeds) {
    const auto bytes = randomBytes(1 * MiB, 4);
    upload("f.bin", bytes);
    auto short_ = settings();
    short_.deadline = std::chrono::seconds(1);
    MOUNT_OR_SKIP(short_);
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/blobs/*"}, {"stallMs", 20000}, {"times", -1}}).status,
              201);

    const int fd = ::open((mountpoint / "f.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string buffer(4096, '\0');
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(::pread(fd, buffer.data(), buffer.size(), 0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    // The kernel's read-ahead asks first and drops the error, then its read of the page asks again: each
    // request waits one deadline.
    const double waited = secondsSince(start);
    EXPECT_GT(waited, 0.9);
    EXPECT_LT(waited, 2.6);
    ASSERT_EQ(api.del("/_control/faults").status, 204);

    // The stalled fetch was given up; the next read fetches again and gets the bytes.
    ASSERT_EQ(::pread(fd, buffer.data(), buffer.size(), 0), 4096);
    EXPECT_TRUE(buffer == bytes.substr(0, 4096));
    ::close(fd);
}

TEST_F(MountedSpace, AnInterruptedReadEndsWithEINTRInsteadOfWaitingForItsFetch) {
    upload("f.bin", randomBytes(1 * MiB, 5));
    auto short_ = settings();
    short_.deadline = std::chrono::seconds(1);
    MOUNT_OR_SKIP(short_);
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/blobs/*"}, {"stallMs", 20000}, {"times", -1}}).status,
              201);
    struct sigaction quiet {
    }, previous{};
    quiet.sa_handler = [](int) {};  // no SA_RESTART: the read returns what the filesystem answered
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);

    const int fd = ::open((mountpoint / "f.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::atomic<int> result = 0, error = 0;
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        char buffer[4096];
        result = static_cast<int>(::pread(fd, buffer, sizeof buffer, 0));
        error = errno;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::pthread_kill(reader.native_handle(), SIGUSR1);
    reader.join();
    // The kernel's own read-ahead cannot be interrupted and waits its deadline; the read of the page that
    // follows is interrupted at once instead of waiting a second deadline.
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EINTR);
    EXPECT_LT(secondsSince(start), 1.7);
    ::sigaction(SIGUSR1, &previous, nullptr);
    ::close(fd);
    ASSERT_EQ(api.del("/_control/faults").status, 204);
}

TEST_F(MountedSpace, NewContentsOnTheServiceAreNeverMixedIntoAFileOpenOnTheOldOnes) {
    const auto before = randomBytes(2 * MiB, 5);
    const auto after = randomBytes(2 * MiB, 6);
    const auto id = upload("f.bin", before);
    auto slow = settings();
    slow.pollInterval = std::chrono::seconds(60);  // the feed does not tell of the change during the test
    MOUNT_OR_SKIP(slow);
    const int fd = ::open((mountpoint / "f.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string buffer(4096, '\0');
    ASSERT_EQ(::pread(fd, buffer.data(), buffer.size(), 0), 4096);

    ASSERT_EQ(api.postBytes("/api/v1/files?name=f.bin&mime=text%2Fplain&replace=" + id, after).status, 200);
    errno = 0;
    const auto got = ::pread(fd, buffer.data(), buffer.size(), 3 * MiB / 2);
    // Either the old version's bytes still come, or the read fails; never the new version's bytes.
    if (got == -1)
        EXPECT_EQ(errno, EIO);
    else
        EXPECT_TRUE(got == 4096 && buffer == before.substr(3 * MiB / 2, 4096));
    ::close(fd);
}

TEST_F(MountedSpace, ARestartWithSavedStateFollowsTheFeedFromTheSavedAnchor) {
    const auto a = upload("a.txt", "a");
    auto persisted = settings();
    persisted.stateFile = dir.path() / "state.sqlite";
    MOUNT_OR_SKIP(persisted);
    ASSERT_TRUE(firstSync());
    mount.reset();
    const auto saved = StateStore(*persisted.stateFile).load().anchor;
    ASSERT_TRUE(saved);
    ASSERT_NE(*saved, "0");

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

}  // namespace
}  // namespace tw::mount
