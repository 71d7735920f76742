// Whole-file downloads against the recording server.
#include <sys/stat.h>

#include "content_fixture.h"

namespace tw::test {
namespace {

TEST_F(ContentTest, EveryWholeFetchOpensAfreshAndDeliversItsOwnPrivateFileWithoutToken) {
    server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", 5, "/b/one")}});
    server.script("/b/one", {{206, {{"Content-Range", "bytes 0-4/5"}}, "hello"}});
    // A ranged read leaves a valid record in the cache; a whole-file fetch asks for a new one all the same.
    ASSERT_FALSE(partial("n1", 0, 1, 1).error);
    std::shared_ptr<Progress> progress;
    server.script("/b/one", {{200, {}, "hello"}});
    const Fetched first = fetch("n1", &progress);
    const Fetched second = fetch("n1");

    ASSERT_FALSE(first.error);
    ASSERT_FALSE(second.error);
    EXPECT_EQ(server.requests("/api/v1/nodes/n1/open").size(), 3u);
    EXPECT_NE(*first.file, *second.file);
    for (const auto& file : {*first.file, *second.file}) {
        EXPECT_EQ(file.parent_path(), provided);
        EXPECT_EQ(readFile(file), "hello");
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(first.item->filename(), "n1.bin");
    EXPECT_EQ(progress->totalUnitCount(), 5);
    EXPECT_EQ(progress->completedUnitCount(), 5);
    for (const auto& request : requestsUnder("/b/"))
        EXPECT_FALSE(request.header("Authorization")) << request.target;
    EXPECT_EQ(filesIn(downloads), 0u);
}

TEST_F(ContentTest, ProgressTotalIsTheSizeAndAtLeastOne) {
    for (const std::int64_t size : {0, 1, 5}) {
        SCOPED_TRACE(size);
        server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", size, "/b/x")}});
        server.script("/b/x", {{200, {}, std::string(static_cast<std::size_t>(size), 'x')}});
        std::shared_ptr<Progress> progress;
        ASSERT_FALSE(fetch("n1", &progress).error);
        EXPECT_EQ(progress->totalUnitCount(), std::max<std::int64_t>(size, 1));
        EXPECT_EQ(progress->completedUnitCount(), size);
    }
}

TEST_F(ContentTest, AnythingButAComplete200FailsAndLeavesNoFile) {
    struct Case {
        Reply reply;
        std::int64_t size;
        std::string failure;
    } cases[] = {
        {{206, {}, "hello"}, 5, "service error 206 download"},
        {{304}, 5, "service error 304 download"},
        {{403, {}, R"({"error":"link_expired"})"}, 5, "service error 403 link_expired"},
        {{500, {}, "oops"}, 5, "service error 500 http_500"},
        // The connection closed after 3 of 10 bytes, and nothing said how long the body was.
        {{.status = 200, .body = "abc", .closeDelimited = true}, 10, "service error 502 download"},
        {{.status = 200, .body = "0123456789", .cut = Reply::Cut::afterBodyBytes, .cutAfter = 4},
         10,
         "URL error networkConnectionLost"},  // a transport failure reaches the host as it is
    };
    for (const auto& [reply, size, expected] : cases) {
        SCOPED_TRACE(expected);
        server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", size, "/b/x")}});
        server.script("/b/x", {reply});
        const Fetched fetched = fetch("n1");
        ASSERT_TRUE(fetched.error);
        EXPECT_FALSE(fetched.file);
        EXPECT_TRUE(failure().starts_with(expected)) << failure();
        EXPECT_EQ(filesIn(provided), 0u);
        EXPECT_EQ(filesIn(downloads), 0u);
    }
}

TEST_F(ContentTest, AddressOffTheApiOriginIsRefusedBeforeAnyRequest) {
    // Appended to the base as it is, this would send the request to evil.example.
    server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", 5, "@evil.example/x")}});
    EXPECT_TRUE(fetch("n1").error);
    EXPECT_EQ(failure(), "service error 0 bad_url");
    EXPECT_TRUE(partial("n1", 0, 1, 1).error);
    EXPECT_EQ(failure(), "service error 0 bad_url");
    EXPECT_EQ(server.requests().size(), 1u);  // the whole fetch's open (the read reuses it), nothing else
}

}  // namespace
}  // namespace tw::test
