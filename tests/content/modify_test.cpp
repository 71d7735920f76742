// modifyItem against the recording server, and the name of a conflicting copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "mutation_fixture.h"

namespace tw::test {
namespace {

using host::ItemFieldSet;
using nlohmann::json;
constexpr ItemFieldSet contents = host::contentsField, filename = host::filenameField,
                       parent = host::parentItemIdentifierField;

// The file "Relatório.pdf" (precomposed) in folder p1, version 3, contents r1.
const std::string liveFile = nodeJson("n1", "file", "Relat\\u00f3rio.pdf", 3, R"(,"parent":"p1","rev":"r1")");

class ModifyItem : public ::testing::Test {
protected:
    TestServer server;
    std::shared_ptr<FileProviderExtension> extension = FileProviderExtension::make(domainFor(server.base()));
};

TEST_F(ModifyItem, ChangesThatNeedNoRequestOnlyReadTheNode) {
    server.script("/api/v1/nodes/n1?trashed=1", {{200, {}, liveFile}});
    server.script("/api/v1/nodes/f1?trashed=1",
                  {{200, {}, nodeJson("f1", "folder", "F", 2, R"(,"parent":"p1")")}});
    const std::pair<host::ItemPointer, ItemFieldSet> cases[] = {
        {hostItem("n1", "elsewhere", "Outro.pdf"),  // dates and tags
         host::tagDataField | host::lastUsedDateField | host::contentModificationDateField},
        {hostItem("n1", "p1", "Relato\xCC\x81rio.pdf"), filename},  // the same name decomposed
        {hostItem("n1", "p1", ""), parent},                         // the same parent
        {hostItem("f1", "p1", ""), contents},                       // contents of a folder
    };
    for (const auto& [item, fields] : cases) {
        SCOPED_TRACE(item->itemIdentifier() + " " + std::to_string(fields));
        const std::size_t before = server.requests().size();
        const auto answer = modify(*extension, item, "r0", fields);
        ASSERT_TRUE(answer.item) << answer.error->what();
        EXPECT_EQ(sent(server, before),
                  std::vector<std::string>{"GET /api/v1/nodes/" + item->itemIdentifier() + "?trashed=1"});
        EXPECT_EQ(answer.pending, 0u);
        EXPECT_FALSE(answer.shouldFetchContent);
    }
}

TEST_F(ModifyItem, MovingIntoTheTrashTrashesWithTheVersionJustReadAndAppliesNothingElse) {
    server.script("/api/v1/nodes/n1?trashed=1",
                  {{200, {}, liveFile}, {200, {}, nodeJson("n1", "file", "R.pdf", 4, R"(,"deleted":true)")}});
    server.script("/api/v1/nodes/n1", {{204}});
    server.script("/api/v1/nodes/n2?trashed=1",
                  {{200, {}, nodeJson("n2", "file", "T.pdf", 9, R"(,"deleted":true)")}});
    const LocalFile bytes("ignored");

    const auto trashed = modify(*extension, hostItem("n1", host::trashContainer, "Outro.pdf"), "r0",
                                parent | filename | contents, bytes.path());
    ASSERT_TRUE(trashed.item) << trashed.error->what();
    EXPECT_EQ(trashed.item->parentItemIdentifier(), host::trashContainer);
    EXPECT_EQ(trashed.item->itemVersion().metadataVersion, "4");
    EXPECT_EQ(sent(server),
              (std::vector<std::string>{"GET /api/v1/nodes/n1?trashed=1", "DELETE /api/v1/nodes/n1",
                                        "GET /api/v1/nodes/n1?trashed=1"}));
    EXPECT_EQ(server.requests()[1].header("If-Match"), "3");

    const auto already = modify(*extension, hostItem("n2", host::trashContainer, "T.pdf"), "r0", parent);
    ASSERT_TRUE(already.item) << already.error->what();
    EXPECT_EQ(sent(server, 3), std::vector<std::string>{"GET /api/v1/nodes/n2?trashed=1"});
}

TEST_F(ModifyItem, ANodeInTheTrashIsRestoredFirstAndLaterRequestsCarryTheRestoredVersion) {
    for (const std::string id : {"n1", "n2", "n3"}) {
        server.script("/api/v1/nodes/" + id + "?trashed=1",
                      {{200, {}, nodeJson(id, "file", "R.pdf", 5, R"(,"parent":"p1","deleted":true)")}});
        server.script("/api/v1/nodes/" + id + "/restore",
                      {{200, {}, nodeJson(id, "file", "R.pdf", 6, R"(,"parent":"p1")")}});
    }
    server.script("/api/v1/nodes/n1",
                  {{200, {}, nodeJson("n1", "file", "Novo.pdf", 7, R"(,"parent":"p1")")}});

    const auto renamed = modify(*extension, hostItem("n1", "p1", "Novo.pdf"), "r0", filename);
    ASSERT_TRUE(renamed.item) << renamed.error->what();
    EXPECT_EQ(renamed.item->filename(), "Novo.pdf");
    EXPECT_EQ(sent(server),
              (std::vector<std::string>{"GET /api/v1/nodes/n1?trashed=1", "POST /api/v1/nodes/n1/restore",
                                        "PATCH /api/v1/nodes/n1"}));
    EXPECT_EQ(server.requests()[2].header("If-Match"), "6");
    EXPECT_EQ(json::parse(server.requests()[2].body), (json{{"name", "Novo.pdf"}}));

    // Out of the trash into the folder it was in; and a change of no field at all.
    const auto back = modify(*extension, hostItem("n2", "p1", ""), "r0", parent);
    ASSERT_TRUE(back.item) << back.error->what();
    EXPECT_EQ(back.item->parentItemIdentifier(), "p1");
    EXPECT_TRUE(modify(*extension, hostItem("n3", "", ""), "", 0).item);
    EXPECT_EQ(sent(server, 3),
              (std::vector<std::string>{"GET /api/v1/nodes/n2?trashed=1", "POST /api/v1/nodes/n2/restore",
                                        "GET /api/v1/nodes/n3?trashed=1", "POST /api/v1/nodes/n3/restore"}));
}

TEST(ModifyContents, OverwriteUnlessTheServiceChangedThemSinceTheBaseRevision) {
    const std::regex conflictCopy(
        R"(/api/v1/files\?name=Relatorio%20%28conflito%20\d{4}-\d\d-\d\d%20\d\d\.\d\d%29\.pdf)"
        R"(&mime=application%2Fpdf&conflict=rename&parent=p1)");
    struct Case {
        std::string rev, baseRevision;
        bool conflict;
    };
    for (const Case& c :
         {Case{R"("r1")", "r1", false}, Case{R"("r2")", "-", false}, Case{R"("r2")", "", false},
          Case{"null", "r1", false}, Case{R"("r2")", "r1", true}}) {
        SCOPED_TRACE("service " + c.rev + ", base " + c.baseRevision);
        TestServer server;
        server.script(
            "/api/v1/nodes/n1?trashed=1",
            {{200, {}, nodeJson("n1", "file", "Relatorio.pdf", 3, R"(,"parent":"p1","rev":)" + c.rev)}});
        server.script("/api/v1/files",
                      {{200, {}, nodeJson("NEW", "file", "N", 4, R"(,"parent":"p1","rev":"r9")")}});
        auto extension = FileProviderExtension::make(domainFor(server.base()));
        const LocalFile bytes("edited");

        std::shared_ptr<Progress> progress;
        const auto answer =
            modify(*extension, hostItem("n1", "", ""), c.baseRevision, contents, bytes.path(), &progress);
        ASSERT_TRUE(answer.item) << answer.error->what();
        EXPECT_EQ(progress->totalUnitCount(), 6);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].body, "edited");
        EXPECT_EQ(answer.shouldFetchContent, c.conflict);
        if (c.conflict) {
            EXPECT_TRUE(std::regex_match(requests[1].target, conflictCopy)) << requests[1].target;
            EXPECT_FALSE(requests[1].header("If-Match"));
            EXPECT_EQ(answer.item->itemVersion().metadataVersion, "3");  // the node as read, not the copy
        } else {
            EXPECT_EQ(
                requests[1].target,
                "/api/v1/files?name=Relatorio.pdf&mime=application%2Fpdf&conflict=fail&parent=p1&replace=n1");
            EXPECT_EQ(requests[1].header("If-Match"), "3");
            EXPECT_EQ(answer.item->itemVersion().contentVersion, "r9");
        }
    }
}

