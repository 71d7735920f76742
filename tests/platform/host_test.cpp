#include "platform/host/host.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

namespace tw::host {
namespace {

class Named : public Item {
public:
    ItemIdentifier itemIdentifier() const override { return "n7"; }
    ItemIdentifier parentItemIdentifier() const override { return rootContainer; }
    std::string filename() const override { return "a.txt"; }
};

TEST(HostContract, CollisionErrorCarriesTheExistingItem) {
    const Error error = collisionError(std::make_shared<Named>());
    EXPECT_EQ(error.domain(), fileProviderErrorDomain);
    EXPECT_EQ(error.code(), -1001);
    ASSERT_TRUE(error.userInfo().collidingItem);
    EXPECT_EQ(error.userInfo().collidingItem->itemIdentifier(), "n7");
    EXPECT_FALSE(error.userInfo().localizedDescription);
}

// XDG_CACHE_HOME at a fresh folder, with umask 022, for the life of the scope.
class FreshCacheHome {
public:
    FreshCacheHome() {
        std::string pattern = std::filesystem::temp_directory_path() / "cache-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
        ::setenv("XDG_CACHE_HOME", path_.c_str(), 1);
    }
    ~FreshCacheHome() {
        ::umask(umask_);
        ::unsetenv("XDG_CACHE_HOME");
        std::filesystem::remove_all(path_);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    mode_t umask_ = ::umask(022);
};

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::shared_ptr<Manager> managerFor(const std::string& identifier) {
    return Manager::forDomain({.identifier = identifier, .displayName = "", .userInfo = {}});
}

TEST(DefaultManager, MakesAPrivateFolderPerDomainThatNoIdentifierLeaves) {
    const FreshCacheHome cache;
    const auto root = cache.path() / "tidewright";
    for (const auto& [identifier, folder] : {std::pair{"d1", "d1"},
                                             {"../../etc", "%2E%2E%2F%2E%2E%2Fetc"},
                                             {"..", "%2E%2E"},
                                             {"a/b", "a%2Fb"},
                                             {"a%2Fb", "a%252Fb"},
                                             {".hidden", "%2Ehidden"}}) {
        SCOPED_TRACE(identifier);
        const auto manager = managerFor(identifier);
        ASSERT_TRUE(manager);
        EXPECT_EQ(manager->temporaryDirectory(), root / folder);
        EXPECT_EQ(modeOf(root / folder), 0700u);  // not 0755, which the umask would give
    }
    EXPECT_EQ(modeOf(root), 0700u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root), {}), 6);
    EXPECT_THROW(managerFor(""), std::system_error);
}

TEST(DefaultManager, RefusesAFolderSomeoneElseCouldHaveMadeOrSwapped) {
    const FreshCacheHome cache;
    const auto root = cache.path() / "tidewright";
    std::filesystem::create_directories(root / "private");
    std::filesystem::permissions(root, std::filesystem::perms::owner_all);
    std::filesystem::permissions(root / "private", std::filesystem::perms::owner_all);

    std::filesystem::create_directory(root / "open");
    std::filesystem::permissions(root / "open", std::filesystem::perms::all);  // 0777
    std::filesystem::create_directory_symlink(root / "private", root / "link");
    std::filesystem::create_directory(root / "theirs", root / "private");
    // Only root can give a folder to another user: elsewhere that case is left out.
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(::chown((root / "theirs").c_str(), 65534, 65534), 0);
    }

    for (const std::string identifier : {"open", "link", "theirs"}) {
        SCOPED_TRACE(identifier);
        if (identifier != "theirs" || asRoot) {
            EXPECT_THROW(managerFor(identifier), std::system_error);
        }
    }
    EXPECT_EQ(modeOf(root / "open"), 0777u);  // refused, not repaired: someone may already be inside

    // The same for the folder that holds every domain's.
    std::filesystem::permissions(root, std::filesystem::perms::all);
    EXPECT_THROW(managerFor("private"), std::system_error);
}

TEST(DefaultManager, AHostCanSayItHasNone) {
    const auto previous = Manager::setProvider([](const Domain&) { return nullptr; });
    EXPECT_EQ(managerFor("d1"), nullptr);
    Manager::setProvider(previous);
}

}  // namespace
}  // namespace tw::host
