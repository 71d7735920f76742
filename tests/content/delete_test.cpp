// deleteItem against the recording server.
#include <gtest/gtest.h>

#include "mutation_fixture.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;

TEST(DeleteItem, LiveNodesGoToTheTrashTrashedOnesArePurgedAndNodesThatAreGoneCountAsDeleted) {
    const Reply live{200, {}, nodeJson("n1", "file", "a.txt", 3)},
        trashed{200, {}, nodeJson("n1", "folder", "A", 8, R"(,"deleted":true)")},
        notFound{404, {}, R"({"error":"not_found"})"}, done{204};
    const std::string lookup = "GET /api/v1/nodes/n1?trashed=1", trash = "DELETE /api/v1/nodes/n1",
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
             Case{"live", live, done, {lookup, trash}, "3"},
             Case{"in the trash", trashed, done, {lookup, purge}, std::nullopt},
             Case{"gone", notFound, done, {lookup}, std::nullopt},
             Case{"gone before the trash", live, notFound, {lookup, trash}, "3"},
             Case{"gone before the purge", trashed, notFound, {lookup, purge}, std::nullopt},
             Case{"changed in between", live, {412, {}, R"({"error":"version_mismatch"})"}, {lookup, trash}, "3", -2005},
         }) {
        // clang-format on
        SCOPED_TRACE(c.name);
        TestServer server;
        server.script("/api/v1/nodes/n1?trashed=1", {c.lookup});
        server.script("/api/v1/nodes/n1", {c.removal});
        server.script("/api/v1/trash/n1", {c.removal});
        auto extension = FileProviderExtension::make(domainFor(server.base()));

        const auto error = deleteAndWait(*extension, "n1");
        EXPECT_EQ(error ? error->code() : 0, c.errorCode);
        EXPECT_EQ(sent(server), c.requests);
        EXPECT_EQ(server.requests().back().header("If-Match"), c.ifMatch);
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
