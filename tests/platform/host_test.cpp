#include "platform/host/host.h"

#include <gtest/gtest.h>

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

TEST(HostContract, InitialPagesAreNeitherEmptyNorEachOther) {
    EXPECT_TRUE(isInitialPage(initialPageSortedByName));
    EXPECT_TRUE(isInitialPage(initialPageSortedByDate));
    EXPECT_NE(initialPageSortedByName, initialPageSortedByDate);
    EXPECT_FALSE(isInitialPage(""));
    EXPECT_FALSE(isInitialPage("0"));
}

TEST(HostContract, DefaultManagerKeepsEachDomainInAFolderOfItsOwn) {
    const auto plain = Manager::forDomain({.identifier = "d1", .displayName = "", .userInfo = {}});
    const auto tricky = Manager::forDomain({.identifier = "../../etc", .displayName = "", .userInfo = {}});
    const auto dir = plain->temporaryDirectory();
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_EQ(dir.parent_path(), std::filesystem::temp_directory_path());
    EXPECT_EQ(tricky->temporaryDirectory().parent_path(), std::filesystem::temp_directory_path());

    const auto previous = Manager::setProvider([](const Domain&) { return nullptr; });
    EXPECT_EQ(Manager::forDomain({.identifier = "d1", .displayName = "", .userInfo = {}}), nullptr);
    Manager::setProvider(previous);
}

}  // namespace
}  // namespace tw::host
