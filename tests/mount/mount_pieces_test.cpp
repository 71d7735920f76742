// The mount's pieces that need no mount: shown names, trash records, the errno of each host error, the
// -o options and the checks made before mounting.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <system_error>

#include "display_names.h"
#include "mount.h"
#include "mount_errors.h"
#include "platform/error.h"
#include "platform/log.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

TEST(ShownNames, NamesLinuxCannotHoldGetAVisibleReplacementAndOthersStayAsTheyAre) {
    const struct {
        std::string service, shown;
    } cases[] = {
        {"a/b", "a\u2215b"},    {std::string("nul\0byte", 8), "nul\u2400byte"},
        {".", "\u2024"},        {"..", "\u2025"},
        {"", "\u2400"},         {"...", "..."},
        {".hidden", ".hidden"}, {"Relatório 2025.pdf", "Relatório 2025.pdf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service);
        EXPECT_EQ(displayName(c.service), c.shown);
    }
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
    const struct {
        std::exception_ptr error;
        int expected;
        const char* what;
    } cases[] = {
        {std::make_exception_ptr(fileProviderError(C::noSuchItem)), ENOENT, "noSuchItem"},
        {std::make_exception_ptr(fileProviderError(C::filenameCollision)), EEXIST, "filenameCollision"},
        {std::make_exception_ptr(fileProviderError(C::notAuthenticated)), EACCES, "notAuthenticated"},
        {std::make_exception_ptr(
             fileProviderError(C::cannotSynchronize, {.localizedDescription = "espaço somente leitura"})),
         EROFS, "read-only space"},
        {std::make_exception_ptr(fileProviderError(C::cannotSynchronize)), EIO, "other cannotSynchronize"},
        {std::make_exception_ptr(fileProviderError(C::excludedFromSync)), EINVAL, "excludedFromSync"},
        {std::make_exception_ptr(fileProviderError(C::serverUnreachable)), EIO, "serverUnreachable"},
        {std::make_exception_ptr(std::system_error(ETIMEDOUT, std::generic_category())), ETIMEDOUT,
         "deadline"},
        {std::make_exception_ptr(userCancelledError()), EINTR, "cancelled"},
        {std::make_exception_ptr(std::system_error(ENOTCONN, std::generic_category())), EIO, "ENOTCONN"},
        {std::make_exception_ptr(std::runtime_error("anything")), EIO, "anything else"},
    };
    LogCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(errnoFor(c.error), c.expected);
    }
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

    for (const char* bad : {"uid=", "uid=x", "gid=-1", "umask=8", "umask=1777"}) {
        SCOPED_TRACE(bad);
        MountSettings untouched;
        EXPECT_THROW(applyMountOptions(bad, untouched), MountRefused);
    }
}

TEST(MountChecks, AFolderThatIsNotEmptyOrAMissingDeviceIsRefusedBeforeAnythingIsMade) {
    test::TempDir dir;
    const auto empty = dir.path() / "empty";
    const auto full = dir.path() / "full";
    std::filesystem::create_directories(empty);
    std::filesystem::create_directories(full);
    std::ofstream(full / "file") << "x";
    const auto file = full / "file";
    const auto device = dir.path() / "fuse";  // a stand-in device that the test can make or leave out
    std::ofstream(device) << "";

    EXPECT_NO_THROW(checkMountable(empty, device));
    for (const auto& refused : {full, file, dir.path() / "missing"}) {
        SCOPED_TRACE(refused);
        EXPECT_THROW(checkMountable(refused, device), MountRefused);
    }
    EXPECT_THROW(checkMountable(empty, dir.path() / "no-such-device"), MountRefused);
}

}  // namespace
}  // namespace tw::mount
