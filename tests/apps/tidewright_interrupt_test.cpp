// What tidewright leaves behind: nothing when it is interrupted, and nothing for long when it is killed.
#include <signal.h>
#include <sys/stat.h>

#include "cli_fixture.h"
#include "support/elapsed.h"

namespace tw::test {
namespace {

// SIGINT or SIGTERM during a download: the fetch is cancelled, its partial file and anything delivered are
// deleted, and the status is the one the signal gives.
TEST_F(CliTest, AnInterruptedGetCancelsItsFetchAndLeavesNoFile) {
    const std::string id = api.upload("big", std::string(2'000'000, 'x'))["id"];
    const auto tmp = dir.path() / "tmp", destination = dir.path() / "copy";
    std::filesystem::create_directories(tmp);
    for (const auto& [signal, status] : std::vector<std::pair<int, int>>{{SIGINT, 130}, {SIGTERM, 143}}) {
        SCOPED_TRACE(signal);
        ASSERT_EQ(
            api.post("/_control/faults", {{"path", "/blobs/*"}, {"stallAfter", 500'000}, {"stallMs", 20'000}})
                .status,
            201);
        ChildProcess get({"/usr/bin/env", "TMPDIR=" + tmp.string(), "XDG_CACHE_HOME=" + cache.string(),
                          tidewrightPath, "--config", configFile.string(), "get", id, destination.string()});
        // Its download-XXXXXX (a sanitizer runtime puts a file of its own there while it starts).
        ASSERT_TRUE(waitUntil(10, [&] {
            for (const auto& entry : std::filesystem::directory_iterator(tmp))
                if (entry.path().filename().string().starts_with("download-")) return true;
            return false;
        }));
        get.signal(signal);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(get.wait(10), status);
        EXPECT_LT(secondsSince(start), 5) << "the stalled download was waited out";
        EXPECT_EQ(get.stderrText(), "");
        for (const auto& folder : {tmp, cache})
            for (const auto& left : std::filesystem::recursive_directory_iterator(folder))
                EXPECT_TRUE(left.is_directory()) << left.path() << " left behind";
        EXPECT_FALSE(std::filesystem::exists(destination));
        api.del("/_control/faults");
    }
}

// A host killed after a fetch delivered its file (a cat killed with -9) cannot delete it; the next host to
// start in the domain removes such files once they are a day old, and nothing else.
TEST_F(CliTest, AtStartAHostRemovesDeliveredFilesADayOld) {
    const auto folder = cache / "tidewright" / "default";
    std::filesystem::create_directories(folder);
    ::chmod((cache / "tidewright").c_str(), 0700);
    ::chmod(folder.c_str(), 0700);
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(25);
    const std::vector<std::string> names = {
        "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9",  // left behind: removed
        "1F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9",  // delivered an hour ago: kept
        "0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9",  // not a name the extension gives
        "3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855.data",  // a mount's cache file
    };
    for (const auto& name : names) {
        std::ofstream(folder / name) << "x";
        if (name != names[1]) std::filesystem::last_write_time(folder / name, old);
    }
    std::filesystem::create_directory(folder / "2F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9");  // a folder: kept
    std::filesystem::last_write_time(folder / "2F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9", old);

    EXPECT_EQ(tidewright({"item", "root"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(folder / names[0]));
    for (std::size_t i = 1; i < names.size(); ++i)
        EXPECT_TRUE(std::filesystem::exists(folder / names[i])) << names[i];
    EXPECT_TRUE(std::filesystem::exists(folder / "2F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9"));
}

}  // namespace
}  // namespace tw::test
