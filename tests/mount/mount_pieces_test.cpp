// The mount's pieces that need no mount: the state kept across restarts (pending changes and listings too),
// shown names and their numbering, trash records, the errno of each host error, which failures mean the
// service cannot be reached, the -o options and the checks made before mounting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "mount/display_names.h"
#include "mount/inode_table.h"
#include "mount/mount.h"
#include "mount/mount_errors.h"
#include "mount/reachability.h"
#include "mount/state_store.h"
#include "platform/error.h"
#include "platform/http/url_error.h"
#include "platform/log.h"
#include "platform/sqlite.h"
#include "support/files.h"
#include "support/service_fixture.h"

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(StateStore, SavedRecordsAndAnchorComeBackAfterAReopen) {
    test::TempDir dir;
    const auto file = dir.path() / "new/state/mount.db";
    const ItemRecord plain{"n1", "root", "a.txt", false, 0, std::nullopt, std::nullopt, {"", ""}};
    const ItemRecord full{"n\0 2"s,          "n1",         "odd/name\0"s, true, 123456789012, host::Date{1.5},
                          host::Date{-2.25}, {"c\0"s, "m"}};
    StateStore(file).save("an\0chor\xff"s, {plain, full}, {});
    EXPECT_EQ(test::modeOf(dir.path() / "new"), 0700u);
    EXPECT_EQ(test::modeOf(dir.path() / "new/state"), 0700u);
    EXPECT_EQ(test::modeOf(file), 0600u);  // (a wider one narrowed: in sqlite_test, as every database is)

    StateStore store(file);
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
    EXPECT_TRUE(!snapshot.anchor && snapshot.records.empty());
}

// The folders listed: kept, dropped one by one or all at once, in the transaction of the records they go
// with; a clear forgets them with the records.
TEST(StateStore, KeptListingsComeBackWithTheirRecordsUntilDroppedOrCleared) {
    test::TempDir dir;
    const auto file = dir.path() / "mount.db";
    const ItemRecord a{"n1", "f1", "a.txt", false, 1, std::nullopt, std::nullopt, {"c1", "m1"}};
    const ItemRecord folder{"f1", "root", "docs", true, 0, std::nullopt, std::nullopt, {"", "m"}};
    const auto sorted = [](std::vector<host::ItemIdentifier> folders) {
        std::sort(folders.begin(), folders.end());
        return folders;
    };
    StateStore(file).save("1", {folder}, {}, {.kept = {"root", "f1", "f2"}, .records = {a}});
    StateStore store(file);
    auto snapshot = store.load();
    EXPECT_EQ(sorted(snapshot.listed), (std::vector<host::ItemIdentifier>{"f1", "f2", "root"}));
    EXPECT_EQ(snapshot.records.size(), 2u);

    store.save("2", {}, {}, {.dropped = {"f2"}});
    EXPECT_EQ(sorted(store.load().listed), (std::vector<host::ItemIdentifier>{"f1", "root"}));
    store.save("3", {}, {}, {.droppedAll = true, .kept = {"f1"}});  // dropped, then listed again
    EXPECT_EQ(store.load().listed, std::vector<host::ItemIdentifier>{"f1"});
    store.clear();
    snapshot = store.load();
    EXPECT_TRUE(snapshot.listed.empty() && snapshot.records.empty() && !snapshot.anchor);
}

// The journal: a row per file, bytes kept as they are, a new file's row replaced by the made item's.
TEST(StateStore, JournalRowsAreReplacedRenamedAndRemovedAndOutliveAClearAndAReopen) {
    test::TempDir dir;
    const auto file = dir.path() / "mount.db";
    const auto local = localIdentity(1);
    const PendingChange edited{.identifier = "n1",
                               .cacheIdentity = "n1",
                               .baseVersion = {"c\0"s, "m1"},
                               .modified = host::Date{12.5}};
    PendingChange made{.identifier = local, .cacheIdentity = local, .parent = "f1", .name = "n\xc3\xa3o.txt"};
    {
        StateStore store(file);
        store.save("7", {}, {});
        store.putPendingChange(edited);
        store.putPendingChange(made);
        auto failed = edited;
        failed.attempts = 2;
        failed.lastError = "the service cannot be reached";
        store.putPendingChange(failed);  // in place of the first
        store.clear();                   // the feed starts again; what was changed here stays
        EXPECT_EQ(store.pendingChanges(),
                  (std::vector<PendingChange>{made, failed}));  // local ones sort first
    }
    StateStore store(file);
    made.identifier = "n2";  // made by the service; still changed since
    made.baseVersion = {"c1", "m1"};
    store.putPendingChange(made, local);
    store.removePendingChange("n1");
    store.removePendingChange("never changed");
    EXPECT_EQ(store.pendingChanges(), std::vector<PendingChange>{made});
    EXPECT_FALSE(store.load().anchor);
}