TEST_F(ModifyItem, ContentsWithRenameAndMoveToTheTopGoUpUnderTheOldNameThenOnePatchWithTheUploadsVersion) {
    server.script("/api/v1/nodes/n1?trashed=1", {{200, {}, liveFile}});
    server.script(
        "/api/v1/files",
        {{200, {}, nodeJson("n1", "file", "Relat\\u00f3rio.pdf", 4, R"(,"parent":"p1","rev":"r2")")}});
    server.script("/api/v1/nodes/n1", {{200, {}, nodeJson("n1", "file", "Final.pdf", 5, R"(,"rev":"r2")")}});

    // No file: the contents become empty.
    const auto answer = modify(*extension, hostItem("n1", host::rootContainer, "Final.pdf"), "r1",
                               contents | filename | parent);
    ASSERT_TRUE(answer.item) << answer.error->what();
    EXPECT_EQ(answer.item->parentItemIdentifier(), host::rootContainer);
    EXPECT_EQ(answer.item->itemVersion().metadataVersion, "5");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(
        requests[1].target,
        "/api/v1/files?name=Relat%C3%B3rio.pdf&mime=application%2Fpdf&conflict=fail&parent=p1&replace=n1");
    EXPECT_EQ(requests[1].bodySize, 0);
    EXPECT_EQ(requests[2].method, "PATCH");
    EXPECT_EQ(requests[2].header("If-Match"), "4");
    EXPECT_EQ(json::parse(requests[2].body), (json{{"name", "Final.pdf"}, {"parent", "root"}}));
}

