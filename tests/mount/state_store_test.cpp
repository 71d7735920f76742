#include "state_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class StateStoreTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "state-store-XXXXXX";
        root = ::mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
};

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST_F(StateStoreTest, SavedRecordsAndAnchorComeBackAfterAReopen) {
    const auto file = root / "new" / "state" / "mount.db";
    const ItemRecord plain{"n1", "root", "a.txt", false, 0, std::nullopt, std::nullopt, {"", ""}};
    const ItemRecord full{"n\0 2"s,          "n1",         "odd/name\0"s, true, 123456789012, host::Date{1.5},
                          host::Date{-2.25}, {"c\0"s, "m"}};
    const auto anchor = "an\0chor\xff"s;
    {
        StateStore store(file);
        EXPECT_FALSE(store.load().anchor.has_value());
        store.save(anchor, {plain, full}, {});
    }
    EXPECT_EQ(modeOf(root / "new"), 0700u);
    EXPECT_EQ(modeOf(root / "new" / "state"), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    ::chmod(file.c_str(), 0644);

    StateStore store(file);
    EXPECT_EQ(modeOf(file), 0600u);
    auto snapshot = store.load();
    EXPECT_EQ(snapshot.anchor, anchor);
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

TEST_F(StateStoreTest, AFileThatIsNotADatabaseIsAClearErrorAndStaysAsItWas) {
    const auto file = root / "mount.db";
    std::ofstream(file) << "not a database, and long enough to have a header of its own";
    EXPECT_THROW(StateStore{file}, std::runtime_error);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "not a database, and long enough to have a header of its own");
}

TEST(StateFolders, XdgValuesAreUsedOnlyWhenAbsolute) {
    const auto saved = [](const char* name) {
        return std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
    };
    const auto home = saved("HOME");
    const auto state = saved("XDG_STATE_HOME");
    const auto cache = saved("XDG_CACHE_HOME");
    ::setenv("HOME", "/home/someone", 1);
    struct Case {
        const char* value;  // nullptr: unset
        fs::path state;
        fs::path cache;
    };
    for (const auto& [value, expectedState, expectedCache] : std::vector<Case>{
             {"/x/y", "/x/y/tidewright", "/x/y/tidewright"},
             {"relative", "/home/someone/.local/state/tidewright", "/home/someone/.cache/tidewright"},
             {"", "/home/someone/.local/state/tidewright", "/home/someone/.cache/tidewright"},
             {nullptr, "/home/someone/.local/state/tidewright", "/home/someone/.cache/tidewright"}}) {
        SCOPED_TRACE(value ? value : "unset");
        for (const char* name : {"XDG_STATE_HOME", "XDG_CACHE_HOME"})
            value ? ::setenv(name, value, 1) : ::unsetenv(name);
        EXPECT_EQ(stateFolder(), expectedState);
        EXPECT_EQ(cacheFolder(), expectedCache);
    }
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    };
    restore("HOME", home);
    restore("XDG_STATE_HOME", state);
    restore("XDG_CACHE_HOME", cache);
}

}  // namespace
}  // namespace tw::mount
