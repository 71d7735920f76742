// modifyItem against the recording server, and the name of a conflicting copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "mutation_fixture.h"

namespace tw::test {
namespace {

using host::ItemFieldSet;
constexpr ItemFieldSet contents = host::contentsField, filename = host::filenameField,
                       parent = host::parentItemIdentifierField;

// The file "Relatório.pdf" (precomposed) in folder p1, version 3, contents r1.
const std::string liveFile =
    R"({"id":"n1","parent":"p1","kind":"file","name":"Relat\u00f3rio.pdf","version":3,"rev":"r1"})";

TEST(ModifyItem, ChangesThatNeedNoRequestOnlyReadTheNode) {
    TestServer server;
    server.script("/api/v1/nodes/n1?trashed=1", {{200, {}, liveFile}});
    auto extension = FileProviderExtension::make(domainFor(server.base()));
    struct Case {
        std::string name;
        host::ItemPointer item;
        ItemFieldSet fields;
    };
    for (const Case& c : {
             Case{"dates and tags", hostItem("n1", "elsewhere", "Outro.pdf"),
                  host::tagDataField | host::lastUsedDateField | host::contentModificationDateField},
             Case{"the same name decomposed", hostItem("n1", "p1", "Relato\xCC\x81rio.pdf"), filename},
             Case{"the same parent", hostItem("n1", "p1", ""), parent},
             Case{"contents of a folder", hostItem("f1", "p1", ""), contents},
         }) {
        SCOPED_TRACE(c.name);
        server.script("/api/v1/nodes/f1?trashed=1",
                      {{200, {}, R"({"id":"f1","parent":"p1","kind":"folder","name":"F","version":2})"}});
        const std::size_t before = server.requests().size();
        const auto answer = modify(*extension, c.item, "r0", c.fields);
        ASSERT_TRUE(answer.item) << answer.error->what();
        EXPECT_EQ(sent(server, before),
                  std::vector<std::string>{"GET /api/v1/nodes/" + c.item->itemIdentifier() + "?trashed=1"});
        EXPECT_EQ(answer.pending, 0u);
        EXPECT_FALSE(answer.shouldFetchContent);
    }
}

TEST(ModifyItem, MovingIntoTheTrashTrashesWithTheVersionJustReadAndAppliesNothingElse) {
    TestServer server;
    server.script(
        "/api/v1/nodes/n1?trashed=1",
        {{200, {}, liveFile},
         {200, {}, R"({"id":"n1","parent":"p1","kind":"file","name":"R.pdf","version":4,"deleted":true})"}});
    server.script("/api/v1/nodes/n1", {{204}});
    server.script("/api/v1/nodes/n2?trashed=1",
                  {{200, {}, R"({"id":"n2","kind":"file","name":"T.pdf","version":9,"deleted":true})"}});
    auto extension = FileProviderExtension::make(domainFor(server.base()));
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

TEST(ModifyItem, ANodeInTheTrashIsRestoredFirstAndLaterRequestsCarryTheRestoredVersion) {
    TestServer server;
    const std::string trashed =
        R"({"id":"ID","parent":"p1","kind":"file","name":"R.pdf","version":5,"deleted":true})";
    const std::string restored = R"({"id":"ID","parent":"p1","kind":"file","name":"R.pdf","version":6})";
    for (const std::string id : {"n1", "n2", "n3"}) {
        server.script("/api/v1/nodes/" + id + "?trashed=1",
                      {{200, {}, std::regex_replace(trashed, std::regex("ID"), id)}});
        server.script("/api/v1/nodes/" + id + "/restore",
                      {{200, {}, std::regex_replace(restored, std::regex("ID"), id)}});
    }
    server.script("/api/v1/nodes/n1",
                  {{200, {}, R"({"id":"n1","parent":"p1","kind":"file","name":"Novo.pdf","version":7})"}});
    auto extension = FileProviderExtension::make(domainFor(server.base()));

    const auto renamed = modify(*extension, hostItem("n1", "p1", "Novo.pdf"), "r0", filename);
    ASSERT_TRUE(renamed.item) << renamed.error->what();
    EXPECT_EQ(renamed.item->filename(), "Novo.pdf");
    EXPECT_EQ(sent(server),
              (std::vector<std::string>{"GET /api/v1/nodes/n1?trashed=1", "POST /api/v1/nodes/n1/restore",
                                        "PATCH /api/v1/nodes/n1"}));
    EXPECT_EQ(server.requests()[2].header("If-Match"), "6");
    EXPECT_EQ(nlohmann::json::parse(server.requests()[2].body), (nlohmann::json{{"name", "Novo.pdf"}}));

    // Out of the trash into the folder it was in; and a change of no field at all.
    const auto back = modify(*extension, hostItem("n2", "p1", ""), "r0", parent);
    ASSERT_TRUE(back.item) << back.error->what();
    EXPECT_EQ(back.item->parentItemIdentifier(), "p1");
    const auto untouched = modify(*extension, hostItem("n3", "", ""), "", 0);
    ASSERT_TRUE(untouched.item) << untouched.error->what();
    EXPECT_EQ(sent(server, 3),
              (std::vector<std::string>{"GET /api/v1/nodes/n2?trashed=1", "POST /api/v1/nodes/n2/restore",
                                        "GET /api/v1/nodes/n3?trashed=1", "POST /api/v1/nodes/n3/restore"}));
}

TEST(ModifyItem, ContentsOverwriteUnlessTheServiceChangedThemSinceTheBaseRevision) {
    const std::string overwrite =
        "/api/v1/files?name=Relatorio.pdf&mime=application%2Fpdf&conflict=fail&parent=p1&replace=n1";
    const std::regex conflictCopy(
        R"(/api/v1/files\?name=Relatorio%20%28conflito%20\d{4}-\d\d-\d\d%20\d\d\.\d\d%29\.pdf)"
        R"(&mime=application%2Fpdf&conflict=rename&parent=p1)");
    struct Case {
        std::string name, rev, baseRevision;
        bool conflict;
    };
    for (const Case& c : {
             Case{"base is the service's revision", R"("rev":"r1")", "r1", false},
             Case{"base is -", R"("rev":"r2")", "-", false},
             Case{"base is empty", R"("rev":"r2")", "", false},
             Case{"the node has no revision", R"("rev":null)", "r1", false},
             Case{"the service moved on since the base", R"("rev":"r2")", "r1", true},
         }) {
        SCOPED_TRACE(c.name);
        TestServer server;
        server.script("/api/v1/nodes/n1?trashed=1",
                      {{200,
                        {},
                        R"({"id":"n1","parent":"p1","kind":"file","name":"Relatorio.pdf","version":3,)" +
                            c.rev + "}"}});
        server.script(
            "/api/v1/files",
            {{200, {}, R"({"id":"NEW","parent":"p1","kind":"file","name":"N","version":4,"rev":"r9"})"}});
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
            EXPECT_EQ(requests[1].target, overwrite);
            EXPECT_EQ(requests[1].header("If-Match"), "3");
            EXPECT_EQ(answer.item->itemVersion().contentVersion, "r9");
        }
    }
}

TEST(ModifyItem, ContentsWithRenameAndMoveToTheTopGoUpUnderTheOldNameThenOnePatchWithTheUploadsVersion) {
    TestServer server;
    server.script("/api/v1/nodes/n1?trashed=1", {{200, {}, liveFile}});
    server.script(
        "/api/v1/files",
        {{200,
          {},
          R"({"id":"n1","parent":"p1","kind":"file","name":"Relat\u00f3rio.pdf","version":4,"rev":"r2"})"}});
    server.script("/api/v1/nodes/n1",
                  {{200, {}, R"({"id":"n1","kind":"file","name":"Final.pdf","version":5,"rev":"r2"})"}});
    auto extension = FileProviderExtension::make(domainFor(server.base()));

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
    EXPECT_EQ(nlohmann::json::parse(requests[2].body),
              (nlohmann::json{{"name", "Final.pdf"}, {"parent", "root"}}));
}

TEST(ModifyItem, ARenameOntoATakenNameGivesTheCollisionErrorCarryingTheItemThatHasIt) {
    TestServer server;
    server.script("/api/v1/nodes/n1?trashed=1", {{200, {}, liveFile}});
    server.script("/api/v1/nodes/n1", {{409, {}, R"({"error":"name_conflict","existing":{"id":"e1"}})"}});
    server.script("/api/v1/nodes/e1?trashed=1",
                  {{200, {}, R"({"id":"e1","parent":"p2","kind":"file","name":"B.pdf","version":1})"}});
    auto extension = FileProviderExtension::make(domainFor(server.base()));

    const auto answer = modify(*extension, hostItem("n1", "p2", "B.pdf"), "r1", filename | parent);
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->code(), -1001);
    ASSERT_TRUE(answer.error->userInfo().collidingItem);
    EXPECT_EQ(answer.error->userInfo().collidingItem->itemIdentifier(), "e1");
    EXPECT_EQ(nlohmann::json::parse(server.requests()[1].body),
              (nlohmann::json{{"name", "B.pdf"}, {"parent", "p2"}}));
}

// Sets the process's time zone for the life of the scope.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* previous = std::getenv("TZ")) previous_ = previous;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (previous_)
            ::setenv("TZ", previous_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

TEST(ConflictName, TheLocalTimeToTheMinuteGoesBeforeTheLastExtension) {
    const ScopedTimeZone saoPaulo("BRT3");  // UTC-3 all year
    using namespace std::chrono;
    const auto at = sys_days{year{2025} / 3 / 3} + 17h + 7min + 59s;  // 14:07:59 local
    struct Case {
        std::string name, conflicting;
    };
    for (const Case& c : {
             Case{"Relatorio.pdf", "Relatorio (conflito 2025-03-03 14.07).pdf"},
             Case{"LEIAME", "LEIAME (conflito 2025-03-03 14.07)"},
             Case{"copia.tar.gz", "copia.tar (conflito 2025-03-03 14.07).gz"},
             Case{".bashrc", ".bashrc (conflito 2025-03-03 14.07)"},
             Case{"Relato\xCC\x81rio.pdf", "Relato\xCC\x81rio (conflito 2025-03-03 14.07).pdf"},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FileProviderExtension::conflictName(c.name, at), c.conflicting);
    }
}

}  // namespace
}  // namespace tw::test