TEST_F(ModifyItem, ARenameOntoATakenNameGivesTheCollisionErrorCarryingTheItemThatHasIt) {
    server.script("/api/v1/nodes/n1?trashed=1", {{200, {}, liveFile}});
    server.script("/api/v1/nodes/n1", {{409, {}, R"({"error":"name_conflict","existing":{"id":"e1"}})"}});
    server.script("/api/v1/nodes/e1?trashed=1",
                  {{200, {}, nodeJson("e1", "file", "B.pdf", 1, R"(,"parent":"p2")")}});

    const auto answer = modify(*extension, hostItem("n1", "p2", "B.pdf"), "r1", filename | parent);
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->code(), -1001);
    ASSERT_TRUE(answer.error->userInfo().collidingItem);
    EXPECT_EQ(answer.error->userInfo().collidingItem->itemIdentifier(), "e1");
    EXPECT_EQ(json::parse(server.requests()[1].body), (json{{"name", "B.pdf"}, {"parent", "p2"}}));
}

TEST(ConflictName, TheLocalTimeToTheMinuteGoesBeforeTheLastExtension) {
    ::setenv("TZ", "BRT3", 1);  // UTC-3 all year; nothing else in this binary reads local time
    ::tzset();
    using namespace std::chrono;
    const auto at = sys_days{year{2025} / 3 / 3} + 17h + 7min + 59s;  // 14:07:59 local
    const std::pair<std::string, std::string> cases[] = {
        {"Relatorio.pdf", "Relatorio (conflito 2025-03-03 14.07).pdf"},
        {"LEIAME", "LEIAME (conflito 2025-03-03 14.07)"},
        {"copia.tar.gz", "copia.tar (conflito 2025-03-03 14.07).gz"},
        {".bashrc", ".bashrc (conflito 2025-03-03 14.07)"},
        {"Relato\xCC\x81rio.pdf", "Relato\xCC\x81rio (conflito 2025-03-03 14.07).pdf"},
    };
    for (const auto& [name, conflicting] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(FileProviderExtension::conflictName(name, at), conflicting);
    }
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace tw::test
