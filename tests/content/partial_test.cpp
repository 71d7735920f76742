// Ranged reads against the recording server, and the rules behind them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "content/read_ahead.h"
#include "content_fixture.h"

namespace tw::test {
namespace {

constexpr std::int64_t KiB = 1024;

// Serves every /b/ address as ranges of a file of `size` pattern bytes.
void serveRanges(TestServer& server, std::int64_t size) {
    server.setHandler([size](const RecordedRequest& request) { return rangeReply(request, size); });
}

TEST_F(ContentTest, SequentialReadsDoubleTheChunkUpTo32MiBThenAJumpBackStartsOver) {
    const std::int64_t size = 100 * MiB;
    server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", size, "/b/n1")}});
    serveRanges(server, size);
    const std::vector<std::int64_t> sequence = {256 * KiB, 1 * MiB,  2 * MiB,  4 * MiB,
                                                8 * MiB,   16 * MiB, 32 * MiB, 32 * MiB};
#ifdef __SANITIZE_THREAD__
    // Under ThreadSanitizer 95 MiB through instrumented buffers take a minute; the pieces' threads are the
    // same from the first split on.
    const std::vector<std::int64_t> chunks(sequence.begin(), sequence.begin() + 4);
#else
    const std::vector<std::int64_t> chunks = sequence;
#endif
    std::int64_t at = 0;
    for (const auto chunk : chunks) {
        SCOPED_TRACE(chunk);
        const auto before = requestsUnder("/b/").size();
        const Fetched read = partial("n1", at, 4096, 4096);
        ASSERT_FALSE(read.error) << failure();
        EXPECT_EQ(read.range, (host::ByteRange{at, chunk}));
        EXPECT_EQ(std::filesystem::file_size(*read.file), at + chunk);
        for (const auto from : {at, at + chunk / 2, at + chunk - 4096})  // samples: the pieces' joins too
            EXPECT_TRUE(readAt(*read.file, from, 4096) == patternBytes(from, from + 4096)) << from;
        std::filesystem::remove(*read.file);
        const auto requests = requestsUnder("/b/");
        EXPECT_EQ(requests.size() - before, chunk < 2 * MiB ? 1u : 4u);
        at += chunk;
    }
    const auto requests = requestsUnder("/b/");
    EXPECT_EQ(requests[0].header("Range"), "bytes=0-262143");
    EXPECT_EQ(requests[1].header("Range"), "bytes=262144-1310719");
    for (const auto& request : requests)
        EXPECT_FALSE(request.header("Authorization"));
    EXPECT_EQ(server.requests("/api/v1/nodes/n1/open").size(), 1u);  // the record is reused

    EXPECT_EQ(partial("n1", 0, 1, 1).range, (host::ByteRange{0, 256 * KiB}));
    EXPECT_EQ(requestsUnder("/b/").back().header("Range"), "bytes=0-262143");
}

TEST_F(ContentTest, FetchedRangeCoversTheAlignedAskAndStopsAtTheEnd) {
    struct Case {
        std::int64_t size, location, length, alignment;
        std::optional<host::ByteRange> delivered;  // absent: noSuchItem
        std::string rangeHeader;
    } cases[] = {
        {10'000'000, 70'000, 100, 65'536, host::ByteRange{65'536, 262'144}, "bytes=65536-327679"},
        {10'000'000, 70'000, 100, 0, host::ByteRange{70'000, 262'144}, "bytes=70000-332143"},
        {10'000'000, 0, 1'000'000, 4096, host::ByteRange{0, 1'003'520},
         "bytes=0-1003519"},  // larger than a chunk
        {100, 0, 4096, 4096, host::ByteRange{0, 100}, "bytes=0-99"},
        {100, 100, 1, 1, std::nullopt, ""},
        {100, 130, 1, 64, std::nullopt, ""},  // starts at 128
    };
    int item = 0;
    for (const auto& [size, location, length, alignment, delivered, rangeHeader] : cases) {
        SCOPED_TRACE(testing::Message() << size << " " << location << " " << length << " " << alignment);
        const std::string id = "n" + std::to_string(++item);  // each its own read-ahead
        server.script("/api/v1/nodes/" + id + "/open", {{200, {}, openedJson(id, size, "/b/" + id)}});
        serveRanges(server, size);
        const auto before = requestsUnder("/b/").size();
        const Fetched read = partial(id, location, length, alignment);
        if (!delivered) {
            ASSERT_TRUE(read.error);
            EXPECT_EQ(read.error->code(), static_cast<std::int64_t>(FileProviderErrorCode::noSuchItem));
            EXPECT_EQ(read.range, (host::ByteRange{0, 0}));
            EXPECT_EQ(requestsUnder("/b/").size(), before);
            continue;
        }
        ASSERT_FALSE(read.error) << failure();
        EXPECT_EQ(read.range, *delivered);
        EXPECT_EQ(requestsUnder("/b/").back().header("Range"), rangeHeader);
        EXPECT_EQ(std::filesystem::file_size(*read.file), delivered->location + delivered->length);
    }
}

TEST_F(ContentTest, RangeFileIsPrivateAndSparseBeforeTheRange) {
    server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", 10 * MiB, "/b/n1")}});
    serveRanges(server, 10 * MiB);
    const Fetched read = partial("n1", 4 * MiB, 10, 1);
    ASSERT_FALSE(read.error) << failure();
    const int fd = ::open(read.file->c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ::fstat(fd, &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 4 * MiB + 256 * KiB);
    EXPECT_EQ(::lseek(fd, 0, SEEK_DATA), 4 * MiB);  // no data before the range: a hole
    ::close(fd);
}

TEST_F(ContentTest, RefusedAddressIsOpenedAgainOnceAndOnlyOnce) {
    server.script("/api/v1/nodes/n1/open",
                  {{200, {}, openedJson("n1", 100, "/b/old")}, {200, {}, openedJson("n1", 100, "/b/new")}});
    server.script("/b/old", {{403, {}, R"({"error":"link_expired"})"}});
    server.script("/b/new", {{206, {{"Content-Range", "bytes 0-99/100"}}, patternBytes(0, 100)}});
    const Fetched read = partial("n1", 0, 100, 1);
    ASSERT_FALSE(read.error) << failure();
    EXPECT_EQ(read.range, (host::ByteRange{0, 100}));
    EXPECT_EQ(server.requests("/api/v1/nodes/n1/open").size(), 2u);

    server.script("/api/v1/nodes/n2/open", {{200, {}, openedJson("n2", 100, "/b/gone")}});
    server.script("/b/gone", {{404, {}, R"({"error":"not_found"})"}});
    EXPECT_TRUE(partial("n2", 0, 100, 1).error);
    EXPECT_EQ(failure(), "service error 404 not_found");
    EXPECT_EQ(server.requests("/api/v1/nodes/n2/open").size(), 2u);
    EXPECT_EQ(server.requests("/b/gone").size(), 2u);
}

TEST_F(ContentTest, AnswerThatIsNotTheAskedRangeFailsAndLeavesNoFile) {
    struct Case {
        Reply reply;
        std::string failure;
    } cases[] = {
        {{200, {}, patternBytes(0, 100)}, "service error 200 range"},      // range ignored
        {{200, {}, patternBytes(0, 300'000)}, "service error 200 range"},  // and longer
        {{206, {{"Content-Range", "bytes 0-99/100"}}, patternBytes(0, 90)},
         "service error 502 range"},  // short
        {{206, {{"Content-Range", "bytes 1-100/101"}}, patternBytes(1, 101)}, "service error 502 range"},
        {{206, {}, patternBytes(0, 100)}, "service error 502 range"},  // no Content-Range
        {{500, {}, R"({"error":"boom"})"}, "service error 500 boom"},
    };
    for (const auto& [reply, expected] : cases) {
        SCOPED_TRACE(expected);
        server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", 100, "/b/x")}});
        server.script("/b/x", {reply});
        const Fetched read = partial("n1", 0, 100, 1);
        ASSERT_TRUE(read.error);
        EXPECT_EQ(failure(), expected);
        EXPECT_EQ(filesIn(provided), 0u);
    }
}

TEST_F(ContentTest, FailedPieceCancelsTheOthersAtOnce) {
    const std::int64_t size = 4 * MiB;
    server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", size, "/b/n1")}});
    server.setHandler([size](const RecordedRequest& request) {
        // The failure comes once every piece is on its way.
        if (request.header("Range") == "bytes=0-1048575")
            return Reply{.status = 500, .body = R"({"error":"boom"})", .delay = 200ms};
        Reply slow = rangeReply(request, size);
        slow.delay = 3s;  // cut short when the client goes away or the server stops
        return slow;
    });
    // Chunk 256 KiB, but the asked range is the whole file: four pieces of 1 MiB.
    const auto start = std::chrono::steady_clock::now();
    const Fetched read = partial("n1", 0, size, 1);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(read.error);
    EXPECT_EQ(failure(), "service error 500 boom");
    EXPECT_LT(elapsed.count(), 1.5);  // the 3 s pieces were cancelled, not waited out
    EXPECT_EQ(requestsUnder("/b/").size(), 4u);
}

// Pieces are written into the file as they arrive: what a refused or failed attempt wrote never reaches
// the host. The second address serves a shorter file (3 MiB of the first's 4 MiB), whose range is fetched
// again whole; a failure after three pieces landed leaves no file at all.
TEST_F(ContentTest, PiecesOfAFailedAttemptNeverReachTheHost) {
    const auto refuseFirstPiece = [](std::int64_t size, Reply refusal) {
        return [size, refusal](const RecordedRequest& request) {
            return request.header("Range") == "bytes=0-1048575" ? refusal : rangeReply(request, size);
        };
    };
    server.script("/api/v1/nodes/n1/open", {{200, {}, openedJson("n1", 4 * MiB, "/b/old")},
                                            {200, {}, openedJson("n1", 3 * MiB, "/b/new")}});
    const auto refused = refuseFirstPiece(4 * MiB, Reply{.status = 403,
                                                         .body = R"({"error":"link_expired"})",
                                                         .delay = 200ms});  // after the others landed
    server.setHandler([refused](const RecordedRequest& request) {
        return request.target == "/b/old" ? refused(request) : rangeReply(request, 3 * MiB);
    });
    const Fetched read = partial("n1", 0, 4 * MiB, 1);
    ASSERT_FALSE(read.error) << failure();
    EXPECT_EQ(read.range, (host::ByteRange{0, 3 * MiB}));
    EXPECT_EQ(std::filesystem::file_size(*read.file), 3 * MiB);  // nothing of the old 4th piece stays
    EXPECT_TRUE(readAt(*read.file, 0, 3 * MiB) == patternBytes(0, 3 * MiB));

    server.script("/api/v1/nodes/n2/open", {{200, {}, openedJson("n2", 4 * MiB, "/b/n2")}});
    server.setHandler(
        refuseFirstPiece(4 * MiB, Reply{.status = 500, .body = R"({"error":"boom"})", .delay = 200ms}));
    EXPECT_TRUE(partial("n2", 0, 4 * MiB, 1).error);
    EXPECT_EQ(failure(), "service error 500 boom");
    EXPECT_EQ(filesIn(provided), 1u);  // the first read's file only
}

TEST(ReadAhead, PiecesAreQuartersRoundedTo16KiBWithAShortTail) {
    using Pieces = std::vector<std::pair<std::int64_t, std::int64_t>>;
    EXPECT_EQ(piecesOf(0, 2'097'155), (Pieces{{0, 524'288},
                                              {524'288, 1'048'576},
                                              {1'048'576, 1'572'864},
                                              {1'572'864, 2'097'152},
                                              {2'097'152, 2'097'155}}));
    EXPECT_EQ(piecesOf(10, 10 + 2 * MiB), (Pieces{{10, 10 + 524'288},
                                                  {10 + 524'288, 10 + 1'048'576},
                                                  {10 + 1'048'576, 10 + 1'572'864},
                                                  {10 + 1'572'864, 10 + 2'097'152}}));
}

TEST(OpenedCache, ReusedOnlyWhenValidForMoreThanTwoMinutesAndOthersDropped) {
    const std::int64_t now = 1'700'000'000'000;
    Opened atMargin{.expiresAt = now + 120'000};
    Opened pastMargin{.expiresAt = now + 120'001};
    EXPECT_FALSE(isReusable(atMargin, now));
    EXPECT_TRUE(isReusable(pastMargin, now));
    std::map<std::string, Opened> cache{{"a", atMargin}, {"b", pastMargin}};
    dropUnusable(cache, now);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_TRUE(cache.contains("b"));

    const auto t = std::chrono::steady_clock::now();
    std::map<std::string, std::shared_ptr<SeqState>> seqs{
        {"idle", std::make_shared<SeqState>(SeqState{.touched = t - 10min})},
        {"recent", std::make_shared<SeqState>(SeqState{.touched = t - 9min})}};
    dropIdle(seqs, t);
    EXPECT_EQ(seqs.size(), 1u);
    EXPECT_TRUE(seqs.contains("recent"));
}

}  // namespace
}  // namespace tw::test
