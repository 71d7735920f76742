// Whole-file downloads and ranged reads against the loopback server, scripted per test (open and /b/...).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "content/opened_cache.h"
#include "content/read_ahead.h"
#include "platform/log.h"
#include "provider/extension.h"
#include "support/bytes.h"
#include "support/files.h"
#include "support/once.h"
#include "support/test_server.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
constexpr std::int64_t KiB = 1024;

std::string readAt(const std::filesystem::path& path, std::int64_t offset, std::int64_t length) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    bytes.resize(static_cast<std::size_t>(in.seekg(offset).read(bytes.data(), length).gcount()));
    return bytes;
}

// A 206 for the "Range: bytes=A-B" of `request` on a file of `size` periodic bytes.
Reply rangeReply(const RecordedRequest& request, std::int64_t size) {
    std::int64_t first = 0, last = 0;
    std::sscanf(request.header("Range").value_or("").c_str(), "bytes=%" SCNd64 "-%" SCNd64, &first, &last);
    last = std::min(last, size - 1);
    const auto range =
        "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size);
    return {206, {{"Content-Range", range}}, periodicBytes(first, last + 1)};
}

Reply failing(int status, std::string error, std::chrono::milliseconds delay = 0ms) {
    return {.status = status, .body = R"({"error":")" + error + R"("})", .delay = delay};
}

struct Fetched {
    std::optional<std::filesystem::path> file;
    host::ByteRange range;
    std::optional<Error> error;
};

class ContentTest : public ::testing::Test {
protected:
    ContentTest() {
        std::filesystem::create_directories(downloads);
        ::setenv("TMPDIR", downloads.c_str(), 1);  // where the session puts a download before it is moved
        previous = host::Manager::setProvider([folder = provided](const host::Domain&) {
            return std::make_shared<host::DirectoryManager>(folder);
        });
        extension = FileProviderExtension::make(
            {.identifier = "d1",
             .displayName = "T",
             .userInfo = nlohmann::json{{"base", server.base()}, {"token", "t"}}});
    }
    ~ContentTest() override {
        host::Manager::setProvider(previous);
        ::unsetenv("TMPDIR");
        std::filesystem::remove_all(root);
    }

