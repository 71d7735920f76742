// What a real mount keeps on this machine. Pinned files and folders: downloaded in the background, files
// added later included, read with the service stopped, fetched again when they change there, never evicted,
// kept across a restart; and the answers of the xattr and of `tidewright pin`/`unpin`.
#include <dirent.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "mounted_space.h"
#include "support/bytes.h"
#include "support/files.h"

namespace tw::mount {
namespace {

using namespace test;

constexpr const char* pinnedAttribute = "user.tidewright.pinned";

class CachingMount : public MountedSpace {
protected:
    MountSettings pinning(std::int64_t cacheMaxBytes = std::int64_t{1} << 30) const {
        auto options = settings();
        options.stateFile = dir.path() / "state.sqlite";
        options.cacheMaxBytes = cacheMaxBytes;
        return options;
    }

    // The xattr's value, or "errno N".
    static std::string attribute(const fs::path& path, const char* name) {
        char value[64];
        const auto n = ::getxattr(path.c_str(), name, value, sizeof value);
        return n < 0 ? "errno " + std::to_string(errno) : std::string(value, static_cast<std::size_t>(n));
    }
    static int pin(const fs::path& path, const char* value = "1", int flags = 0) {
        return ::setxattr(path.c_str(), pinnedAttribute, value, std::strlen(value), flags) == 0 ? 0 : errno;
    }
    static int unpin(const fs::path& path) {
        return ::removexattr(path.c_str(), pinnedAttribute) == 0 ? 0 : errno;
    }

    // Waits until every pinned file is downloaded, `files` of them.
    bool pinsComplete(int files, double seconds = 30) {
        return waitUntil(seconds, [&] {
            const auto pinned = mount->filesystem().status().pinned;
            return pinned.complete && pinned.files == files && pinned.presentBytes == pinned.pinnedBytes;
        });
    }

    // tidewright pin/unpin WORDS...: the exit status and what it wrote on stderr.
    static std::pair<int, std::string> run(const std::vector<std::string>& words) {
        std::vector<std::string> argv{TIDEWRIGHT_BINARY};
        argv.insert(argv.end(), words.begin(), words.end());
        ChildProcess child(argv);
        const int status = child.wait(10);
        return {status, child.stderrText()};
    }