// A journal written before links were journaled keeps its rows, and takes links after it is opened.
TEST(StateStore, AJournalWithoutTheLinkColumnKeepsItsRowsAndTakesLinks) {
    test::TempDir dir;
    const auto file = dir.path() / "mount.db";
    {
        sqlite::Database old(file);
        old.exec(
            "CREATE TABLE journal (identifier BLOB PRIMARY KEY, cache_identity BLOB NOT NULL, parent BLOB "
            "NOT "
            "NULL, name BLOB NOT NULL, base_content_version BLOB NOT NULL, base_metadata_version BLOB NOT "
            "NULL, modified REAL, attempts INTEGER NOT NULL, last_error TEXT NOT NULL, local_only INTEGER "
            "NOT "
            "NULL);"
            "INSERT INTO journal VALUES (x'6e31', x'6e31', x'', x'', x'6331', x'6d31', NULL, 0, '', 0);");
    }
    const PendingChange edited{.identifier = "n1", .cacheIdentity = "n1", .baseVersion = {"c1", "m1"}};
    const auto local = localIdentity(1);
    const PendingChange link{.identifier = local,
                             .cacheIdentity = local,
                             .parent = "root",
                             .name = "latest",
                             .localOnly = true,
                             .isLink = true};
    {
        StateStore store(file);
        EXPECT_EQ(store.pendingChanges(), std::vector<PendingChange>{edited});
        store.putPendingChange(link);
    }
    EXPECT_EQ(StateStore(file).pendingChanges(), (std::vector<PendingChange>{link, edited}));
}

