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
using test::TestServer;

SessionConfiguration defaults() {
    SessionConfiguration configuration;
    configuration.additionalHeaders = {{"User-Agent", "Tidewright-macOS/0.1"}};
    return configuration;
}

Request get(const std::string& url) {
    Request request;
    request.url = url;
    return request;
}

using test::secondsSince;

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Peak resident memory since the last reset, in bytes (Linux).
std::int64_t peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    return 0;
}
void resetPeakResident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// The code of the URLError that call throws, or nullopt when it throws none.
template <class Call>
std::optional<URLError::Code> urlErrorOf(Call call) {
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
    TestServer server;
    Session session{defaults()};
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
        SCOPED_TRACE(c.method + " " + c.body.value_or("(no body)"));
        Request request = get(server.base() + c.target);
        request.method = c.method;
        request.body = c.body;
        request.setHeader("Authorization", "Bearer t");
        if (c.body) request.setHeader("Content-Type", "application/json");

        EXPECT_EQ(session.data(request).response.status, 404);  // nothing scripted: the server's default

        const auto recorded = server.requests(c.target).at(0);
        EXPECT_EQ(recorded.method, c.method);
        EXPECT_EQ(recorded.body, c.body.value_or(""));
        EXPECT_EQ(recorded.header("User-Agent"), "Tidewright-macOS/0.1");
        EXPECT_EQ(recorded.header("Authorization"), "Bearer t");
        EXPECT_EQ(recorded.header("Content-Type").has_value(), c.body.has_value());
        EXPECT_FALSE(recorded.header("Accept"));
        EXPECT_FALSE(recorded.header("Expect"));
    }
    EXPECT_EQ(server.connectionsAccepted(), 1);
}

// libcurl resends a request whose reused connection closed before a reply; sendOnce must fail instead.
TEST_F(HttpSession, SendOnceRequestIsNeverResentWhereAnOrdinaryOneIs) {
    server.script("/warm", {Reply{}});
    for (const bool once : {true, false}) {
        SCOPED_TRACE(once ? "sendOnce" : "ordinary");
        const std::string target = once ? "/once" : "/ordinary";
        server.script(target, {Reply{.cut = Reply::Cut::beforeReply}, Reply{.status = 200, .body = "ok"}});
        session.data(get(server.base() + "/warm"));  // leaves a connection to reuse
        Request request = get(server.base() + target);
        request.method = "POST";
        request.body = "{}";
        request.sendOnce = once;
        try {
            EXPECT_EQ(session.data(request).body, "ok");
            EXPECT_FALSE(once) << "a request cut before any reply must fail";
        } catch (const URLError& error) {
            EXPECT_TRUE(once);
            EXPECT_EQ(error.urlCode(), URLError::Code::networkConnectionLost);
        }
        EXPECT_EQ(server.requests(target).size(), once ? 1u : 2u);
    }
}

TEST_F(HttpSession, OpensAtMostSixteenConnectionsToOneHost) {
    server.script("/slow", {Reply{.status = 200, .delay = 300ms}});
    std::vector<std::thread> clients;
    std::atomic<int> succeeded{0};
    for (int i = 0; i < 20; ++i)
        clients.emplace_back([&] {
            if (session.data(get(server.base() + "/slow")).response.status == 200) ++succeeded;
        });
    for (auto& client : clients)
        client.join();

    EXPECT_EQ(succeeded.load(), 20);
    EXPECT_LE(server.peakOpenConnections(), 16);
    EXPECT_GE(server.peakInFlight(), 8);  // they did run side by side
}

TEST_F(HttpSession, CancellingTheTaskAbortsTheTransferAtOnceOrSendsNothing) {
    server.script("/hang", {Reply{.status = 200, .delay = 10s}});
    for (const bool before : {false, true}) {
        SCOPED_TRACE(before ? "cancelled before sending" : "cancelled while waiting");
        std::optional<URLError::Code> code;
        Task task = Task::start([&] {
            while (before && !isCurrentTaskCancelled())
                std::this_thread::sleep_for(1ms);
            try {
                session.data(get(server.base() + "/hang"));
            } catch (const URLError& error) {
                code = error.urlCode();
            }
        });
        for (int i = 0; !before && server.requests("/hang").empty() && i < 500; ++i)
            std::this_thread::sleep_for(10ms);
        const auto cancelled = std::chrono::steady_clock::now();
        task.cancel();
        task.wait();
        EXPECT_LT(secondsSince(cancelled), 0.5);
        EXPECT_EQ(code, URLError::Code::cancelled);
        EXPECT_EQ(server.requests("/hang").size(), 1u);
    }
}

