#include "remote/remote.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <thread>

#include "platform/http/url.h"
#include "platform/task/task.h"
#include "remote_checks.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::configFor;
using test::errorOf;
using test::Reply;

class RemoteSend : public ::testing::Test {
protected:
    test::TestServer server;
    Remote remote{configFor(server.base())};

    RemoteError sendExpectingError(const std::string& path, bool retry) {
        return errorOf([&] { remote.send(remote.request("GET", path), retry); });
    }
};

TEST_F(RemoteSend, TransientFailuresAreSentThreeTimesWithGrowingPauses) {
    server.script("/api/v1/nodes/n1", {Reply{.status = 503}});
    EXPECT_EQ(test::statusCode(sendExpectingError("/nodes/n1", true)), "503 http_503");
    ASSERT_EQ(server.requests("/api/v1/nodes/n1").size(), 3u);
    EXPECT_NEAR(server.gapSeconds(0, 1), 0.6, 0.15);
    EXPECT_NEAR(server.gapSeconds(1, 2), 1.2, 0.15);

    server.script("/api/v1/changes", {Reply{.status = 503}, Reply{.status = 200, .body = "{\"ok\":1}"}});
    EXPECT_EQ(remote.send(remote.request("GET", "/changes"), true), "{\"ok\":1}");
    ASSERT_EQ(server.requests().size(), 5u);
    EXPECT_NEAR(server.gapSeconds(3, 4), 0.6, 0.15);
}

// An open record's url is appended to the base only when the result stays on the API's origin; anything
// else is a client error before any request.
TEST(DownloadURL, OnlyAPathOnTheApiOriginIsAccepted) {
    const Remote plain(configFor("http://127.0.0.1:8080")), prefixed(configFor("https://api.example.com/tw"));
    EXPECT_EQ(plain.downloadURL("/blobs/abc"), "http://127.0.0.1:8080/blobs/abc");
    EXPECT_EQ(plain.downloadURL("/dl/x?sig=a@b"), "http://127.0.0.1:8080/dl/x?sig=a@b");  // '@' in the query
    EXPECT_EQ(prefixed.downloadURL("/blobs/abc"), "https://api.example.com/tw/blobs/abc");
    // "@evil.example/x" would reach evil.example as user 127.0.0.1, ":9999/x" another port; "/a b" is no URL.
    for (const std::string path : {"@evil.example/x", "//evil.example/x", "/x@evil.example/", "/x\\y",
                                   "/x\ty", "/x\x7f", "blobs/abc", "", ":9999/x", "/a b"})
        EXPECT_EQ(test::statusCodeOf([&] { plain.downloadURL(path); }), "0 bad_url") << path;
    EXPECT_EQ(test::statusCodeOf([&] { prefixed.downloadURL(".evil.example/x"); }), "0 bad_url");
}

TEST_F(RemoteSend, OnlyTransientFailuresAreSentAgainAndNoErrorTextHoldsTheToken) {
    for (const auto& [status, retry] :
         {std::pair{404, true}, {409, true}, {412, true}, {400, true}, {401, true}, {503, false}}) {
        const std::string path = "/case/" + std::to_string(status) + (retry ? "r" : "");
        SCOPED_TRACE(path);
        server.script("/api/v1" + path, {Reply{.status = status, .body = R"({"error":"e"})"}});
        const RemoteError error = sendExpectingError(path, retry);
        EXPECT_EQ(error.status(), status);
        EXPECT_EQ(std::string(error.what()).find("tok-123"), std::string::npos);
        ASSERT_EQ(server.requests("/api/v1" + path).size(), 1u);
        EXPECT_EQ(server.requests("/api/v1" + path)[0].header("Authorization"), "Bearer tok-123");
    }
}

// Cancelled in a request, the call ends as cancelled; in a pause, the task's cancellation passes as is.
TEST_F(RemoteSend, CancellingEndsTheCallAtOnceAfterOneRequest) {
    server.script("/api/v1/slow", {Reply{.status = 200, .delay = 10s}});
    server.script("/api/v1/flaky", {Reply{.status = 503}});
    for (const std::string path : {"/slow", "/flaky"}) {
        SCOPED_TRACE(path);
        std::string ended;
        Task task = Task::start([&] {
            try {
                remote.send(remote.request("GET", path), true);
            } catch (const RemoteError& error) {
                ended = error.kind() == RemoteError::Case::cancelled ? "cancelled" : error.what();
            } catch (const CancellationError&) {
                ended = "task cancelled";
            }
        });
        std::this_thread::sleep_for(200ms);  // inside the request, or inside the 0.6 s pause
        task.cancel();
        ASSERT_TRUE(task.waitFor(1s));
        EXPECT_EQ(ended, path == "/slow" ? "cancelled" : "task cancelled");
        EXPECT_EQ(server.requests("/api/v1" + path).size(), 1u);
    }
}

