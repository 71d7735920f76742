// createItem, modifyItem and deleteItem against the loopback server; and the name of a conflicting copy.
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "provider/extension.h"
#include "provider/item.h"
#include "support/once.h"
#include "support/test_server.h"

namespace tw::test {
namespace {

using host::ItemFieldSet;
using nlohmann::json;

std::shared_ptr<FileProviderExtension> extensionFor(const TestServer& server) {
    return FileProviderExtension::make({.identifier = "d1",
                                        .displayName = "Tidewright",
                                        .userInfo = json{{"base", server.base()}, {"token", "t"}}});
}

// A node as the service sends it: `extra` holds more keys, each with its leading comma.
Reply node(const std::string& id, const std::string& kind, const std::string& name, int version,
           const std::string& extra = "", int status = 200) {
    return {status,
            {},
            R"({"id":")" + id + R"(","kind":")" + kind + R"(","name":")" + name + R"(","version":)" +
                std::to_string(version) + extra + "}"};
}
std::string lookup(const std::string& id) {
    return "/api/v1/nodes/" + id + "?trashed=1";
}

// An item as a host hands it in: what the host set, and no content type unless it gave one.
struct HostItem : host::Item {
    HostItem(std::string i, std::string p, std::string n, std::optional<ContentType> t)
        : id(std::move(i)), parent(std::move(p)), name(std::move(n)), type(std::move(t)) {}
    host::ItemIdentifier itemIdentifier() const override { return id; }
    host::ItemIdentifier parentItemIdentifier() const override { return parent; }
    std::string filename() const override { return name; }
    std::optional<ContentType> contentType() const override { return type; }
    std::string id, parent, name;
    std::optional<ContentType> type;
};

host::ItemPointer hostItem(host::ItemIdentifier id, host::ItemIdentifier parent, std::string name,
                           std::optional<ContentType> type = std::nullopt) {
    return std::make_shared<HostItem>(std::move(id), std::move(parent), std::move(name), std::move(type));
}

struct Changed {
    host::ItemPointer item;
    bool shouldFetchContent = false;
    std::optional<Error> error;
    std::shared_ptr<Progress> progress;  // what the call returned
};

// Runs `call` with a change completion and waits for its one answer.
template <class Call>
Changed changeAndWait(Call call) {
    auto once = std::make_shared<Once<Changed>>();
    auto progress = call([once](auto item, auto, bool fetch, auto error) {
        once->set({item, fetch, error});
    });
    auto answer = once->wait();
    answer.progress = progress;
    return answer;
}

Changed create(FileProviderExtension& extension, host::ItemPointer item,
               std::optional<std::filesystem::path> contents = std::nullopt, std::uint64_t options = 0) {
    return changeAndWait(
        [&](auto done) { return extension.createItem(item, 0, contents, options, {}, done); });
}

Changed modify(FileProviderExtension& extension, host::ItemPointer item, std::string baseRevision,
               ItemFieldSet fields, std::optional<std::filesystem::path> contents = std::nullopt) {
    return changeAndWait([&](auto done) {
        return extension.modifyItem(item, {baseRevision, "1"}, fields, contents, 0, {}, done);
    });
}

// "METHOD target" of each request from the index `from` on.
std::vector<std::string> sent(const TestServer& server, std::size_t from = 0) {
    std::vector<std::string> lines;
    for (const auto& request : server.requests())
        lines.push_back(request.method + " " + request.target);
    return {lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()};
}

// A file of these bytes, removed at the end of the scope; one at a time.
struct LocalFile {
    explicit LocalFile(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
    ~LocalFile() { std::filesystem::remove(path); }
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("tw-mutation-" + std::to_string(::getpid()));
};

class Mutation : public ::testing::Test {
protected:
    TestServer server;
    std::shared_ptr<FileProviderExtension> extension = extensionFor(server);
};

TEST_F(Mutation, NamesThatNeverSyncAreRefusedWithAnEmptyProgressAndNoRequest) {
    const std::pair<std::string, std::optional<ContentType>> cases[] = {
        {"._Relatorio.pdf", ContentType::data()}, {".DS_Store", ContentType::folder()}};
    for (const auto& [name, type] : cases) {
        SCOPED_TRACE(name);
        const auto answer = create(*extension, hostItem("", host::rootContainer, name, type), std::nullopt,
                                   host::mayAlreadyExist);
        EXPECT_FALSE(answer.item);
        EXPECT_EQ(answer.error.value().domain(), fileProviderErrorDomain);
        EXPECT_EQ(answer.error->code(), -2010);
        EXPECT_EQ(answer.progress->totalUnitCount(), 0);
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(Mutation, FoldersBelowTheTopLevelNameTheirParentAndAFileWithoutContentsIsEmpty) {
    server.script("/api/v1/nodes", {node("n8", "folder", "2025", 1, R"(,"parent":"p1")", 201)});
    server.script("/api/v1/files", {node("n9", "file", "vazio", 1, R"(,"parent":"p1","size":0)", 201)});
    const auto folder = create(*extension, hostItem("", "p1", "2025", ContentType::directory()));
    ASSERT_TRUE(folder.item) << folder.error->what();
    EXPECT_EQ(json::parse(server.requests().at(0).body), (json{{"name", "2025"}, {"parent", "p1"}}));
    EXPECT_TRUE(create(*extension, hostItem("", "p1", "vazio")).item);
    EXPECT_EQ(server.requests().at(1).bodySize, 0);
}

TEST(CreateItem, NameConflictsOverwriteAFileOrAreCollisionsCarryingTheExistingItem) {
    const std::string conflict = R"({"error":"name_conflict","existing":{"id":"e1","kind":"file"}})";
    const Reply folder = node("e1", "folder", "X", 4), file = node("e1", "file", "X", 4, R"(,"rev":"r1")");
    const std::string folderPost = "POST /api/v1/nodes", get = "GET " + lookup("e1"),
                      filePost = "POST /api/v1/files?name=X&mime=application%2Foctet-stream&conflict=fail";
    struct Case {
        std::string name;
        bool folder;
        std::string conflictBody;
        Reply existing;
        std::vector<std::string> requests;
        std::int64_t errorCode;        // 0: the answer is the item e1
        std::string collidingId = {};  // the item an error carries
    };
    // clang-format off
    for (const Case& c : {
             Case{"file over a file overwrites it", false, conflict, file, {filePost, get, filePost + "&replace=e1"}, 0},
             Case{"file over a folder collides", false, conflict, folder, {filePost, get, get}, -1001, "e1"},
             Case{"a conflict naming nothing collides without an item", true, R"({"error":"name_conflict"})", folder,
                  {folderPost}, -1001},
         }) {
        // clang-format on
        SCOPED_TRACE(c.name);
        TestServer server;
        server.script("/api/v1/nodes", {{409, {}, c.conflictBody}});
        server.script("/api/v1/files",
                      {{409, {}, c.conflictBody}, node("e1", "file", "X", 5, R"(,"rev":"r2")")});
        server.script(lookup("e1"), {c.existing});
        const LocalFile bytes("new");
        const auto answer =
            create(*extensionFor(server),
                   hostItem("", host::rootContainer, "X",
                            c.folder ? std::optional(ContentType::folder()) : std::nullopt),
                   c.folder ? std::nullopt : std::optional(bytes.path), host::mayAlreadyExist);
        EXPECT_EQ(sent(server), c.requests);
        if (const auto requests = server.requests(); requests.back().target.ends_with("&replace=e1")) {
            EXPECT_EQ(requests.back().header("If-Match"), "4");  // the existing node's version
            EXPECT_EQ(requests.back().body, "new");
        }
        EXPECT_EQ(answer.item ? answer.item->itemIdentifier() : "", c.errorCode ? "" : "e1");
        EXPECT_EQ(answer.error ? answer.error->code() : 0, c.errorCode);
        const auto colliding = answer.error ? answer.error->userInfo().collidingItem : nullptr;
        EXPECT_EQ(colliding ? colliding->itemIdentifier() : "", c.collidingId);
    }
}

TEST(DeleteItem, LiveNodesGoToTheTrashTrashedOnesArePurgedAndNodesThatAreGoneCountAsDeleted) {
    const Reply live = node("n1", "file", "a.txt", 3),
                trashed = node("n1", "folder", "A", 8, R"(,"deleted":true)"),
                notFound{404, {}, R"({"error":"not_found"})"}, done{204};
    const std::string get = "GET " + lookup("n1"), trash = "DELETE /api/v1/nodes/n1",
                      purge = "DELETE /api/v1/trash/n1";
    struct Case {
        std::string name;
        Reply lookup, removal;
        std::vector<std::string> requests;
        std::optional<std::string> ifMatch;  // of the last request
        std::int64_t errorCode = 0;
    };
    // clang-format off
    for (const Case& c : {
             Case{"live", live, done, {get, trash}, "3"},
             Case{"gone before the purge", trashed, notFound, {get, purge}, std::nullopt},
             Case{"changed in between", live, {412, {}, R"({"error":"version_mismatch"})"}, {get, trash}, "3", -2005},
         }) {
        // clang-format on
        SCOPED_TRACE(c.name);
        TestServer server;
        server.script(lookup("n1"), {c.lookup});
        server.script("/api/v1/nodes/n1", {c.removal});
        server.script("/api/v1/trash/n1", {c.removal});
        const auto extension = extensionFor(server);
        auto once = std::make_shared<Once<std::optional<Error>>>();
        extension->deleteItem("n1", host::ItemVersion{"r0", "1"}, host::recursiveDeletion, {},
                              [once](std::optional<Error> error) { once->set(std::move(error)); });
        const auto error = once->wait();
        EXPECT_EQ(error ? error->code() : 0, c.errorCode);
        EXPECT_EQ(sent(server), c.requests);
        EXPECT_EQ(server.requests().back().header("If-Match"), c.ifMatch);
    }
}

constexpr ItemFieldSet contents = host::contentsField, filename = host::filenameField,
                       parent = host::parentItemIdentifierField;

TEST_F(Mutation, ModificationsThatNeedNoRequestOnlyReadTheNode) {
    server.script(lookup("n1"), {node("n1", "file", "Relat\\u00f3rio.pdf", 3, R"(,"parent":"p1")")});
    server.script(lookup("f1"), {node("f1", "folder", "F", 2, R"(,"parent":"p1")")});
    const std::pair<host::ItemPointer, ItemFieldSet> cases[] = {
        {hostItem("n1", "p1", "Relato\xCC\x81rio.pdf"), filename},  // the same name decomposed
        {hostItem("n1", "p1", ""), parent},                         // the same parent
        {hostItem("f1", "p1", ""), contents},                       // contents of a folder
    };
    for (const auto& [item, fields] : cases) {
        SCOPED_TRACE(item->itemIdentifier() + " " + std::to_string(fields));
        const std::size_t before = server.requests().size();
        const auto answer = modify(*extension, item, "r0", fields);
        ASSERT_TRUE(answer.item) << answer.error->what();
        EXPECT_EQ(sent(server, before), std::vector<std::string>{"GET " + lookup(item->itemIdentifier())});
    }
}

TEST_F(Mutation, ANodeInTheTrashIsRestoredFirstAndLaterRequestsCarryTheRestoredVersion) {
    server.script(lookup("n1"), {node("n1", "file", "R.pdf", 5, R"(,"parent":"p1","deleted":true)")});
    server.script("/api/v1/nodes/n1/restore", {node("n1", "file", "R.pdf", 6, R"(,"parent":"p1")")});
    server.script("/api/v1/nodes/n1", {node("n1", "file", "Novo.pdf", 7, R"(,"parent":"p1")")});
    const auto renamed = modify(*extension, hostItem("n1", "p1", "Novo.pdf"), "r0", filename);
    ASSERT_TRUE(renamed.item) << renamed.error->what();
    EXPECT_EQ(renamed.item->filename(), "Novo.pdf");
    EXPECT_EQ(sent(server), (std::vector<std::string>{"GET " + lookup("n1"), "POST /api/v1/nodes/n1/restore",
                                                      "PATCH /api/v1/nodes/n1"}));
    EXPECT_EQ(server.requests()[2].header("If-Match"), "6");
    EXPECT_EQ(json::parse(server.requests()[2].body), (json{{"name", "Novo.pdf"}}));
}

TEST(ModifyContents, OverwriteUnlessTheServiceChangedThemSinceTheBaseRevision) {
    struct Case {
        std::string rev, baseRevision;
        bool conflict;
    };
    for (const Case& c :
         {Case{R"("r1")", "r1", false}, Case{R"("r2")", "-", false}, Case{R"("r2")", "", false},
          Case{"null", "r1", false}, Case{R"("r2")", "r1", true}}) {
        SCOPED_TRACE("service " + c.rev + ", base " + c.baseRevision);
        TestServer server;
        server.script(lookup("n1"),
                      {node("n1", "file", "Relatorio.pdf", 3, R"(,"parent":"p1","rev":)" + c.rev)});
        server.script("/api/v1/files", {node("NEW", "file", "N", 4, R"(,"parent":"p1","rev":"r9")")});
        const LocalFile bytes("edited");
        const auto answer =
            modify(*extensionFor(server), hostItem("n1", "", ""), c.baseRevision, contents, bytes.path);
        ASSERT_TRUE(answer.item) << answer.error->what();
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(answer.shouldFetchContent, c.conflict);
        if (c.conflict) {
            EXPECT_TRUE(requests[1].target.ends_with("&conflict=rename&parent=p1")) << requests[1].target;
            EXPECT_FALSE(requests[1].header("If-Match"));
            EXPECT_EQ(answer.item->itemVersion().metadataVersion, "3");  // the node as read, not the copy
        } else {
            EXPECT_EQ(requests[1].header("If-Match"), "3");
            EXPECT_EQ(answer.item->itemVersion().contentVersion, "r9");
        }
    }
}

TEST(ConflictName, TheLocalTimeToTheMinuteGoesBeforeTheLastExtension) {
    ::setenv("TZ", "BRT3", 1);  // UTC-3 all year; nothing else in this binary reads local time
    ::tzset();
    using namespace std::chrono;
    const auto at = sys_days{year{2025} / 3 / 3} + 17h + 7min + 59s;  // 14:07:59 local
    const std::pair<std::string, std::string> cases[] = {
        {"Relatorio.pdf", "Relatorio (conflito 2025-03-03 14.07).pdf"},
        {"LEIAME", "LEIAME (conflito 2025-03-03 14.07)"},
    };
    for (const auto& [name, conflicting] : cases)
        EXPECT_EQ(FileProviderExtension::conflictName(name, at), conflicting) << name;
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace tw::test