TEST_F(HttpSession, EachTransportFailureIsItsURLError) {
    int closedPort;
    {
        TestServer gone;
        closedPort = gone.port();
    }
    server.script("/cut", {Reply{.status = 200,
                                 .generatedBodySize = 100000,
                                 .cut = Reply::Cut::afterBodyBytes,
                                 .cutAfter = 1000}});
    Reply endlessHeaders{.status = 200, .body = "ok"};
    for (int i = 0; i < 5000; ++i)
        endlessHeaders.headers.emplace_back("X-Filler-" + std::to_string(i), std::string(100, 'f'));
    server.script("/headers", {endlessHeaders});
    server.script("/loop", {Reply{.status = 302, .headers = {{"Location", "/loop"}}}});
    struct Case {
        const char* name;
        std::function<void()> call;
        URLError::Code code;
    };
    const Case cases[] = {
        {"closed port", [&] { session.data(get("http://127.0.0.1:" + std::to_string(closedPort) + "/x")); },
         URLError::Code::cannotConnectToHost},
        {"placeholder", [&] { session.data(get(placeholderURL)); }, URLError::Code::badURL},
        {"file URL", [&] { session.data(get("file:///etc/passwd")); }, URLError::Code::unsupportedURL},
        {"cut mid-body", [&] { session.download(get(server.base() + "/cut")); },
         URLError::Code::networkConnectionLost},
        {"endless headers", [&] { session.data(get(server.base() + "/headers")); },
         URLError::Code::badServerResponse},
        {"endless redirects", [&] { session.data(get(server.base() + "/loop")); },
         URLError::Code::httpTooManyRedirects},
        {"missing upload file",
         [&] { session.upload(get(server.base() + "/u"), std::filesystem::path("/nonexistent/file")); },
         URLError::Code::cannotOpenFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(urlErrorOf(c.call), c.code);
    }
    EXPECT_EQ(server.requests("/loop").size(), 11u);  // the first request and ten redirects
    EXPECT_TRUE(server.requests("/u").empty());
}

TEST_F(HttpSession, ErrorBodyIsKeptOnlyUpToItsLimit) {
    server.script("/gone", {Reply{.status = 404, .generatedBodySize = 1'000'000}});
    server.script("/small", {Reply{.status = 404, .body = "not here"}});
    const DataReply reply = session.data(get(server.base() + "/gone"));
    EXPECT_EQ(reply.response.status, 404);
    EXPECT_EQ(reply.body.size(), 16'384u);
    EXPECT_EQ(session.data(get(server.base() + "/small")).body, "not here");
}

// libcurl checks the idle time once a second: the failure comes within about two timeouts.
TEST_F(HttpSession, IdleServerTimesOut) {
    server.script("/idle", {Reply{.status = 200, .delay = 5s}});
    Request request = get(server.base() + "/idle");
    request.timeout = 1s;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(urlErrorOf([&] { session.data(request); }), URLError::Code::timedOut);
    EXPECT_GE(secondsSince(start), 0.9);
    EXPECT_LT(secondsSince(start), 3.0);
}

TEST_F(HttpSession, RedirectedAuthorizationStaysWithTheFirstOrigin) {
    TestServer& api = server;
    TestServer elsewhere;
    api.script("/same", {Reply{.status = 302, .headers = {{"Location", "/landed"}}}});
    api.script("/away", {Reply{.status = 302, .headers = {{"Location", elsewhere.base() + "/landed"}}}});
    api.script("/landed", {Reply{.status = 200, .body = "here"}});
    elsewhere.script("/landed", {Reply{.status = 200, .body = "there"}});

    for (const std::string target : {"/same", "/away"}) {
        Request request = get(api.base() + target);
        request.setHeader("Authorization", "Bearer secret");
        session.data(request);
    }

    EXPECT_EQ(api.requests("/landed").at(0).header("Authorization"), "Bearer secret");
    ASSERT_EQ(elsewhere.requests("/landed").size(), 1u);
    EXPECT_FALSE(elsewhere.requests("/landed").at(0).header("Authorization"));
}

struct CountingDelegate : TaskDelegate {
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
};

TEST_F(HttpSession, DelegateHearsOfEveryByteBothWays) {
    server.script("/up", {Reply{.status = 201, .generatedBodySize = 300000}});
    CountingDelegate delegate;
    const auto reply = session.upload(get(server.base() + "/up"), std::string(1'000'000, 'x'), &delegate);

    EXPECT_EQ(reply.response.status, 201);
    EXPECT_EQ(server.requests("/up").at(0).method, "GET");
    EXPECT_EQ(server.requests("/up").at(0).bodySize, 1'000'000);
    EXPECT_EQ(delegate.sent.load(), 1'000'000);
    EXPECT_EQ(delegate.lastTotalSent.load(), 1'000'000);
    EXPECT_EQ(delegate.expectedSent.load(), 1'000'000);
    EXPECT_EQ(delegate.written.load(), 300'000);
    EXPECT_EQ(delegate.expectedWritten.load(), 300'000);
}

TEST_F(HttpSession, DownloadLandsInAFileTheCallerOwns) {
    server.script("/file", {Reply{.status = 200, .generatedBodySize = 1000}});
    server.script("/missing", {Reply{.status = 404, .body = "{\"error\":\"not_found\"}"}});
    std::filesystem::path kept;
    {
        auto reply = session.download(get(server.base() + "/file"));
        const std::string bytes = contentsOf(reply.file.path());
        EXPECT_EQ(bytes.size(), 1000u);
        EXPECT_EQ(static_cast<unsigned char>(bytes[300]), 300 % 251);
        kept = reply.file.release();
    }
    EXPECT_TRUE(std::filesystem::exists(kept));
    std::filesystem::remove(kept);

    std::filesystem::path dropped;
    {
        auto reply = session.download(get(server.base() + "/missing"));
        EXPECT_EQ(reply.response.status, 404);  // an error status still delivers its body
        dropped = reply.file.path();
        EXPECT_EQ(contentsOf(dropped), "{\"error\":\"not_found\"}");
    }
    EXPECT_FALSE(std::filesystem::exists(dropped));
}

std::string generated(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// A file of `size` dots, for replies to be placed in.
std::filesystem::path dottedFile(const std::string& name, std::size_t size) {
    const auto path = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary) << std::string(size, '.');
    return path;
}

// Two transfers fill their own parts of one file at once; an error reply keeps its body in memory and
// writes nothing.
TEST_F(HttpSession, DownloadAtFillsItsPartOfTheFileInPlace) {
    server.script("/piece", {Reply{.status = 206, .generatedBodySize = 1000}});
    server.script("/missing", {Reply{.status = 404, .body = "{\"error\":\"not_found\"}"}});
    const auto path = dottedFile("tw-placed", 4000);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    std::int64_t written[2] = {};
    Task first = Task::start(
        [&] { written[0] = session.downloadAt(get(server.base() + "/piece"), fd, 0, 1000).written; });
    Task second = Task::start(
        [&] { written[1] = session.downloadAt(get(server.base() + "/piece"), fd, 2500, 1000).written; });
    first.wait();
    second.wait();
    const auto missing = session.downloadAt(get(server.base() + "/missing"), fd, 1000, 1000);
    ::close(fd);

    EXPECT_EQ(written[0], 1000);
    EXPECT_EQ(written[1], 1000);
    EXPECT_EQ(missing.response.status, 404);
    EXPECT_EQ(missing.body, "{\"error\":\"not_found\"}");
    EXPECT_EQ(missing.written, 0);
    EXPECT_TRUE(contentsOf(path) ==
                generated(1000) + std::string(1500, '.') + generated(1000) + std::string(500, '.'));
    std::filesystem::remove(path);
}

// A body longer than its part (announced or not), a file that refuses writes, a cancelled transfer: each
// fails as its URLError, and no byte lands past the part (at [1000, 2000) of the file).
TEST_F(HttpSession, DownloadAtFailsWithoutWritingPastItsPart) {
    server.script("/announced", {Reply{.status = 200, .generatedBodySize = 1001}});
    server.script("/unannounced",
                  {Reply{.status = 206, .generatedBodySize = 300'000, .closeDelimited = true}});
    server.script("/fits", {Reply{.status = 206, .generatedBodySize = 1000}});
    server.script("/stalled", {Reply{.status = 206, .generatedBodySize = 1000, .stallAfterHeaders = 10s}});
    struct Case {
        const char* target;
        int flags;
        URLError::Code code;
    };
    const Case cases[] = {
        {"/announced", O_WRONLY, URLError::Code::dataLengthExceedsMaximum},
        {"/unannounced", O_WRONLY, URLError::Code::dataLengthExceedsMaximum},
        {"/announced", O_RDONLY, URLError::Code::dataLengthExceedsMaximum},  // refused before any write
        {"/fits", O_RDONLY, URLError::Code::cannotWriteToFile},
        {"/stalled", O_WRONLY, URLError::Code::cancelled},
    };
    for (const auto& [target, flags, expected] : cases) {
        SCOPED_TRACE(std::string(target) + (flags == O_RDONLY ? " into a read-only file" : ""));
        const auto path = dottedFile("tw-placed-fail", 4000);
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
        const bool cancelling = expected == URLError::Code::cancelled;
        std::optional<URLError::Code> code;
        const auto requestsBefore = server.requests(target).size();
        Task task = Task::start([&] {
            code = urlErrorOf([&] { session.downloadAt(get(server.base() + target), fd, 1000, 1000); });
        });
        for (int i = 0; cancelling && server.requests(target).size() == requestsBefore && i < 500; ++i)
            std::this_thread::sleep_for(10ms);
        const auto cancelled = std::chrono::steady_clock::now();
        if (cancelling) task.cancel();
        task.wait();
        ::close(fd);
        if (cancelling) {
            EXPECT_LT(secondsSince(cancelled), 0.5);
        }
        EXPECT_EQ(code, expected);
        EXPECT_EQ(contentsOf(path).substr(2000), std::string(2000, '.'));
        std::filesystem::remove(path);
    }
}

// 200 MiB each way: a client that buffered would grow by all of it (the test server keeps 16 MiB). Under
// sanitizers (shadow memory, held blocks) only the transfers are checked.
TEST_F(HttpSession, LargeTransfersStreamWithoutHoldingTheBody) {
    constexpr std::int64_t size = 200LL << 20;
    const auto path = std::filesystem::temp_directory_path() / ("tw-upload-" + std::to_string(::getpid()));
    std::ofstream(path).close();
    std::filesystem::resize_file(path, size);
    server.script("/big-up", {Reply{.status = 200}});
    server.script("/big-down", {Reply{.status = 200, .generatedBodySize = size}});

    resetPeakResident();
    const auto before = peakResidentBytes();
    Request upload = get(server.base() + "/big-up");
    upload.method = "PUT";
    session.upload(upload, path);
    auto download = session.download(get(server.base() + "/big-down"));
    const auto growth = peakResidentBytes() - before;
    std::filesystem::remove(path);

    EXPECT_EQ(server.requests("/big-up").at(0).bodySize, size);
    EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(download.file.path())), size);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    (void)growth;
#else
    EXPECT_LT(growth, size / 5) << "peak resident memory grew by " << growth << " bytes";
#endif
}

class EchoTransport : public Transport {
public:
    bool canHandle(const Request& request) const override { return request.url.starts_with("mem:"); }
    DataReply perform(const Request& request, std::string_view body) override {
        DataReply reply;
        reply.response.status = 200;
        reply.body = request.method + " " + request.url + " " + std::string(body);
        return reply;
    }
};

TEST(HttpSubstitutes, ServeEveryRequestInsteadOfTheNetwork) {
    TestServer server;
    Session session(defaults(), {std::make_shared<EchoTransport>()});
    Request request = get("mem:/x");
    request.method = "POST";

    EXPECT_EQ(session.upload(request, std::string("abc")).body, "POST mem:/x abc");
    EXPECT_EQ(session.download(get("mem:/y")).response.status, 200);
    EXPECT_EQ(urlErrorOf([&] { session.data(get(server.base() + "/z")); }), URLError::Code::unsupportedURL);
    EXPECT_TRUE(server.requests().empty());
}

TEST(HttpURL, AcceptsURLReferencesAsTheyStand) {
    struct Case {
        std::string text;
        bool valid;
    };
    for (const Case& c : {Case{"http://127.0.0.1:8080/api/v1/nodes/n1?trashed=1", true},
                          Case{"https://h/a/../b?x=1&y=%2F#frag", true}, Case{"/relative/path", true},
                          Case{"noscheme", true}, Case{"", true}, Case{"http://h/a b", false},
                          Case{"http://h/%zz", false}, Case{"http://h/%4", false}, Case{"http://h/é", false},
                          Case{"http://h/a#b#c", false}, Case{std::string("http://h/a\0b", 12), false},
                          Case{"http://h/a\r\nX-Evil: 1", false}, Case{"http://h/<script>", false}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(isValidURL(c.text), c.valid);
    }
}

}  // namespace
}  // namespace tw::http
