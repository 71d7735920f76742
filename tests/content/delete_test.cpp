// deleteItem against the recording server.
#include <gtest/gtest.h>

#include "mutation_fixture.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;

TEST(DeleteItem, LiveNodesGoToTheTrashTrashedOnesArePurgedAndNodesThatAreGoneCountAsDeleted) {
    const std::string live = R"({"id":"ID","kind":"file","name":"a.txt","version":3})";
    const std::string trashed = R"({"id":"ID","kind":"folder","name":"A","version":8,"deleted":true})";
    const Reply notFound{404, {}, R"({"error":"not_found"})"};
    struct Case {
        std::string name;
        Reply lookup, removal;
        std::vector<std::string> requests;
        std::optional<std::string> ifMatch;
        std::int64_t errorCode = 0;
    };
    for (const Case& c : {
             Case{"live",
                  {200, {}, live},
                  {204},
                  {"GET /api/v1/nodes/n1?trashed=1", "DELETE /api/v1/nodes/n1"},
                  "3"},
             Case{"in the trash",
                  {200, {}, trashed},
                  {204},
                  {"GET /api/v1/nodes/n1?trashed=1", "DELETE /api/v1/trash/n1"}},
             Case{"gone", notFound, {204}, {"GET /api/v1/nodes/n1?trashed=1"}},
             Case{"gone before the trash",
                  {200, {}, live},
                  notFound,
                  {"GET /api/v1/nodes/n1?trashed=1", "DELETE /api/v1/nodes/n1"},
                  "3"},
             Case{"gone before the purge",
                  {200, {}, trashed},
                  notFound,
                  {"GET /api/v1/nodes/n1?trashed=1", "DELETE /api/v1/trash/n1"}},
             Case{"changed in between",
                  {200, {}, live},
                  {412, {}, R"({"error":"version_mismatch"})"},
                  {"GET /api/v1/nodes/n1?trashed=1", "DELETE /api/v1/nodes/n1"},
                  "3",
                  -2005},
         }) {
        SCOPED_TRACE(c.name);
        TestServer server;
        server.script("/api/v1/nodes/n1?trashed=1", {c.lookup});
        server.script("/api/v1/nodes/n1", {c.removal});
        server.script("/api/v1/trash/n1", {c.removal});
        auto extension = FileProviderExtension::make(domainFor(server.base()));

        const auto error = deleteAndWait(*extension, "n1");
        EXPECT_EQ(error ? error->code() : 0, c.errorCode);
        EXPECT_EQ(sent(server), c.requests);
        const auto requests = server.requests();
        EXPECT_EQ(requests.back().header("If-Match"), requests.size() == 1 ? std::nullopt : c.ifMatch);
    }
}

TEST(DeleteItem, CancellingDuringTheLookupEndsWithTheCancellationErrorOnce) {
    TestServer server;
    server.script("/api/v1/nodes/n1?trashed=1", {{.status = 200, .body = "{}", .delay = 10s}});
    auto extension = FileProviderExtension::make(domainFor(server.base()));
    auto once = std::make_shared<Once<std::optional<Error>>>();
    auto progress =
        extension->deleteItem("n1", {}, 0, {}, [once](std::optional<Error> error) { once->set(error); });
    EXPECT_EQ(progress->totalUnitCount(), 1);
    std::this_thread::sleep_for(100ms);
    progress->cancel();
    const auto error = once->wait();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), cocoaErrorDomain);
    EXPECT_EQ(error->code(), 3072);
    EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
}  // namespace tw::test