    // The open endpoint of `id` answers these records in turn: {size, download address}.
    void scriptOpen(const std::string& id, std::vector<std::pair<std::int64_t, std::string>> records) {
        std::vector<Reply> replies;
        for (const auto& [size, url] : records) {
            const nlohmann::json record{
                {"id", id},     {"kind", "file"}, {"name", id + ".bin"}, {"version", 1},
                {"size", size}, {"rev", "r1"},    {"url", url},          {"expiresAt", nowMs() + 900'000}};
            replies.push_back({200, {}, record.dump()});
        }
        server.script("/api/v1/nodes/" + id + "/open", replies);
    }

    // Serves every /b/ address as ranges of a file of `size` periodic bytes.
    void serveRanges(std::int64_t size) {
        server.setHandler([size](const RecordedRequest& request) { return rangeReply(request, size); });
    }

    Fetched fetch(const std::string& id) {
        auto once = std::make_shared<Once<Fetched>>();
        extension->fetchContents(id, std::nullopt, {}, [once](auto file, auto, auto error) {
            once->set({std::move(file), {}, std::move(error)});
        });
        return once->wait();
    }

    Fetched partial(const std::string& id, std::int64_t location, std::int64_t length,
                    std::int64_t alignment) {
        auto once = std::make_shared<Once<Fetched>>();
        extension->fetchPartialContents(
            id, {}, {}, {location, length}, alignment, 0,
            [once](auto file, auto, host::ByteRange range, auto, std::optional<Error> error) {
                once->set({std::move(file), range, std::move(error)});
            });
        return once->wait();
    }

    // The reason the last failed call gave in the log ("service error 200 range").
    std::string failure() const {
        const std::string prefix = "operação falhou: ";
        std::string last;
        for (const auto& record : log.records())
            if (record.message.starts_with(prefix)) last = record.message.substr(prefix.size());
        return last;
    }

    std::vector<RecordedRequest> downloadRequests() const {
        auto requests = server.requests();
        std::erase_if(requests, [](const auto& request) { return !request.target.starts_with("/b/"); });
        return requests;
    }

    TestServer server;
    LogCapture log;
    std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("tw-content-" + std::to_string(::getpid()));
    std::filesystem::path downloads = root / "downloads", provided = root / "provided";
    host::Manager::Provider previous;
    std::shared_ptr<FileProviderExtension> extension;
};

TEST_F(ContentTest, EveryWholeFetchOpensAfreshAndDeliversAPrivateFileWithoutToken) {
    scriptOpen("n1", {{5, "/b/one"}});
    server.script("/b/one", {{206, {{"Content-Range", "bytes 0-4/5"}}, "hello"}, {200, {}, "hello"}});
    // A ranged read leaves a valid record in the cache; a whole-file fetch asks for a new one all the same.
    ASSERT_FALSE(partial("n1", 0, 1, 1).error);
    const Fetched whole = fetch("n1");
    ASSERT_FALSE(whole.error) << failure();
    EXPECT_EQ(server.requests("/api/v1/nodes/n1/open").size(), 2u);
    EXPECT_EQ(whole.file->parent_path(), provided);
    EXPECT_EQ(readAt(*whole.file, 0, 100), "hello");
    EXPECT_EQ(modeOf(*whole.file), 0600u);
    for (const auto& request : downloadRequests())  // the whole fetch's and the ranged read's
        EXPECT_FALSE(request.header("Authorization")) << request.target;
    EXPECT_EQ(entriesIn(downloads), 0u);
}

// A whole fetch takes nothing but a complete 200, a ranged read nothing but the asked range.
TEST_F(ContentTest, AnyOtherAnswerFailsAndLeavesNoFile) {
    const std::string wrong = "service error 502 range";
    struct Case {
        bool ranged;
        Reply reply;
        std::string failure;
        std::string url = "/b/x";
    } cases[] = {
        {false, {206, {}, "hello"}, "service error 206 download"},
        {false, failing(403, "link_expired"), "service error 403 link_expired"},
        // The connection closed early, and nothing said how long the body was.
        {false, {.status = 200, .body = "abc", .closeDelimited = true}, "service error 502 download"},
        {false,
         {.status = 200, .body = "0123456789", .cut = Reply::Cut::afterBodyBytes, .cutAfter = 4},
         "URL error networkConnectionLost"},  // a transport failure reaches the host as it is
        // Bodies that agree with their own Content-Length but not with the item's 100 bytes (a proxy, a
        // faulty service): a file short of the item, or longer, is not the item.
        {false, {200, {}, periodicBytes(0, 90)}, "service error 502 download"},
        {false, {200, {}, periodicBytes(0, 101)}, "service error 502 download"},
        {true, {200, {}, periodicBytes(0, 100)}, "service error 200 range"},  // range ignored
        {true, {206, {{"Content-Range", "bytes 1-99/100"}}, periodicBytes(0, 100)}, wrong},
        {true, {206, {{"Content-Range", "bytes 0-100/101"}}, periodicBytes(0, 100)}, wrong},
        {true, {206, {}, periodicBytes(0, 100)}, wrong},  // no Content-Range
        {true, failing(500, "boom"), "service error 500 boom"},
        // Appended to the base, "@..." names another host; last, as the read reuses the fetch's record.
        {false, {}, "service error 0 bad_url", "@evil.example/x"},
        {true, {}, "service error 0 bad_url"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failure);
        scriptOpen("n1", {{100, c.url}});
        server.script("/b/x", {c.reply});
        const Fetched got = c.ranged ? partial("n1", 0, 100, 1) : fetch("n1");
        ASSERT_TRUE(got.error);
        EXPECT_EQ(failure().substr(0, failure().find(':')), c.failure);  // without libcurl's own words
        EXPECT_EQ(entriesIn(provided) + entriesIn(downloads), 0u);
    }
}

// Reading on from the last read's start doubles the chunk; reading from before it starts again at 256 KiB.
TEST_F(ContentTest, ASequentialReadDoublesTheChunkAndAJumpBackStartsOver) {
    scriptOpen("n1", {{8 * MiB, "/b/n1"}});
    serveRanges(8 * MiB);
    ASSERT_FALSE(partial("n1", 0, 4096, 4096).error) << failure();
    EXPECT_EQ(partial("n1", 256 * KiB, 4096, 4096).range, (host::ByteRange{256 * KiB, 1 * MiB}));
    // Back before the last range: 256 KiB into a private file with a hole before the range.
    const Fetched back = partial("n1", 128 * KiB, 1, 1);
    EXPECT_EQ(back.range, (host::ByteRange{128 * KiB, 256 * KiB}));
    EXPECT_EQ(modeOf(*back.file), 0600u);
    const int fd = ::open(back.file->c_str(), O_RDONLY);
    EXPECT_EQ(::lseek(fd, 0, SEEK_DATA), 128 * KiB);
    ::close(fd);
}

TEST_F(ContentTest, FetchedRangeCoversTheAlignedAskAndStopsAtTheEnd) {
    struct Case {
        std::int64_t size, location, length, alignment;
        host::ByteRange delivered;  // empty: noSuchItem, and no request
    } cases[] = {
        {10'000'000, 70'000, 100, 65'536, {65'536, 262'144}},
        {10'000'000, 70'000, 100, 0, {70'000, 262'144}},
        {10'000'000, 0, 1'000'000, 4096, {0, 1'003'520}},  // longer than a chunk
        {100, 0, 4096, 4096, {0, 100}},
        {100, 100, 1, 1, {}},
    };
    int item = 0;
    for (const auto& [size, location, length, alignment, delivered] : cases) {
        SCOPED_TRACE(testing::Message() << size << " " << location << " " << length << " " << alignment);
        const std::string id = "n" + std::to_string(++item);  // each its own read-ahead
        scriptOpen(id, {{size, "/b/" + id}});
        serveRanges(size);
        const auto before = downloadRequests().size();
        const Fetched read = partial(id, location, length, alignment);
        EXPECT_EQ(read.range, delivered);
        if (delivered.length == 0) {
            ASSERT_TRUE(read.error);
            EXPECT_EQ(read.error->code(), static_cast<std::int64_t>(FileProviderErrorCode::noSuchItem));
            EXPECT_EQ(downloadRequests().size(), before);
            continue;
        }
        ASSERT_FALSE(read.error) << failure();
        EXPECT_EQ(std::filesystem::file_size(*read.file), delivered.location + delivered.length);
    }
}

// A refused address (404 here; 403 in the command-line read test) is opened again once; the new record may
// tell a shorter file, whose range is fetched again whole, with nothing of the refused attempt kept.
TEST_F(ContentTest, RefusedAddressIsOpenedAgainOnceAndNothingOfTheRefusedAttemptStays) {
    scriptOpen("n1", {{4 * MiB, "/b/old"}, {3 * MiB, "/b/new"}});
    server.setHandler([](const RecordedRequest& request) {
        if (request.target != "/b/old") return rangeReply(request, 3 * MiB);
        const bool first = request.header("Range") == "bytes=0-1048575";
        return first ? failing(404, "not_found", 200ms) : rangeReply(request, 4 * MiB);  // after the others
    });
    const Fetched read = partial("n1", 0, 4 * MiB, 1);
    ASSERT_FALSE(read.error) << failure();
    EXPECT_EQ(read.range, (host::ByteRange{0, 3 * MiB}));
    EXPECT_TRUE(readAt(*read.file, 0, 4 * MiB) == periodicBytes(0, 3 * MiB));  // nothing of the old 4th piece
    EXPECT_EQ(entriesIn(provided), 1u);  // the refused attempt's file went with it
    EXPECT_EQ(server.requests("/api/v1/nodes/n1/open").size(), 2u);

    // A file that grew since its record was opened: the range asked past the old end is delivered whole.
    scriptOpen("n2", {{1 * MiB, "/b/old-version"}, {3 * MiB, "/b/new-version"}});
    auto oldServed = std::make_shared<std::atomic<bool>>(false);
    server.setHandler([oldServed](const RecordedRequest& request) {
        if (request.target != "/b/old-version") return rangeReply(request, 3 * MiB);
        return oldServed->exchange(true) ? failing(404, "not_found") : rangeReply(request, 1 * MiB);
    });
    ASSERT_FALSE(partial("n2", 0, 4096, 4096).error) << failure();  // the old record, kept for reuse
    const Fetched grown = partial("n2", 0, 3 * MiB, 4096);
    ASSERT_FALSE(grown.error) << failure();
    EXPECT_EQ(grown.range, (host::ByteRange{0, 3 * MiB}));
    EXPECT_TRUE(readAt(*grown.file, 0, 3 * MiB) == periodicBytes(0, 3 * MiB));
}

TEST_F(ContentTest, FailedPieceCancelsTheOthersAtOnce) {
    scriptOpen("n1", {{4 * MiB, "/b/n1"}});
    server.setHandler([](const RecordedRequest& request) {
        if (request.header("Range") == "bytes=0-1048575")
            return failing(500, "boom", 200ms);  // all on their way
        Reply slow = rangeReply(request, 4 * MiB);
        slow.delay = 3s;  // cut short when the client goes away or the server stops
        return slow;
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(partial("n1", 0, 4 * MiB, 1).error);              // four pieces of 1 MiB
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);  // the 3 s pieces were not waited out
    EXPECT_EQ(failure(), "service error 500 boom");
    EXPECT_EQ(downloadRequests().size(), 4u);
}

// An address record is reused only while it stays valid for more than two minutes; the others are dropped.
TEST(OpenedCache, ReusedOnlyWhenValidForMoreThanTwoMinutesAndOthersDropped) {
    const std::int64_t now = 1'700'000'000'000;
    std::map<std::string, Opened> cache{{"a", {.expiresAt = now + 120'000}},
                                        {"b", {.expiresAt = now + 120'001}}};
    EXPECT_FALSE(isReusable(cache["a"], now));
    EXPECT_TRUE(isReusable(cache["b"], now));
    dropUnusable(cache, now);
    EXPECT_EQ(cache.size(), 1u);
}

}  // namespace
}  // namespace tw::test
