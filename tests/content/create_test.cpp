// createItem against the recording server.
#include <gtest/gtest.h>

#include "mutation_fixture.h"
#include "provider/item.h"

namespace tw::test {
namespace {

TEST(CreateItem, NamesThatNeverSyncAndSymbolicLinksAreRefusedAtOnceWithAnEmptyProgress) {
    TestServer server;
    auto extension = FileProviderExtension::make(domainFor(server.base()));
    struct Case {
        std::string name;
        std::optional<ContentType> type;
    };
    for (const Case& c :
         {Case{"._Relatorio.pdf", ContentType::data()}, Case{".DS_Store", std::nullopt},
          Case{".Spotlight-V100", ContentType::folder()}, Case{"notas.txt", ContentType::symbolicLink()}}) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        std::optional<Error> error;
        auto progress = extension->createItem(
            hostItem("", host::rootContainer, c.name, c.type), 0, std::nullopt, host::mayAlreadyExist, {},
            [&](host::ItemPointer item, host::ItemFieldSet, bool, std::optional<Error> e) {
                ++calls;
                EXPECT_FALSE(item);
                error = std::move(e);
            });
        EXPECT_EQ(calls, 1);  // before returning
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), fileProviderErrorDomain);
        EXPECT_EQ(error->code(), -2010);
        EXPECT_TRUE(error->userInfo().empty());
        EXPECT_EQ(progress->totalUnitCount(), 0);
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST(CreateItem, FoldersNameTheirParentOnlyBelowTheTopLevelAndNoneIsMadeInTheTrash) {
    TestServer server;
    server.script("/api/v1/nodes", {{201, {}, nodeJson("n7", "folder", "Fotos", 1)},
                                    {201, {}, nodeJson("n8", "folder", "2025", 1, R"(,"parent":"p1")")}});
    auto extension = FileProviderExtension::make(domainFor(server.base()));

    const auto top = create(*extension, hostItem("", host::rootContainer, "Fotos", ContentType::folder()));
    ASSERT_TRUE(top.item) << top.error->what();
    EXPECT_EQ(top.item->itemIdentifier(), "n7");
    EXPECT_EQ(top.pending, 0u);
    EXPECT_FALSE(top.shouldFetchContent);
    const auto below = create(*extension, hostItem("", "p1", "2025", ContentType::directory()));
    ASSERT_TRUE(below.item) << below.error->what();
    EXPECT_EQ(below.item->parentItemIdentifier(), "p1");

    const auto inTrash =
        create(*extension, hostItem("", host::trashContainer, "Fotos", ContentType::folder()));
    ASSERT_TRUE(inTrash.error);
    EXPECT_EQ(inTrash.error->code(), -2005);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(requests[0].body), (nlohmann::json{{"name", "Fotos"}}));
    EXPECT_EQ(nlohmann::json::parse(requests[1].body), (nlohmann::json{{"name", "2025"}, {"parent", "p1"}}));
}

TEST(CreateItem, FilesGoUpUnderTheirNameAndTypeAndWithoutContentsAsAnEmptyFile) {
    TestServer server;
    server.script("/api/v1/files", {{201, {}, nodeJson("n9", "file", "x", 1, R"(,"parent":"p1","size":5)")}});
    auto extension = FileProviderExtension::make(domainFor(server.base()));
    const LocalFile contents("hello");

    std::shared_ptr<Progress> progress;
    const auto withContents =
        create(*extension, hostItem("", "p1", "Relatório 1.txt"), contents.path(), 0, &progress);
    ASSERT_TRUE(withContents.item) << withContents.error->what();
    EXPECT_EQ(withContents.item->itemIdentifier(), "n9");
    EXPECT_FALSE(withContents.shouldFetchContent);
    EXPECT_EQ(progress->totalUnitCount(), 5);

    const auto empty =
        create(*extension, hostItem("", host::rootContainer, "vazio"), std::nullopt, 0, &progress);
    ASSERT_TRUE(empty.item) << empty.error->what();
    EXPECT_EQ(progress->totalUnitCount(), 1);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target,
              "/api/v1/files?name=Relat%C3%B3rio%201.txt&mime=text%2Fplain&conflict=fail&parent=p1");
    EXPECT_EQ(requests[0].body, "hello");
    EXPECT_EQ(requests[1].target, "/api/v1/files?name=vazio&mime=application%2Foctet-stream&conflict=fail");
    EXPECT_EQ(requests[1].bodySize, 0);
    EXPECT_FALSE(requests[1].header("If-Match"));
}

