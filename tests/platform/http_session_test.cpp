#include "platform/http/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/http/url.h"
#include "platform/task/task.h"
#include "support/elapsed.h"
#include "support/test_server.h"

namespace tw::http {
namespace {

using namespace std::chrono_literals;
using test::Reply;
using test::secondsSince;
using test::TestServer;

const SessionConfiguration defaults{.additionalHeaders = {{"User-Agent", "Tidewright-macOS/0.1"}}};

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A file of `size` dots, for replies to be placed in.
std::filesystem::path dottedFile(std::size_t size) {
    const auto path = std::filesystem::temp_directory_path() / ("tw-placed-" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary) << std::string(size, '.');
    return path;
}

// The code of the URLError that call throws, or nullopt when it throws none.
std::optional<URLError::Code> urlErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const URLError& error) {
        EXPECT_EQ(error.domain(), urlErrorDomain);
        return error.urlCode();
    }
    return std::nullopt;
}

class HttpSession : public ::testing::Test {
protected:
    Request at(const std::string& target) const { return {.url = server.base() + target}; }

    TestServer server;
    Session session{defaults};
};

// On one kept-alive connection, to the path as given (no "../" resolved, no "%2F" decoded), with no header
// libcurl would add by itself (Accept, Content-Type, Expect).
TEST_F(HttpSession, MethodsCarryTheirBodiesAndOwnHeadersOnlyToTheExactPath) {
    struct Case {
        std::string method, target;
        std::optional<std::string> body;
    };
    for (const Case& c : {Case{"POST", "/m1", std::nullopt}, Case{"POST", "/m2", "{\"a\":1}"},
                          Case{"PATCH", "/api/v1/nodes/../trash/n9", "{}"}, Case{"PUT", "/m4", "bytes"},
                          Case{"DELETE", "/m5", std::nullopt},
                          Case{"GET", "/api/v1/nodes?parent=root&limit=500&cursor=a%2Fb", std::nullopt}}) {
        SCOPED_TRACE(c.method + " " + c.target);
        Request request{.url = server.base() + c.target, .method = c.method, .body = c.body};
        request.setHeader("Authorization", "Bearer t");
        if (c.body) request.setHeader("Content-Type", "application/json");
        EXPECT_EQ(session.data(request).response.status, 404);  // nothing scripted: the server's default
        const auto recorded = server.requests(c.target).at(0);
        EXPECT_EQ(recorded.method, c.method);
        EXPECT_EQ(recorded.body, c.body.value_or(""));
        EXPECT_EQ(recorded.header("User-Agent"), "Tidewright-macOS/0.1");
        EXPECT_EQ(recorded.header("Authorization"), "Bearer t");
        EXPECT_EQ(recorded.header("Content-Type").has_value(), c.body.has_value());
        EXPECT_FALSE(recorded.header("Accept") || recorded.header("Expect"));
    }
    EXPECT_EQ(server.connectionsAccepted(), 1);
}

// libcurl resends a request whose reused connection closed before a reply; sendOnce must fail instead.
TEST_F(HttpSession, SendOnceRequestIsNeverResentWhereAnOrdinaryOneIs) {
    for (const bool once : {true, false}) {
        SCOPED_TRACE(once ? "sendOnce" : "ordinary");
        server.script("/post", {Reply{.cut = Reply::Cut::beforeReply}, Reply{.body = "ok"}});
        const auto before = server.requests("/post").size();
        session.data(at("/warm"));  // leaves a connection to reuse
        const Request request{
            .url = server.base() + "/post", .method = "POST", .body = "{}", .sendOnce = once};
        const auto code = urlErrorOf([&] { EXPECT_EQ(session.data(request).body, "ok"); });
        EXPECT_EQ(code, once ? std::optional(URLError::Code::networkConnectionLost) : std::nullopt);
        EXPECT_EQ(server.requests("/post").size() - before, once ? 1u : 2u);
    }
}

TEST_F(HttpSession, OpensAtMostSixteenConnectionsToOneHost) {
    server.script("/slow", {Reply{.delay = 300ms}});
    std::atomic<int> succeeded{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 20; ++i)
        clients.emplace_back([&] { succeeded += session.data(at("/slow")).response.status == 200; });
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(succeeded.load(), 20);
    EXPECT_LE(server.peakOpenConnections(), 16);
    EXPECT_GE(server.peakInFlight(), 8);  // they did run side by side
}