TEST(StateStore, AFileThatIsNotADatabaseIsAClearErrorAndStaysAsItWas) {
    test::TempDir dir;
    const auto file = dir.path() / "mount.db";
    const std::string text = "not a database, and long enough to have a header of its own";
    std::ofstream(file) << text;
    EXPECT_THROW(StateStore{file}, std::runtime_error);
    EXPECT_EQ(test::fileText(file), text);
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

TEST(ShownNames, NamesThatCollideInAFolderAreNumberedBeforeTheExtensionInCreationOrder) {
    const auto at = [](double seconds) { return std::optional<host::Date>(host::Date{seconds}); };
    const struct {
        const char* what;
        std::vector<NameClaim> claims;
        std::vector<std::string> shown;
    } cases[] = {
        {"distinct names stay", {{"a", at(2), "n1"}, {"b", at(1), "n2"}}, {"a", "b"}},
        {"the first created keeps it",
         {{"dup.txt", at(5), "n1"}, {"dup.txt", at(3), "n2"}, {"dup.txt", at(4), "n3"}},
         {"dup (3).txt", "dup.txt", "dup (2).txt"}},
        {"a replacement collides with a real name",
         {{"a\u2215b", at(2), "n1"}, {"a/b", at(1), "n2"}},
         {"a\u2215b (2)", "a\u2215b"}},
        {"a number another item holds is skipped",
         {{"r.txt", at(1), "n1"}, {"r (2).txt", at(9), "n2"}, {"r.txt", at(2), "n3"}},
         {"r.txt", "r (2).txt", "r (3).txt"}},
        {"the last dot starts the extension, a leading one does not",
         {{"a.tar.gz", at(1), "n1"}, {"a.tar.gz", at(2), "n2"}, {".env", at(1), "n3"}, {".env", at(2), "n4"}},
         {"a.tar.gz", "a.tar (2).gz", ".env", ".env (2)"}},
        {"same date: the shorter, then the lower identifier; no date comes last",
         {{"x", at(1), "n10"}, {"x", at(1), "n9"}, {"x", std::nullopt, "n1"}, {"x", at(1), "n8"}},
         {"x (3)", "x (2)", "x (4)", "x"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(uniqueNames(c.claims), c.shown);
        auto reversed = c.claims;  // the order of a listing does not matter
        std::reverse(reversed.begin(), reversed.end());
        auto shown = uniqueNames(reversed);
        std::reverse(shown.begin(), shown.end());
        EXPECT_EQ(shown, c.shown);
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

// Offline only for a failure of the network under the extension's serverUnreachable; any answer of the
// service's, a 503 included, means it is back; a cancellation or a local failure says nothing.
TEST(Reachability, OnlyTheNetworksFailuresMakeItOfflineAndAnyAnswerEndsIt) {
    using C = FileProviderErrorCode;
    const auto unreachable = [](http::URLError::Code code) {
        return std::make_exception_ptr(fileProviderError(
            C::serverUnreachable,
            {.underlyingError = std::make_shared<const Error>(http::URLError(code, "Connection refused"))}));
    };
    const auto error = [](auto thrown) { return std::make_exception_ptr(thrown); };
    Reachability reachability;
    std::vector<bool> told;
    reachability.onChanged([&](bool offline) { told.push_back(offline); });
    reachability.check();  // online: nothing thrown

    for (const auto& nothing :
         {unreachable(http::URLError::Code::cannotWriteToFile),
          unreachable(http::URLError::Code::badServerResponse), error(userCancelledError()),
          error(std::system_error(ETIMEDOUT, std::generic_category()))})
        reachability.failed(nothing);
    EXPECT_FALSE(reachability.offline());
    for (const auto code :
         {http::URLError::Code::cannotConnectToHost, http::URLError::Code::timedOut,
          http::URLError::Code::cannotFindHost, http::URLError::Code::networkConnectionLost}) {
        SCOPED_TRACE(static_cast<int>(code));
        EXPECT_THAT(Reachability::unreachableReason(unreachable(code)).value_or(""),
                    ::testing::HasSubstr("Connection refused"));
        reachability.failed(unreachable(code));
        EXPECT_TRUE(reachability.offline());
        try {
            reachability.check();
            ADD_FAILURE() << "no error while offline";
        } catch (const std::system_error& refused) {
            EXPECT_EQ(refused.code().value(), EIO);
        }
        // Still offline after what says nothing of the service.
        reachability.failed(unreachable(http::URLError::Code::cannotWriteToFile));
        reachability.failed(error(userCancelledError()));
        EXPECT_TRUE(reachability.offline());
        // A 503 (serverUnreachable without a transport's error), a 404, or a success: the service answered.
        const std::exception_ptr answers[] = {error(fileProviderError(C::serverUnreachable)),
                                              error(fileProviderError(C::noSuchItem)), nullptr};
        const auto& answer = answers[told.size() / 2 % 3];
        if (answer) {
            reachability.failed(answer);
        } else {
            EXPECT_EQ(reachability.record([] { return 7; }), 7);
        }
        EXPECT_FALSE(reachability.offline());
    }
    EXPECT_EQ(told, (std::vector<bool>{true, false, true, false, true, false, true, false}));
    EXPECT_THROW(reachability.record(
                     [&]() -> int { std::rethrow_exception(unreachable(http::URLError::Code::timedOut)); }),
                 Error);
    EXPECT_TRUE(reachability.offline());
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
    fs::create_directories(empty);
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
    std::ofstream(device) << "";

    EXPECT_NO_THROW(checkMountable(empty, device));
    for (const auto& refused : {file.parent_path(), file, dir.path() / "missing"})
        EXPECT_THROW(checkMountable(refused, device), MountRefused) << refused;
    EXPECT_THROW(checkMountable(empty, dir.path() / "no-such-device"), MountRefused);
}

}  // namespace
}  // namespace tw::mount