    static std::set<std::string> namesIn(const fs::path& folder) {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }
};

// A pinned folder is downloaded whole, a file the service adds to it later too, and all of it reads and
// lists with the service stopped.
TEST_F(CachingMount, APinnedFolderIsDownloadedWithLaterFilesAndReadsWithTheServiceStopped) {
    const auto docs = api.folder("docs")["id"].get<std::string>();
    const auto deep = api.folder("deep", docs)["id"].get<std::string>();
    const auto a = seededBytes(12 * MiB, 1), b = seededBytes(10 * MiB, 2);
    upload("a.bin", a, docs);
    upload("b.bin", b, deep);
    upload("c.txt", "small", deep);
    upload("other.bin", seededBytes(MiB, 3));
    MOUNT_OR_SKIP(pinning());
    ASSERT_TRUE(firstSync());

    const auto [status, errors] = run({"pin", (mountpoint / "docs").string()});
    ASSERT_EQ(status, 0) << errors;
    const auto later = seededBytes(6 * MiB, 4);
    upload("later.bin", later, deep);
    ASSERT_TRUE(pinsComplete(4)) << mount->filesystem().status().pinned.lastError;
    const auto progress = mount->filesystem().status().pinned;
    EXPECT_EQ(progress.pins, 1);
    EXPECT_EQ(progress.pinnedBytes, static_cast<std::int64_t>(a.size() + b.size() + 5 + later.size()));

    EXPECT_EQ(attribute(mountpoint / "docs" / "a.bin", "user.tidewright.state"), "pinned");
    EXPECT_EQ(attribute(mountpoint / "docs" / "deep" / "b.bin", pinnedAttribute), "1");  // through its folder
    EXPECT_EQ(attribute(mountpoint / "other.bin", pinnedAttribute), "errno " + std::to_string(ENODATA));
    EXPECT_EQ(attribute(mountpoint / "other.bin", "user.tidewright.state"), "uploaded");

    server->stop();
    EXPECT_TRUE(fileText(mountpoint / "docs" / "a.bin") == a);
    EXPECT_TRUE(fileText(mountpoint / "docs" / "deep" / "b.bin") == b);
    EXPECT_TRUE(fileText(mountpoint / "docs" / "deep" / "later.bin") == later);
    EXPECT_EQ(fileText(mountpoint / "docs" / "deep" / "c.txt"), "small");
    EXPECT_EQ(namesIn(mountpoint / "docs"), (std::set<std::string>{"a.bin", "deep"}));
    EXPECT_EQ(namesIn(mountpoint / "docs" / "deep"), (std::set<std::string>{"b.bin", "c.txt", "later.bin"}));
}

// A pinned file outlives eviction by files read past the cache's limit, is fetched again when it changes on
// the service, and is pinned still after a restart.
TEST_F(CachingMount, APinnedFileIsNeverEvictedIsFetchedAgainWhenItChangesAndStaysPinnedAcrossARestart) {
    const auto id = upload("kept.bin", seededBytes(2 * MiB, 1));
    upload("big.bin", seededBytes(3 * MiB, 2));
    MOUNT_OR_SKIP(pinning(4 * MiB));
    ASSERT_TRUE(firstSync());
    ASSERT_EQ(pin(mountpoint / "kept.bin"), 0);
    ASSERT_TRUE(pinsComplete(1));
    EXPECT_TRUE(fileText(mountpoint / "big.bin") == seededBytes(3 * MiB, 2));  // past the limit: evicts
    EXPECT_EQ(mount->filesystem().status().pinned.presentBytes, 2 * MiB);

    const auto changed = seededBytes(3 * MiB, 5);
    ASSERT_EQ(api.postBytes("/api/v1/files?name=kept.bin&replace=" + id, changed).status, 200);
    ASSERT_TRUE(changesFollowed());
    ASSERT_TRUE(pinsComplete(1));
    EXPECT_EQ(mount->filesystem().status().pinned.pinnedBytes, 3 * MiB);
    server->stop();
    EXPECT_TRUE(fileText(mountpoint / "kept.bin") == changed);

    mount.reset();
    server->start();
    MOUNT_OR_SKIP(pinning(4 * MiB));
    EXPECT_EQ(attribute(mountpoint / "kept.bin", pinnedAttribute), "1");
    EXPECT_EQ(mount->filesystem().status().pinned.pins, 1);
    ASSERT_TRUE(pinsComplete(1));
    EXPECT_EQ(attribute(mountpoint / "kept.bin", "user.tidewright.state"), "pinned");
}

// The xattr answers as xattrs do, the commands say why they refused, and an unpinned folder's files go back
// to being evictable.
TEST_F(CachingMount, PinsAreRefusedWithClearAnswersAndUnpinningLetsThemGo) {
    const auto docs = api.folder("docs")["id"].get<std::string>();
    upload("a.txt", "a", docs);
    MOUNT_OR_SKIP(pinning());
    ASSERT_TRUE(firstSync());
    const auto folder = mountpoint / "docs", file = mountpoint / "docs" / "a.txt";

    EXPECT_EQ(pin(folder, "yes"), EINVAL);
    EXPECT_EQ(::setxattr(folder.c_str(), "user.other", "1", 1, 0), -1);
    EXPECT_EQ(errno, ENOTSUP);
    EXPECT_EQ(unpin(folder), ENODATA);
    EXPECT_EQ(pin(folder, "1", XATTR_REPLACE), ENODATA);
    ASSERT_EQ(pin(folder), 0);
    EXPECT_EQ(pin(folder), 0);  // pinned already
    EXPECT_EQ(pin(file, "1", XATTR_CREATE), EEXIST);
    EXPECT_EQ(unpin(file), EPERM);  // through its folder
    char names[256];
    const auto length = ::listxattr(file.c_str(), names, sizeof names);
    ASSERT_GT(length, 0);
    EXPECT_NE(std::string(names, static_cast<std::size_t>(length)).find(pinnedAttribute), std::string::npos);
    EXPECT_EQ(pin(mountpoint / (".Trash-" + std::to_string(::getuid()))), EPERM);

    auto [status, errors] = run({"unpin", file.string()});
    EXPECT_EQ(status, 1);
    EXPECT_NE(errors.find("stays pinned: a folder above it is pinned"), std::string::npos) << errors;
    std::tie(status, errors) = run({"pin", dir.path().string(), (mountpoint / "missing").string()});
    EXPECT_EQ(status, 1);
    EXPECT_NE(errors.find(dir.path().string() + " is not on a Tidewright mount"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("cannot pin " + (mountpoint / "missing").string()), std::string::npos) << errors;

    ASSERT_TRUE(pinsComplete(1));
    std::tie(status, errors) = run({"unpin", folder.string(), (mountpoint / "missing-too").string()});
    EXPECT_EQ(status, 1) << errors;  // the missing one
    EXPECT_EQ(attribute(file, pinnedAttribute), "errno " + std::to_string(ENODATA));
    EXPECT_TRUE(waitUntil(5, [&] { return mount->filesystem().status().pinned.files == 0; }));
    EXPECT_EQ(attribute(file, "user.tidewright.state"), "uploaded");
}

// The disk space of every file under `folder`, by the blocks they take (as du counts).
std::int64_t diskUse(const fs::path& folder) {
    std::int64_t bytes = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::end(it);
         it.increment(error)) {
        struct stat status {};
        if (::lstat(it->path().c_str(), &status) == 0) bytes += std::int64_t{status.st_blocks} * 512;
    }
    return bytes;
}

// Writes `bytes` into a new file in pieces of 256 KiB: 0, or the errno of the first call that failed.
int writeNew(const fs::path& file, const std::string& bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return errno;
    int error = 0;
    for (std::size_t at = 0; error == 0 && at < bytes.size(); at += 256 * 1024) {
        const auto n = std::min<std::size_t>(256 * 1024, bytes.size() - at);
        if (::write(fd, bytes.data() + at, n) != static_cast<ssize_t>(n)) error = errno;
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}

// Where two byte strings part, in words; empty when they are equal.
std::string firstDifference(const std::string& got, const std::string& wanted) {
    if (got == wanted) return "";
    const auto at = std::mismatch(got.begin(), got.end(), wanted.begin(), wanted.end()).first - got.begin();
    return std::to_string(got.size()) + " bytes where " + std::to_string(wanted.size()) +
           " were wanted, the first different at " + std::to_string(at);
}

// Reading four times the cache's limit, one file twice the limit through one descriptor among them, keeps the
// cache folder under the high watermark all along; every read gets the service's bytes, and neither a pinned
// file nor a change waiting to be uploaded is evicted.
TEST_F(CachingMount, ReadingFourTimesTheLimitKeepsTheCacheUnderItsHighWatermarkAndEvictsNothingKept) {
    constexpr std::int64_t limit = 8 * MiB, high = limit - limit / 20;
    const auto big = seededBytes(16 * MiB, 1), pinned = seededBytes(2 * MiB, 2),
               pending = seededBytes(MiB, 3);
    upload("big.bin", big);
    for (int i = 0; i < 4; ++i)
        upload("f" + std::to_string(i) + ".bin", seededBytes(4 * MiB, 10 + i));
    upload("pinned.bin", pinned);
    auto options = pinning(limit);
    options.writeBack = 1h;
    MOUNT_OR_SKIP(options);
    ASSERT_TRUE(firstSync());
    ASSERT_EQ(pin(mountpoint / "pinned.bin"), 0);
    ASSERT_TRUE(pinsComplete(1));
    ASSERT_EQ(writeNew(mountpoint / "pending.bin", pending), 0);

    std::atomic<std::int64_t> most = 0;
    std::jthread watcher([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            most = std::max(most.load(), diskUse(dir.path() / "cache"));
            std::this_thread::sleep_for(2ms);
        }
    });
    {
        const int fd = openToRead(mountpoint / "big.bin");
        for (std::int64_t at = 0; at < std::ssize(big); at += MiB)
            EXPECT_EQ(firstDifference(readAt(fd, at, MiB), big.substr(at, MiB)), "") << at;
        ::close(fd);
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(firstDifference(fileText(mountpoint / ("f" + std::to_string(i) + ".bin")),
                                  seededBytes(4 * MiB, 10 + i)),
                  "");
    watcher.request_stop();
    watcher.join();
    EXPECT_LE(most.load(), high);
    EXPECT_LE(mount->filesystem().status().cacheBytes, high);

    EXPECT_EQ(attribute(mountpoint / "pending.bin", "user.tidewright.state"), "pending");
    EXPECT_TRUE(fileText(mountpoint / "pending.bin") == pending);
    EXPECT_EQ(attribute(mountpoint / "pinned.bin", "user.tidewright.state"), "pinned");
    server->stop();
    EXPECT_TRUE(fileText(mountpoint / "pinned.bin") == pinned);
}

// Filled with what cannot be evicted, the cache still serves reads, straight from the service, and refuses
// the writes that no longer fit with ENOSPC; what it holds is intact.
TEST_F(CachingMount, AFullCacheServesReadsUncachedAndRefusesWritesThatNoLongerFit) {
    constexpr std::int64_t limit = 4 * MiB;
    const auto other = seededBytes(2 * MiB, 1), pending = seededBytes(4 * MiB - 96 * 1024, 2);
    upload("other.bin", other);
    auto options = pinning(limit);
    options.writeBack = 1h;
    MOUNT_OR_SKIP(options);
    ASSERT_TRUE(firstSync());
    ASSERT_EQ(writeNew(mountpoint / "pending.bin", pending), 0);

    EXPECT_TRUE(fileText(mountpoint / "other.bin") == other);
    EXPECT_EQ(writeNew(mountpoint / "more.bin", seededBytes(MiB, 3)), ENOSPC);
    EXPECT_TRUE(fileText(mountpoint / "pending.bin") == pending);
    EXPECT_LE(mount->filesystem().status().cacheBytes, limit);
}

}  // namespace
}  // namespace tw::mount