TEST_F(HttpSession, CancellingTheTaskAbortsTheTransferAtOnceOrSendsNothing) {
    server.script("/hang", {Reply{.delay = 10s}});
    for (const bool before : {false, true}) {
        SCOPED_TRACE(before ? "cancelled before sending" : "cancelled while waiting");
        std::optional<URLError::Code> code;
        Task task = Task::start([&] {
            while (before && !isCurrentTaskCancelled())
                std::this_thread::sleep_for(1ms);
            code = urlErrorOf([&] { session.data(at("/hang")); });
        });
        test::waitUntil(5, [&] { return before || !server.requests("/hang").empty(); });
        const auto cancelled = std::chrono::steady_clock::now();
        task.cancel();
        task.wait();
        EXPECT_LT(secondsSince(cancelled), 0.5);
        EXPECT_EQ(code, URLError::Code::cancelled);
        EXPECT_EQ(server.requests("/hang").size(), 1u);
    }
}

TEST_F(HttpSession, EachTransportFailureIsItsURLError) {
    const int closedPort = TestServer().port();
    server.script("/cut",
                  {Reply{.generatedBodySize = 100000, .cut = Reply::Cut::afterBodyBytes, .cutAfter = 1000}});
    Reply endlessHeaders{.body = "ok"};
    for (int i = 0; i < 5000; ++i)
        endlessHeaders.headers.emplace_back("X-Filler-" + std::to_string(i), std::string(100, 'f'));
    server.script("/headers", {endlessHeaders});
    server.script("/loop", {Reply{.status = 302, .headers = {{"Location", "/loop"}}}});
    using C = URLError::Code;
    const std::tuple<const char*, std::function<void()>, C> cases[] = {
        {"closed port", [&] { session.data({.url = "http://127.0.0.1:" + std::to_string(closedPort)}); },
         C::cannotConnectToHost},
        {"placeholder", [&] { session.data({.url = placeholderURL}); }, C::badURL},
        {"file URL", [&] { session.data({.url = "file:///etc/passwd"}); }, C::unsupportedURL},
        {"cut mid-body", [&] { session.download(at("/cut")); }, C::networkConnectionLost},
        {"endless headers", [&] { session.data(at("/headers")); }, C::badServerResponse},
        {"endless redirects", [&] { session.data(at("/loop")); }, C::httpTooManyRedirects},
        {"missing upload file", [&] { session.upload(at("/u"), std::filesystem::path("/nonexistent")); },
         C::cannotOpenFile},
    };
    for (const auto& [name, call, code] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(urlErrorOf(call), code);
    }
    EXPECT_EQ(server.requests("/loop").size(), 11u);  // the first request and ten redirects
    EXPECT_TRUE(server.requests("/u").empty());
}