TEST(CreateItem, NameConflictsAreAdoptedOverwrittenOrReportedAsCollisionsCarryingTheExistingItem) {
    const std::string conflict = R"({"error":"name_conflict","existing":{"id":"e1","kind":"file"}})";
    const Reply folder{200, {}, nodeJson("e1", "folder", "X", 4)},
        file{200, {}, nodeJson("e1", "file", "X", 4, R"(,"rev":"r1")")};
    const std::string folderPost = "POST /api/v1/nodes", lookup = "GET /api/v1/nodes/e1?trashed=1",
                      filePost = "POST /api/v1/files?name=X&mime=application%2Foctet-stream&conflict=fail";
    struct Case {
        std::string name;
        bool folder, mayAlreadyExist;
        std::string conflictBody;
        Reply existing;
        std::vector<std::string> requests;
        std::int64_t errorCode;        // 0: the answer is the item e1
        std::string collidingId = {};  // the item an error carries
    };
    // clang-format off
    for (const Case& c : {
             Case{"folder over a folder is adopted", true, true, conflict, folder, {folderPost, lookup}, 0},
             Case{"file over a file overwrites it", false, true, conflict, file,
                  {filePost, lookup, filePost + "&replace=e1"}, 0},
             Case{"file over a folder collides", false, true, conflict, folder, {filePost, lookup, lookup}, -1001, "e1"},
             Case{"without may-already-exist it collides", true, false, conflict, folder, {folderPost, lookup}, -1001,
                  "e1"},
             Case{"a conflict naming nothing collides without an item", true, true, R"({"error":"name_conflict"})",
                  folder, {folderPost}, -1001},
             Case{"an existing node that cannot be read gives its error", true, true, conflict,
                  {404, {}, R"({"error":"not_found"})"}, {folderPost, lookup}, -1005},
         }) {
        // clang-format on
        SCOPED_TRACE(c.name);
        TestServer server;
        server.script("/api/v1/nodes", {{409, {}, c.conflictBody}});
        server.script("/api/v1/files", {{409, {}, c.conflictBody},
                                        {200, {}, nodeJson("e1", "file", "X", 5, R"(,"rev":"r2")")}});
        server.script("/api/v1/nodes/e1?trashed=1", {c.existing});
        auto extension = FileProviderExtension::make(domainFor(server.base()));
        const LocalFile contents("new");

        const auto answer = create(*extension,
                                   hostItem("", host::rootContainer, "X",
                                            c.folder ? std::optional(ContentType::folder()) : std::nullopt),
                                   c.folder ? std::nullopt : std::optional(contents.path()),
                                   c.mayAlreadyExist ? std::uint64_t{host::mayAlreadyExist} : 0);
        EXPECT_EQ(sent(server), c.requests);
        for (const auto& request : server.requests())
            if (request.target.find("&replace=e1") != std::string::npos) {
                EXPECT_EQ(request.header("If-Match"), "4");  // the existing node's version
                EXPECT_EQ(request.body, "new");
            }
        if (c.errorCode == 0) {
            ASSERT_TRUE(answer.item) << answer.error->what();
            EXPECT_EQ(answer.item->itemIdentifier(), "e1");
            EXPECT_EQ(answer.pending, 0u);
            EXPECT_FALSE(answer.shouldFetchContent);
            continue;
        }
        ASSERT_TRUE(answer.error);
        EXPECT_EQ(answer.error->code(), c.errorCode);
        const auto& colliding = answer.error->userInfo().collidingItem;
        EXPECT_EQ(colliding ? colliding->itemIdentifier() : "", c.collidingId);
    }
}

}  // namespace
}  // namespace tw::test
