// tidewright status as a process, against a control channel served in this process with a status of the
// test's choosing, and without any mount, against a state file the test writes.
#include <mutex>
#include <optional>

#include "cli_fixture.h"
#include "mount/control_channel.h"
#include "mount/state_store.h"

namespace tw::test {
namespace {

namespace fs = std::filesystem;
using mount::MountStatus;
using mount::UploadState;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const auto december9 = std::chrono::system_clock::from_time_t(1796795401);  // 2026-12-09 05:50:01 UTC

class StatusCommand : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "run");
        ::setenv("XDG_RUNTIME_DIR", (dir.path() / "run").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (dir.path() / "cache").c_str(), 1);
        ::setenv("TZ", "UTC+3", 1);  // local time three hours behind UTC, in the command
    }

    // The running mount of the domain, as far as the command can tell: its channel, showing `shown`.
    void serve(mount::ControlServer::UploadNow uploadNow = [](auto) { return false; }) {
        server = std::make_unique<mount::ControlServer>(
            mount::ControlSocket::claim("default"),
            mount::MountIdentity{.space = "http://127.0.0.1:9", .mountpoint = "/home/ana/Tidewright"},
            [this] {
                std::scoped_lock lock(mutex);
                return shown;
            },
            std::move(uploadNow));
    }

    Outcome status(std::vector<std::string> words) {
        words.insert(words.begin(), "status");
        return tidewrightAt("http://127.0.0.1:9", words);
    }

    TempDir dir;
    std::mutex mutex;
    MountStatus shown;
    std::unique_ptr<mount::ControlServer> server;
};

TEST_F(StatusCommand, TextAndJsonSayWhatWaitsAndTheExitStatusWhetherAllIsUploaded) {
    struct Case {
        const char* name;
        MountStatus status;
        std::vector<std::string> text;
        json object;
        int exitStatus;
    };
    const json noPins = {{"pins", 0},         {"files", 0},       {"pinnedBytes", 0},
                         {"presentBytes", 0}, {"complete", true}, {"lastError", ""}};
    const std::vector<Case> cases = {
        {"all uploaded, a file kept here only",
         {.entries = {{".DS_Store", UploadState::localOnly, 0, ""}},
          .reachable = true,
          .lastSync = december9,
          .cacheBytes = 3 << 19,
          .cacheLimit = std::int64_t{10} << 30,
          .pinned =
              {.pins = 1, .files = 2, .pinnedBytes = 3 << 20, .presentBytes = 1 << 20, .complete = false}},
         {"all uploaded", "service: reachable", "last sync: 2026-12-09 02:50:01",
          "cache: 1.5 MiB of 10.0 GiB used", "pinned: 2 files, 1.0 MiB of 3.0 MiB downloaded (downloading)",
          "local-only  .DS_Store"},
         {{"mounted", true},
          {"uploaded", true},
          {"reachable", true},
          {"lastSync", "2026-12-09T05:50:01Z"},
          {"cache", {{"usedBytes", 3 << 19}, {"limitBytes", std::int64_t{10} << 30}}},
          {"pinned",
           {{"pins", 1},
            {"files", 2},
            {"pinnedBytes", 3 << 20},
            {"presentBytes", 1 << 20},
            {"complete", false},
            {"lastError", ""}}},
          {"entries",
           {{{"path", ".DS_Store"}, {"state", "local-only"}, {"attempts", 0}, {"lastError", ""}}}}},
         0},
        {"three waiting, one failed, the service away, never synchronized",
         {.entries = {{"docs/a b.txt", UploadState::failed, 3, "HTTP 503"},
                      {"novo.txt", UploadState::pending, 0, ""},
                      {"x\ty.bin", UploadState::uploading, 1, "timeout"}},
          .reachable = false},
         {"3 changes waiting to be uploaded", "service: unreachable", "last sync: never",
          "failed  docs/a b.txt (3 attempts: HTTP 503)", "pending  novo.txt",
          "uploading  x\\ty.bin (1 attempt: timeout)"},
         {{"mounted", true},
          {"uploaded", false},
          {"reachable", false},
          {"lastSync", nullptr},
          {"cache", {{"usedBytes", 0}, {"limitBytes", 0}}},
          {"pinned", noPins},
          {"entries",
           {{{"path", "docs/a b.txt"}, {"state", "failed"}, {"attempts", 3}, {"lastError", "HTTP 503"}},
            {{"path", "novo.txt"}, {"state", "pending"}, {"attempts", 0}, {"lastError", ""}},
            {{"path", "x\ty.bin"}, {"state", "uploading"}, {"attempts", 1}, {"lastError", "timeout"}}}}},
         1},
    };
    serve();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::scoped_lock lock(mutex);
            shown = c.status;
        }
        const auto text = status({});
        EXPECT_EQ(text.status, c.exitStatus) << text.err;
        EXPECT_EQ(text.lines, c.text);
        // The command's own flag, and the tool's.
        for (const auto& words : {std::vector<std::string>{"status", "--json"}, {"--json", "status"}}) {
            const auto run = tidewrightAt("http://127.0.0.1:9", words);
            EXPECT_EQ(run.status, c.exitStatus) << run.err;
            ASSERT_EQ(run.lines.size(), 1u) << run.err;
            EXPECT_EQ(run.line(), c.object);
        }
    }
}

TEST_F(StatusCommand, WaitMakesTheMountUploadNowUntilItsDeadlineAndTellsTheOutcome) {
    shown.entries = {{"novo.txt", UploadState::pending, 0, ""}};
    std::optional<Clock::time_point> deadline;
    serve([&](Clock::time_point until) {
        std::scoped_lock lock(mutex);
        deadline = until;
        shown.entries.clear();  // uploaded at once
        return true;
    });
    const auto start = Clock::now();
    const auto run = status({"--wait", "5"});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(run.lines.empty()) << run.err;
    EXPECT_EQ(run.lines[0], "all uploaded");
    std::scoped_lock lock(mutex);
    ASSERT_TRUE(deadline);
    // The command's start-up lies between this test's clock and the request.
    EXPECT_NEAR(std::chrono::duration<double>(*deadline - start).count(), 5.0, 1.0);
}

TEST_F(StatusCommand, WithoutAMountItSaysSoAndCountsThePendingChangesOfTheStateFile) {
    const auto quiet = status({});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.lines, std::vector<std::string>{"not mounted"});
    EXPECT_FALSE(fs::exists(dir.path() / "state" / "tidewright" / "default.sqlite"))
        << "no state file is made";

    {
        mount::StateStore store(mount::stateFolder() / "default.sqlite");
        store.putPendingChange({.identifier = "n1", .cacheIdentity = "n1"});
        store.putPendingChange({.identifier = "local-2", .cacheIdentity = "local-2"});
    }
    const auto waiting = status({});
    EXPECT_EQ(waiting.status, 1) << waiting.err;
    EXPECT_EQ(waiting.lines, (std::vector<std::string>{"not mounted", "2 changes waiting to be uploaded"}));
    const auto asJson = status({"--json"});
    EXPECT_EQ(asJson.status, 1) << asJson.err;
    ASSERT_EQ(asJson.lines.size(), 1u) << asJson.err;
    EXPECT_EQ(asJson.line(), (json{{"mounted", false}, {"uploaded", false}, {"waiting", 2}}));
}

}  // namespace
}  // namespace tw::test
