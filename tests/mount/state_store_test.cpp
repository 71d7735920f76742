#include "state_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "support/service_fixture.h"

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(StateStore, SavedRecordsAndAnchorComeBackAfterAReopen) {
    test::TempDir dir;
    const auto file = dir.path() / "new/state/mount.db";
    const ItemRecord plain{"n1", "root", "a.txt", false, 0, std::nullopt, std::nullopt, {"", ""}};
    const ItemRecord full{"n\0 2"s,          "n1",         "odd/name\0"s, true, 123456789012, host::Date{1.5},
                          host::Date{-2.25}, {"c\0"s, "m"}};
    {
        StateStore store(file);
        EXPECT_FALSE(store.load().anchor.has_value());
        store.save("an\0chor\xff"s, {plain, full}, {});
    }
    EXPECT_EQ(modeOf(dir.path() / "new"), 0700u);
    EXPECT_EQ(modeOf(dir.path() / "new/state"), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    ::chmod(file.c_str(), 0644);

    StateStore store(file);
    EXPECT_EQ(modeOf(file), 0600u);  // narrowed again
    auto snapshot = store.load();
    EXPECT_EQ(snapshot.anchor, "an\0chor\xff"s);
    std::sort(snapshot.records.begin(), snapshot.records.end(),
              [](const auto& a, const auto& b) { return a.identifier < b.identifier; });
    EXPECT_EQ(snapshot.records, (std::vector<ItemRecord>{full, plain}));  // "n\0 2" sorts first

    auto renamed = plain;
    renamed.name = "b.txt";
    store.save("next", {renamed}, {full.identifier, "never known"});
    snapshot = store.load();
    EXPECT_EQ(snapshot.anchor, "next");
    EXPECT_EQ(snapshot.records, (std::vector<ItemRecord>{renamed}));
    store.clear();
    snapshot = store.load();
    EXPECT_FALSE(snapshot.anchor.has_value());
    EXPECT_TRUE(snapshot.records.empty());
}

TEST(StateStore, AFileThatIsNotADatabaseIsAClearErrorAndStaysAsItWas) {
    test::TempDir dir;
    const auto file = dir.path() / "mount.db";
    const std::string text = "not a database, and long enough to have a header of its own";
    std::ofstream(file) << text;
    EXPECT_THROW(StateStore{file}, std::runtime_error);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
}

TEST(StateFolders, XdgValuesAreUsedOnlyWhenAbsolute) {
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    for (const char* name : {"HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
        saved.emplace_back(name,
                           std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt);
    ::setenv("HOME", "/home/someone", 1);
    for (const char* value : {"relative", "", static_cast<const char*>(nullptr)}) {  // nullptr: unset
        SCOPED_TRACE(value ? value : "unset");
        for (const char* name : {"XDG_STATE_HOME", "XDG_CACHE_HOME"})
            value ? ::setenv(name, value, 1) : ::unsetenv(name);
        EXPECT_EQ(stateFolder(), "/home/someone/.local/state/tidewright");
        EXPECT_EQ(cacheFolder(), "/home/someone/.cache/tidewright");
    }
    ::setenv("XDG_STATE_HOME", "/x/y", 1);
    ::setenv("XDG_CACHE_HOME", "/x/z", 1);
    EXPECT_EQ(stateFolder(), "/x/y/tidewright");
    EXPECT_EQ(cacheFolder(), "/x/z/tidewright");
    for (const auto& [name, value] : saved)
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
}

}  // namespace
}  // namespace tw::mount
