// The mount without the service, end to end: started offline on the state an earlier run saved (its listings
// and cached contents served, what needs the service refused at once, writes journaled and uploaded once the
// service is back), the service lost while mounted, and what `tidewright status` and the log say meanwhile.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <set>
#include <tuple>

#include "mounted_space.h"
#include "support/files.h"

namespace tw::mount {
namespace {

using namespace test;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The tolerance of "at once": a call that went out would wait for its retries (seconds) first.
constexpr double atOnce = 1.0;

class OfflineMount : public MountedSpace {
protected:
    MountSettings kept(std::chrono::milliseconds firstRetry = 200ms) const {
        auto options = settings();
        options.stateFile = dir.path() / "state.sqlite";
        options.writeBack = 0ms;
        options.firstRetry = firstRetry;
        return options;
    }

    bool offline() { return mount->filesystem().status().offline; }

    // Every file and folder the service holds in `parent` ("" the root), by name.
    std::map<std::string, json> children(const std::string& parent = "") {
        const auto reply = api.get("/api/v1/nodes?parent=" + (parent.empty() ? "root" : parent));
        EXPECT_EQ(reply.status, 200) << reply.body;
        std::map<std::string, json> named;
        const auto listing = reply.json();  // kept: the loop's range is a reference into it
        for (const auto& node : listing["items"])
            named[node["name"].get<std::string>()] = node;
        return named;
    }
};

// The names a folder lists; the errno of opendir() or readdir() when they fail.
std::set<std::string> namesIn(const fs::path& folder, int* error = nullptr) {
    std::set<std::string> names;
    DIR* listing = ::opendir(folder.c_str());
    if (!listing) {
        if (error) *error = errno;
        return names;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(listing))
        if (std::string_view(entry->d_name) != "." && std::string_view(entry->d_name) != "..")
            names.insert(entry->d_name);
    if (error) *error = errno;
    ::closedir(listing);
    return names;
}

// The errno of reading `file` from its start (0 when it reads), and how long that took.
std::pair<int, double> readFailure(const fs::path& file) {
    const auto start = Clock::now();
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return {errno, secondsSince(start)};
    const int error = readErrno(fd, 0);
    ::close(fd);
    return {error, secondsSince(start)};
}

bool writeFile(const fs::path& file, const std::string& bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && written;
}

// A run lists folders and reads files; the next one starts while the service is away. It lists what the
// first listed and reads what it read; what it never had fails at once with EIO, as do folders made; a file
// written is journaled and goes up as soon as the service is back, not after its retry's pause.
TEST_F(OfflineMount, AStartWithoutTheServiceServesWhatTheLastRunHadAndUploadsOnceItIsBack) {
    const auto docs = api.folder("docs")["id"].get<std::string>();
    const auto deep = api.folder("deep", docs)["id"].get<std::string>();
    api.folder("never listed", docs);
    upload("a.txt", "alpha", docs);
    upload("b.txt", "bravo, never read", docs);
    upload("c.txt", "charlie", deep);
    upload("top.txt", "at the top");
    MOUNT_OR_SKIP(kept());
    ASSERT_TRUE(firstSync());
    // What the first run reads: every folder's names and every file's text but b.txt's.
    const auto shown = [&] {
        return std::tuple{namesIn(mountpoint),
                          namesIn(mountpoint / "docs"),
                          namesIn(mountpoint / "docs" / "deep"),
                          fileText(mountpoint / "docs" / "a.txt"),
                          fileText(mountpoint / "docs" / "deep" / "c.txt"),
                          fileText(mountpoint / "top.txt")};
    };
    const auto online = shown();
    ASSERT_EQ(online,
              std::tuple(std::set<std::string>{"docs", "top.txt", ".Trash-" + std::to_string(::getuid())},
                         std::set<std::string>{"a.txt", "b.txt", "deep", "never listed"},
                         std::set<std::string>{"c.txt"}, "alpha", "charlie", "at the top"));
    mount.reset();

    server->stop();
    MOUNT_OR_SKIP(kept(1h));  // a failed upload would wait an hour for its next try
    EXPECT_EQ(shown(), online);

    // The first round of the change feed finds the service gone.
    ASSERT_TRUE(waitUntil(10, [&] { return offline(); }));
    const auto status = mount->filesystem().status();
    EXPECT_FALSE(status.reachable);
    const auto [readError, readTook] = readFailure(mountpoint / "docs" / "b.txt");
    EXPECT_EQ(readError, EIO);
    EXPECT_LT(readTook, atOnce);
    int listError = 0;
    const auto listStart = Clock::now();
    EXPECT_TRUE(namesIn(mountpoint / "docs" / "never listed", &listError).empty());
    EXPECT_EQ(listError, EIO);
    EXPECT_LT(secondsSince(listStart), atOnce);
    const auto mkdirStart = Clock::now();
    EXPECT_NE(::mkdir((mountpoint / "docs" / "made offline").c_str(), 0755), 0);
    EXPECT_EQ(errno, EIO);
    EXPECT_LT(secondsSince(mkdirStart), atOnce);
    // A cached file is read as fast as ever, and the listings still answer lookups and take a new file.
    EXPECT_EQ(fileText(mountpoint / "docs" / "a.txt"), "alpha");
    ASSERT_TRUE(writeFile(mountpoint / "docs" / "new.txt", "written offline"));
    EXPECT_EQ(fileText(mountpoint / "docs" / "new.txt"), "written offline");
    EXPECT_EQ(namesIn(mountpoint / "docs").count("new.txt"), 1u);
    ASSERT_TRUE(waitUntil(5, [&] {
        const auto entries = mount->filesystem().status().entries;
        return entries.size() == 1 && entries[0].attempts >= 1;  // tried once, and failed
    }));

    server->start();
    // The next probe finds it back (the pauses have grown to a few seconds by now), and the upload starts.
    ASSERT_TRUE(waitUntil(30, [&] { return children(docs).contains("new.txt"); }));

    EXPECT_EQ(api.download(children(docs).at("new.txt")["id"]), "written offline");
    EXPECT_TRUE(waitUntil(10, [&] {
        const auto now = mount->filesystem().status();
        return !now.offline && now.reachable && now.allUploaded();
    }));
    EXPECT_EQ(fileText(mountpoint / "docs" / "b.txt"), "bravo, never read");
    EXPECT_EQ(namesIn(mountpoint / "docs" / "never listed"), std::set<std::string>{});
}

// Mounted while the service answers, then it goes: once the mount knows, each read that needs the service
// fails at once; once it is back, they read again.
TEST_F(OfflineMount, LosingTheServiceWhileMountedMakesUncachedReadsFailAtOnce) {
    upload("one.txt", "one");
    upload("two.txt", "two");
    upload("three.txt", "three");
    MOUNT_OR_SKIP(settings());
    ASSERT_TRUE(firstSync());
    ASSERT_EQ(namesIn(mountpoint).size(), 4u);  // the trash folder too
    ASSERT_EQ(fileText(mountpoint / "one.txt"), "one");

    server->stop();
    // The first read that goes out learns it (after its retries), or the change feed's next round does.
    EXPECT_NE(readFailure(mountpoint / "two.txt").first, 0);
    ASSERT_TRUE(waitUntil(10, [&] { return offline(); }));
    const auto [error, took] = readFailure(mountpoint / "three.txt");
    EXPECT_EQ(error, EIO);
    EXPECT_LT(took, atOnce);
    EXPECT_EQ(fileText(mountpoint / "one.txt"), "one");

    server->start();
    ASSERT_TRUE(waitUntil(20, [&] { return !offline(); }));
    EXPECT_EQ(fileText(mountpoint / "three.txt"), "three");
}

// `tidewright status` of a running `tidewright mount` says "offline" while the service is away (JSON:
// "reachable": false, "offline": true), "reachable" once it is back; the mount logs each change once.
TEST_F(OfflineMount, StatusAndTheLogSayOfflineWhileTheServiceIsAwayAndOnceWhenItIsBack) {
    upload("here.txt", "here");
    const auto mountCommand = command({"-f", "--poll", "1"});
    ChildProcess child(mountCommand);
    ASSERT_TRUE(waitUntil(10, [&] {
        std::error_code error;
        return fs::exists(mountpoint / "here.txt", error);
    })) << child.stderrText();
    const std::vector<std::string> status = {mountCommand[0], mountCommand[1], mountCommand[2], "status"};
    const auto line = [&](const std::vector<std::string>& argv, const std::string& prefix) {
        ChildProcess run(argv);
        for (auto next = run.readLine(); next; next = run.readLine())
            if (next->starts_with(prefix)) return *next;
        return std::string();
    };
    auto statusJson = status;
    statusJson.push_back("--json");
    EXPECT_EQ(line(status, "service:"), "service: reachable");
    EXPECT_FALSE(json::parse(line(statusJson, "{")).contains("offline"));

    server->stop();
    ASSERT_TRUE(waitUntil(15, [&] { return line(status, "service:") == "service: offline"; }));
    const auto answer = json::parse(line(statusJson, "{"));
    EXPECT_EQ(answer["reachable"], false);
    EXPECT_EQ(answer["offline"], true);

    server->start();
    ASSERT_TRUE(waitUntil(20, [&] { return line(status, "service:") == "service: reachable"; }));
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(10), 0);
    const auto log = child.stderrText();
    const auto count = [&](const std::string& text) {
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("offline: the service cannot be reached ("), 1u) << log;
    EXPECT_EQ(count("online again"), 1u) << log;
    EXPECT_EQ(count("changes not followed"), 0u) << log;  // the offline line says it
}

}  // namespace
}  // namespace tw::mount