TEST_F(HttpSession, ErrorBodyIsKeptOnlyUpToItsLimit) {
    server.script("/gone", {Reply{.status = 404, .generatedBodySize = 1'000'000}});
    server.script("/small", {Reply{.status = 404, .body = "not here"}});
    EXPECT_EQ(session.data(at("/gone")).body.size(), 16'384u);
    EXPECT_EQ(session.data(at("/small")).body, "not here");
}

// libcurl checks the idle time once a second: the failure comes within about two timeouts.
TEST_F(HttpSession, IdleServerTimesOut) {
    server.script("/idle", {Reply{.delay = 5s}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(urlErrorOf([&] { session.data({.url = server.base() + "/idle", .timeout = 1s}); }),
              URLError::Code::timedOut);
    EXPECT_GE(secondsSince(start), 0.9);
    EXPECT_LT(secondsSince(start), 3.0);
}

TEST_F(HttpSession, RedirectedAuthorizationStaysWithTheFirstOrigin) {
    TestServer elsewhere;
    server.script("/same", {Reply{.status = 302, .headers = {{"Location", "/landed"}}}});
    server.script("/away", {Reply{.status = 302, .headers = {{"Location", elsewhere.base() + "/landed"}}}});
    for (const std::string target : {"/same", "/away"}) {
        Request request = at(target);
        request.setHeader("Authorization", "Bearer secret");
        session.data(request);
    }
    EXPECT_EQ(server.requests("/landed").at(0).header("Authorization"), "Bearer secret");
    ASSERT_EQ(elsewhere.requests("/landed").size(), 1u);
    EXPECT_FALSE(elsewhere.requests("/landed").at(0).header("Authorization"));
}

TEST_F(HttpSession, DelegateHearsOfEveryByteBothWays) {
    struct Counting : TaskDelegate {
        std::atomic<std::int64_t> sent{0}, written{0}, lastTotalSent{0}, expectedSent{0}, expectedWritten{0};
        void didSendBodyData(std::int64_t bytes, std::int64_t total, std::int64_t expected) override {
            sent += bytes;
            lastTotalSent = total;
            expectedSent = expected;
        }
        void didWriteData(std::int64_t bytes, std::int64_t, std::int64_t expected) override {
            written += bytes;
            expectedWritten = expected;
        }
    } delegate;
    server.script("/up", {Reply{.status = 201, .generatedBodySize = 300000}});
    EXPECT_EQ(session.upload(at("/up"), std::string(1'000'000, 'x'), &delegate).response.status, 201);
    EXPECT_EQ(server.requests("/up").at(0).method, "GET");
    EXPECT_EQ(server.requests("/up").at(0).bodySize, 1'000'000);
    EXPECT_EQ((std::vector<std::int64_t>{delegate.sent, delegate.lastTotalSent, delegate.expectedSent,
                                         delegate.written, delegate.expectedWritten}),
              (std::vector<std::int64_t>{1'000'000, 1'000'000, 1'000'000, 300'000, 300'000}));
}

// The file of any reply is the caller's: it goes with the reply unless released.
TEST_F(HttpSession, DownloadLandsInAFileTheCallerOwns) {
    server.script("/file", {Reply{.generatedBodySize = 1000}});
    server.script("/missing", {Reply{.status = 404, .body = "{\"error\":\"not_found\"}"}});
    std::filesystem::path kept, dropped;
    {
        auto reply = session.download(at("/file"));
        const std::string bytes = contentsOf(reply.file.path());
        EXPECT_EQ(bytes.size(), 1000u);
        EXPECT_EQ(static_cast<unsigned char>(bytes[300]), 300 % 251);
        kept = reply.file.release();
        auto missing = session.download(at("/missing"));
        EXPECT_EQ(missing.response.status, 404);
        dropped = missing.file.path();
        EXPECT_EQ(contentsOf(dropped), "{\"error\":\"not_found\"}");
    }
    EXPECT_TRUE(std::filesystem::exists(kept));
    EXPECT_FALSE(std::filesystem::exists(dropped));
    std::filesystem::remove(kept);
}

// Two transfers fill their own parts of one file at once; an error reply keeps its body in memory and
// writes nothing.
TEST_F(HttpSession, DownloadAtFillsItsPartOfTheFileInPlace) {
    server.script("/piece", {Reply{.status = 206, .generatedBodySize = 1000}});
    server.script("/missing", {Reply{.status = 404, .body = "{\"error\":\"not_found\"}"}});
    const auto path = dottedFile(4000);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    std::int64_t written[2] = {};
    Task first = Task::start([&] { written[0] = session.downloadAt(at("/piece"), fd, 0, 1000).written; });
    Task second = Task::start([&] { written[1] = session.downloadAt(at("/piece"), fd, 2500, 1000).written; });
    first.wait();
    second.wait();
    const auto missing = session.downloadAt(at("/missing"), fd, 1000, 1000);
    ::close(fd);
    EXPECT_EQ(written[0], 1000);
    EXPECT_EQ(written[1], 1000);
    EXPECT_EQ(missing.response.status, 404);
    EXPECT_EQ(missing.body, "{\"error\":\"not_found\"}");
    EXPECT_EQ(missing.written, 0);
    std::string piece(1000, '\0');  // as the server generates it
    for (std::size_t i = 0; i < piece.size(); ++i)
        piece[i] = static_cast<char>(i % 251);
    EXPECT_TRUE(contentsOf(path) == piece + std::string(1500, '.') + piece + std::string(500, '.'));
    std::filesystem::remove(path);
}

// A body longer than its part (announced or not) or a file that refuses writes fails as its URLError, and no
// byte lands past the part (at [1000, 2000) of the file). Cancelling is as for any transfer (above).
TEST_F(HttpSession, DownloadAtFailsWithoutWritingPastItsPart) {
    server.script("/announced", {Reply{.generatedBodySize = 1001}});
    server.script("/unannounced",
                  {Reply{.status = 206, .generatedBodySize = 300'000, .closeDelimited = true}});
    server.script("/fits", {Reply{.status = 206, .generatedBodySize = 1000}});
    const auto path = dottedFile(4000);
    using C = URLError::Code;
    const std::tuple<const char*, int, C> cases[] = {
        {"/announced", O_WRONLY, C::dataLengthExceedsMaximum},
        {"/unannounced", O_WRONLY, C::dataLengthExceedsMaximum},
        {"/announced", O_RDONLY, C::dataLengthExceedsMaximum},  // refused before any write
        {"/fits", O_RDONLY, C::cannotWriteToFile},
    };
    for (const auto& [target, flags, expected] : cases) {
        SCOPED_TRACE(std::string(target) + (flags == O_RDONLY ? " into a read-only file" : ""));
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
        EXPECT_EQ(urlErrorOf([&] { session.downloadAt(at(target), fd, 1000, 1000); }), expected);
        ::close(fd);
        EXPECT_EQ(contentsOf(path).substr(2000), std::string(2000, '.'));
    }
    std::filesystem::remove(path);
}

// Peak resident memory since the last reset, in bytes (Linux).
std::int64_t peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stoll(line.substr(6)) * 1024;
    return 0;
}

// 200 MiB each way: a client that buffered would grow by all of it (the test server keeps 16 MiB). Under
// sanitizers (shadow memory, held blocks) only the transfers are checked.
TEST_F(HttpSession, LargeTransfersStreamWithoutHoldingTheBody) {
    constexpr std::int64_t size = 200LL << 20;
    const auto path = dottedFile(0);
    std::filesystem::resize_file(path, size);
    server.script("/big-up", {Reply{}});
    server.script("/big-down", {Reply{.generatedBodySize = size}});
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
    const auto before = peakResidentBytes();
    Request upload = at("/big-up");
    upload.method = "PUT";
    session.upload(upload, path);
    auto download = session.download(at("/big-down"));
    [[maybe_unused]] const auto growth = peakResidentBytes() - before;
    std::filesystem::remove(path);
    EXPECT_EQ(server.requests("/big-up").at(0).bodySize, size);
    EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(download.file.path())), size);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(growth, size / 5) << "peak resident memory grew by " << growth << " bytes";
#endif
}

TEST(HttpSubstitutes, ServeEveryRequestInsteadOfTheNetwork) {
    struct Echo : Transport {
        bool canHandle(const Request& request) const override { return request.url.starts_with("mem:"); }
        DataReply perform(const Request& request, std::string_view body) override {
            return {.response = {.status = 200},
                    .body = request.method + " " + request.url + " " + std::string(body)};
        }
    };
    TestServer server;
    Session session(defaults, {std::make_shared<Echo>()});
    EXPECT_EQ(session.upload({.url = "mem:/x", .method = "POST"}, std::string("abc")).body,
              "POST mem:/x abc");
    EXPECT_EQ(session.download({.url = "mem:/y"}).response.status, 200);
    EXPECT_EQ(urlErrorOf([&] { session.data({.url = server.base() + "/z"}); }),
              URLError::Code::unsupportedURL);
    EXPECT_TRUE(server.requests().empty());
}

TEST(HttpURL, AcceptsURLReferencesAsTheyStand) {
    for (const auto& [text, valid] : std::initializer_list<std::pair<std::string, bool>>{
             {"http://127.0.0.1:8080/api/v1/nodes/n1?trashed=1", true},
             {"https://h/a/../b?x=1&y=%2F#frag", true},
             {"/relative/path", true},
             {"noscheme", true},
             {"", true},
             {"http://h/a b", false},
             {"http://h/%zz", false},
             {"http://h/%4", false},
             {"http://h/é", false},
             {"http://h/a#b#c", false},
             {std::string("http://h/a\0b", 12), false},
             {"http://h/a\r\nX-Evil: 1", false},
             {"http://h/<script>", false}}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(isValidURL(text), valid);
    }
}

}  // namespace
}  // namespace tw::http