TEST(RemoteRequest, HasATimeoutOneContentTypeAndAPlainURLAndCanGoWithoutToken) {
    Remote remote(configFor("http://h.example"));
    EXPECT_EQ(remote.request("GET", "/nodes/n1").timeout, 60s);
    const auto replaced = remote.request("PUT", "/p", {{"content-type", "application/octet-stream"}}, "x");
    EXPECT_EQ(replaced.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(replaced.headers.size(), 2u);  // with Authorization: no second Content-Type
    EXPECT_FALSE(remote.request("POST", "/auth/device", {}, "{}", false).header("Authorization"));
    EXPECT_EQ(Remote(configFor("http://h/")).url("/api/v1/x"), "http://h//api/v1/x");  // plain concatenation
    EXPECT_EQ(Remote(configFor("h")).url("/api/v1/x"), "h/api/v1/x");
    EXPECT_EQ(remote.url("/api/v1/nodes/a b"), http::placeholderURL);
    for (const Config& config : {Config("http://h", "tok\r\nX-Evil: 1", "", std::nullopt),
                                 Config("http://h/\n", "tok", "", std::nullopt)}) {
        try {
            Remote unsafe(config);
            ADD_FAILURE() << "accepted an unsafe configuration";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()).find("X-Evil"), std::string::npos);
            EXPECT_NE(std::string(error.what()).find("control character"), std::string::npos);
        }
    }
}

TEST(RemoteReply, FailureFromAFileReadsOnlyTheFirst16KiB) {
    const auto small = std::filesystem::temp_directory_path() / ("tw-small-" + std::to_string(::getpid()));
    const auto large = std::filesystem::temp_directory_path() / ("tw-large-" + std::to_string(::getpid()));
    std::ofstream(small) << R"({"error":"not_found"})";
    std::ofstream(large) << R"({"error":"too_long","pad":")" << std::string(20000, 'x') << "\"}";
    EXPECT_EQ(Remote::failure(404, small).code(), "not_found");
    EXPECT_EQ(Remote::failure(413, large).code(), "http_413");  // cut at byte 16,384: no longer JSON
    EXPECT_EQ(Remote::failure(500, small.string() + "-absent").code(), "http_500");
    std::filesystem::remove(small);
    std::filesystem::remove(large);
}

TEST(RemoteReply, CheckAcceptsOnlyHttpSuccessAndWrapClassifiesEveryError) {
    http::Response response;
    for (int status : {200, 204, 299, 100, 199, 300, 304, 404, 500}) {
        SCOPED_TRACE(status);
        response.status = status;
        if (status / 100 == 2)
            EXPECT_EQ(Remote::check("b", response), "b");
        else
            EXPECT_EQ(errorOf([&] { Remote::check("", response); }).status(), status);
    }
    response.isHTTP = false;
    const RemoteError notHttp = errorOf([&] { Remote::check("", response); });
    ASSERT_EQ(notHttp.kind(), RemoteError::Case::network);
    EXPECT_THROW(std::rethrow_exception(notHttp.underlying()), http::URLError);

    using C = RemoteError::Case;
    using U = http::URLError::Code;
    EXPECT_EQ(Remote::wrap(std::make_exception_ptr(RemoteError::http(404, "not_found"))).code(), "not_found");
    const std::pair<std::exception_ptr, C> cases[] = {
        {std::make_exception_ptr(CancellationError()), C::cancelled},
        {std::make_exception_ptr(http::URLError(U::cancelled)), C::cancelled},
        {std::make_exception_ptr(http::URLError(U::timedOut)), C::network},
        {std::make_exception_ptr(std::runtime_error("x")), C::network},
        {std::make_exception_ptr(42), C::network},
    };
    for (const auto& [error, kind] : cases)
        EXPECT_EQ(Remote::wrap(error).kind(), kind);
}

}  // namespace
}  // namespace tw
