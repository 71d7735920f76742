// The mount's pieces that need no mount: item records, shown names, trash records, the errno of each host
// error, the -o options and the checks made before mounting.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <system_error>

#include "display_names.h"
#include "item_record.h"
#include "mount.h"
#include "mount_errors.h"
#include "platform/error.h"
#include "platform/log.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

struct PlainItem : host::Item {
    std::optional<ContentType> type;
    host::ItemIdentifier itemIdentifier() const override { return "n1"; }
    host::ItemIdentifier parentItemIdentifier() const override { return host::rootContainer; }
    std::string filename() const override { return "a/b"; }
    std::optional<ContentType> contentType() const override { return type; }
};

TEST(ItemRecord, KindComesFromTheContentTypeAndMissingPropertiesStayEmpty) {
    PlainItem item;
    EXPECT_FALSE(recordFor(item).isFolder);  // no content type
    item.type = ContentType::folder();
    EXPECT_TRUE(recordFor(item).isFolder);
    item.type = ContentType::data();
    EXPECT_EQ(recordFor(item), (ItemRecord{"n1", host::rootContainer, "a/b", false, 0, {}, {}, {}}));
}

TEST(ShownNames, NamesLinuxCannotHoldGetAVisibleReplacementAndOthersStayAsTheyAre) {
    const struct {
        std::string service, shown;
    } cases[] = {
        {"a/b", "a\u2215b"},    {std::string("nul\0byte", 8), "nul\u2400byte"},
        {".", "\u2024"},        {"..", "\u2025"},
        {"", "\u2400"},         {"...", "..."},
        {".hidden", ".hidden"}, {"Relatório 2025.pdf", "Relatório 2025.pdf"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(displayName(c.service), c.shown) << c.service;
}

TEST(TrashInfo, PathIsPercentEncodedAndTheDateIsLocalTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(trashInfo("Documentos/Notas 100%.md", host::Date{1'700'000'000.75}),
              "[Trash Info]\nPath=Documentos/Notas%20100%25.md\nDeletionDate=2023-11-14T22:13:20\n");
    EXPECT_EQ(trashInfo("ç", std::nullopt), "[Trash Info]\nPath=%C3%A7\n");
}

TEST(MountErrors, EachHostErrorHasItsErrnoAndNoneIsENOTCONN) {
    using C = FileProviderErrorCode;
    const auto host = [](C code, UserInfo info = {}) {
        return std::make_exception_ptr(fileProviderError(code, info));
    };
    const auto system = [](int code) {
        return std::make_exception_ptr(std::system_error(code, std::generic_category()));
    };
    const std::pair<std::exception_ptr, int> cases[] = {
        {host(C::noSuchItem), ENOENT},
        {host(C::filenameCollision), EEXIST},
        {host(C::notAuthenticated), EACCES},
        {host(C::cannotSynchronize, {.localizedDescription = "espaço somente leitura"}), EROFS},
        {host(C::cannotSynchronize), EIO},
        {host(C::excludedFromSync), EINVAL},
        {host(C::serverUnreachable), EIO},
        {system(ETIMEDOUT), ETIMEDOUT},  // the deadline
        {std::make_exception_ptr(userCancelledError()), EINTR},
        {system(ENOTCONN), EIO},
        {std::make_exception_ptr(std::runtime_error("anything")), EIO},
    };
    LogCapture log;
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(errnoFor(cases[i].first), cases[i].second) << "case " << i;
    ASSERT_EQ(log.records().size(), 1u);  // the read-only space's message, for the user to read
    EXPECT_NE(log.records()[0].message.find("espaço somente leitura"), std::string::npos);
}

TEST(MountOptions, OwnerAndUmaskAreTakenAndTheRestGoesToFuse) {
    MountSettings settings;
    applyMountOptions("allow_other,uid=1000,gid=100,umask=027,ro", settings);
    EXPECT_EQ(settings.uid, 1000u);
    EXPECT_EQ(settings.gid, 100u);
    EXPECT_EQ(settings.umask, 027u);
    EXPECT_EQ(settings.fuseOptions, (std::vector<std::string>{"allow_other", "ro"}));
    for (const char* bad : {"uid=", "uid=x", "gid=-1", "umask=8", "umask=1777"})
        EXPECT_THROW(applyMountOptions(bad, settings), MountRefused) << bad;
}

TEST(MountChecks, AFolderThatIsNotEmptyOrAMissingDeviceIsRefusedBeforeAnythingIsMade) {
    test::TempDir dir;
    const auto empty = dir.path() / "empty", file = dir.path() / "full/file";
    const auto device = dir.path() / "fuse";  // a stand-in device that the test can make or leave out
    std::filesystem::create_directories(empty);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "x";
    std::ofstream(device) << "";

    EXPECT_NO_THROW(checkMountable(empty, device));
    for (const auto& refused : {file.parent_path(), file, dir.path() / "missing"})
        EXPECT_THROW(checkMountable(refused, device), MountRefused) << refused;
    EXPECT_THROW(checkMountable(empty, dir.path() / "no-such-device"), MountRefused);
}

}  // namespace
}  // namespace tw::mount
