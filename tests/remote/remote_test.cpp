// The API client: sending, requests and replies, limits, the error table, the metadata and device endpoints.
#include "remote/remote.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/task/task.h"
#include "remote/fp_error.h"
#include "remote_checks.h"
#include "support/elapsed.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::configFor;
using test::errorOf;
using test::Reply;
using test::secondsSince;
using test::TestServer;
using test::urlCodeOf;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;
using U = http::URLError::Code;

RemoteError sendError(const Remote& remote, const http::Request& request, bool retry = false) {
    return errorOf([&] { remote.send(request, retry); });
}

class RemoteSend : public ::testing::Test {
protected:
    TestServer server;
    Remote remote{configFor(server.base())};
};
class RemoteLimits : public RemoteSend {};
class Endpoints : public RemoteSend {};

// Only a transient failure sent with retry goes again: three times in all, after 0.6 s and 1.2 s.
TEST_F(RemoteSend, OnlyTransientFailuresAreSentAgainWithGrowingPausesAndNoErrorTextHoldsTheToken) {
    for (const auto& [status, retry] : {std::pair{503, true}, {404, true}, {412, true}, {503, false}}) {
        const std::string path = "/case/" + std::to_string(status) + (retry ? "r" : "");
        SCOPED_TRACE(path);
        server.script("/api/v1" + path, {Reply{.status = status, .body = R"({"error":"e"})"}});
        const RemoteError error = sendError(remote, remote.request("GET", path), retry);
        EXPECT_EQ(test::statusCode(error), std::to_string(status) + " e");
        EXPECT_THAT(error.what(), Not(HasSubstr("tok-123")));
        const auto sent = server.requests("/api/v1" + path);
        ASSERT_EQ(sent.size(), status == 503 && retry ? 3u : 1u);
    }
    EXPECT_NEAR(server.gapSeconds(0, 1), 0.6, 0.15);
    EXPECT_NEAR(server.gapSeconds(1, 2), 1.2, 0.15);
}

// Cancelled in the pause before a second attempt, the task's cancellation passes as is, at once.
TEST_F(RemoteSend, CancellingInAPauseEndsTheCallAtOnceAfterOneRequest) {
    server.script("/api/v1/flaky", {Reply{.status = 503}});
    bool cancelled = false;
    Task task = Task::start([&] {
        try {
            remote.send(remote.request("GET", "/flaky"), true);
        } catch (const CancellationError&) {
            cancelled = true;
        }
    });
    std::this_thread::sleep_for(200ms);  // inside the 0.6 s pause
    task.cancel();
    ASSERT_TRUE(task.waitFor(1s));
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(server.requests("/api/v1/flaky").size(), 1u);
}

TEST(RemoteConfig, AControlCharacterInBaseOrTokenIsRefusedWithoutQuotingIt) {
    for (const auto& [base, token] : {std::pair{"http://h", "tok\r\nX-Evil: 1"}, {"http://h/\n", "tok"}})
        EXPECT_THAT([&] { Remote(Config(base, token, "", std::nullopt)); },
                    ThrowsMessage<std::invalid_argument>(
                        AllOf(HasSubstr("control character"), Not(HasSubstr("X-Evil")))));
}

// An open record's url goes on the base only when the result keeps the API's origin; else "bad_url", unsent.
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

TEST(RemoteReply, FailureFromAFileReadsOnlyTheFirst16KiB) {
    const auto file = std::filesystem::temp_directory_path() / ("tw-reply-" + std::to_string(::getpid()));
    std::ofstream(file) << R"({"error":"not_found"})";
    EXPECT_EQ(Remote::failure(404, file).code(), "not_found");
    EXPECT_EQ(Remote::failure(500, file.string() + "-absent").code(), "http_500");
    std::ofstream(file) << R"({"error":"too_long","pad":")" << std::string(20000, 'x') << "\"}";
    EXPECT_EQ(Remote::failure(413, file).code(), "http_413");  // cut at byte 16,384: no longer JSON
    std::filesystem::remove(file);
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
    urlCodeOf(errorOf([&] { Remote::check("", response); }));  // a network failure, with its URL error

    // URL errors are classified where an upload is cancelled or its connection cut.
    EXPECT_EQ(Remote::wrap(std::make_exception_ptr(CancellationError())).kind(),
              RemoteError::Case::cancelled);
    EXPECT_EQ(Remote::wrap(std::make_exception_ptr(42)).kind(), RemoteError::Case::network);
}

// Nothing leaves the process for a base that is no http URL, an id that passes the id rule but makes no URL
// (a network failure), or a device id that could address another path.
TEST_F(RemoteLimits, NothingIsSentForABaseOrIdThatMakesNoURLOrAnUnsafeDeviceId) {
    const std::string port = std::to_string(server.port());
    const auto codeFor = [](const Remote& r, const std::string& path) {
        return urlCodeOf(sendError(r, r.request("GET", path)));
    };
    EXPECT_EQ(codeFor(Remote(configFor("127.0.0.1:" + port)), "/n"), U::unsupportedURL);
    for (const std::string id : {"caf\xc3\xa9", "a\"b", "a<b", "a{b", "a|b"})
        EXPECT_EQ(codeFor(remote, "/nodes/" + id), U::badURL) << id;
    for (const std::string& base : {"127.0.0.1:" + port, "ftp://127.0.0.1:" + port,
                                    "http://127.0.0.1:" + port + "/a b", std::string()}) {
        SCOPED_TRACE(base);
        const auto error = errorOf([&] { Remote::registerDevice(base, "s3cret", "n"); });
        EXPECT_EQ(error.kind(), RemoteError::Case::network);
        EXPECT_THAT(error.what(), Not(HasSubstr("s3cret")));
    }
    for (const std::string id : {"", "..", "d7/../../nodes/n1", "d7?x=1"})
        EXPECT_FALSE(Remote(Config(server.base(), "tok", id, std::nullopt)).revokeDevice()) << id;
    EXPECT_EQ(server.connectionsAccepted(), 0);
}

TEST_F(RemoteLimits, DeepErrorBodyKeepsStatusAndCodeAndDropsTheDepth) {
    const auto nested = [](int levels) {  // in all, with the outer object
        return R"({"error":"x","d":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    };
    const std::string wide = R"({"error":"x","reason":"r","d":)" + std::string(1'000'000, '[') +
                             std::string(1'000'000, ']') + R"(,"o":{"k":1}})";
    for (const auto& [body, details] : {std::pair<std::string, json>{wide, {{"error", "x"}, {"reason", "r"}}},
                                        {nested(64), json::parse(nested(64))},
                                        {nested(65), {{"error", "x"}}}}) {
        SCOPED_TRACE(body.substr(0, 30));
        const RemoteError error = Remote::failure(400, body);
        const RemoteError copy = error;  // as a thrown error is copied
        EXPECT_EQ(test::statusCode(copy), "400 x");
        EXPECT_EQ(copy.body(), details);
    }
}

// Refused on the announced length before the body comes, else on the bytes received; not sent again: the
// reply would be as large the next time.
TEST_F(RemoteLimits, ReplyLargerThanItsBoundIsRefusedOnce) {
    server.script("/api/v1/big", {Reply{.generatedBodySize = 2000, .stallAfterHeaders = 2000ms}});
    server.script("/api/v1/unannounced", {Reply{.body = std::string(1001, 'x'), .closeDelimited = true}});
    http::Request request = remote.request("GET", "/big");
    request.memoryLimit = 1000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(test::statusCode(sendError(remote, request, true)), "502 too_large");
    EXPECT_LT(secondsSince(start), 1.0);
    request.url = remote.url("/api/v1/unannounced");
    EXPECT_EQ(test::statusCode(sendError(remote, request, true)), "502 too_large");
    EXPECT_EQ(server.requests().size(), 2u);
    request.memoryLimit = 1001;
    EXPECT_EQ(remote.send(request).size(), 1001u);
}

// By result: only a transient error maps to -1004; a read-only or unavailable space carries its text.
TEST(RemoteErrorMapping, FollowsTheHostTableFirstMatchWins) {
    const std::string readOnly(RemoteError::readOnlyMessage),
        unavailable(RemoteError::spaceUnavailableMessage);
    const auto http = [](int status, std::string code, json body = {}) {
        return RemoteError::http(status, std::move(code), std::move(body));
    };
    const json deleting = {{"error", "forbidden"}, {"reason", "account_deleting"}}, odd = {{"reason", 1}};
    struct Case {
        std::int64_t code;
        std::vector<RemoteError> errors;
        std::string message = "";
    };
    const Case cases[] = {
        {-1004,
         {RemoteError::network(std::make_exception_ptr(std::runtime_error("boom"))), http(429, "slow_down"),
          http(408, "http_408"), http(502, "bad_response"), http(500, "x"), http(599, "x")}},
        {-2005, {http(403, "space_suspended"), http(410, "space_unavailable")}, unavailable},
        {-2005,
         {http(402, "payment_required"), http(403, "account_deleting"), http(403, "forbidden", deleting)},
         readOnly},
        {-2005,
         {http(402, "quota"), http(499, "x"), http(400, "x"), http(409, "Name_Conflict"),
          http(412, "version_mismatch"), http(0, "file_changed")}},
        {-1005, {http(403, "forbidden"), http(403, "forbidden", odd), http(404, "not_found")}},
        {-1002, {http(410, "gone")}},
        {-1000, {http(401, "unauthorized")}},
        {-1001, {http(409, "name_conflict")}},
    };
    for (const Case& c : cases)
        for (const RemoteError& error : c.errors) {
            SCOPED_TRACE(error.what());
            EXPECT_EQ(error.isTransient(), c.code == -1004);
            const Error mapped = fpError(std::make_exception_ptr(error));
            EXPECT_EQ(mapped.domain(), fileProviderErrorDomain);
            EXPECT_EQ(mapped.code(), c.code);
            EXPECT_EQ(mapped.userInfo().localizedDescription.value_or(""), c.message);
        }
    EXPECT_FALSE(RemoteError::cancelled().isTransient());
    const Error cancelled = fpError(std::make_exception_ptr(RemoteError::cancelled()));
    EXPECT_EQ(std::pair(cancelled.domain(), cancelled.code()),
              std::pair(std::string(cocoaErrorDomain), 3072L));
}

// The requests the other folders' tests do not already check exactly (tests/content, tests/enumeration).
TEST_F(Endpoints, EachCallSendsItsExactRequest) {
    // One reply that decodes as every record these calls read: unknown keys are ignored.
    const std::string node = R"({"id":"n1","kind":"file","name":"a.txt","version":4)";
    const std::string reply =
        node + R"(,"items":[)" + node + R"(}],"changes":[],"cursor":5,"latest":9,"hasMore":false})";
    server.setHandler([reply](const test::RecordedRequest&) -> Reply { return {200, {}, reply}; });
    const std::optional<std::string> none;
    struct Case {
        std::function<void()> call;
        std::string request;  // method and target
        std::optional<json> body = std::nullopt;
        std::optional<std::string> ifMatch = std::nullopt;
    };
    // clang-format off
    const Case cases[] = {
        {[&] { remote.list("p1", "a/b=c+d"); }, "GET /api/v1/nodes?parent=p1&limit=500&cursor=a/b=c+d"},
        {[&] { remote.node("n1", false); }, "GET /api/v1/nodes/n1"},
        {[&] { remote.changes(-3); }, "GET /api/v1/changes?since=-3&limit=500"},
        {[&] { remote.changes(1125899906842624, 1); }, "GET /api/v1/changes?since=1125899906842624&limit=1"},
        {[&] { remote.patch("n1", none, std::optional<std::string>(), 4); }, "PATCH /api/v1/nodes/n1",
         json{{"parent", "root"}}, "4"},  // to the top
        {[&] { remote.patch("n1", none, std::nullopt, 4); }, "PATCH /api/v1/nodes/n1", json::object(), "4"},
        {[&] { remote.trashNode("n1", 4); }, "DELETE /api/v1/nodes/n1", std::nullopt, "4"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        c.call();
        const auto all = server.requests();
        ASSERT_EQ(all.size(), static_cast<std::size_t>(&c - cases + 1));  // one request a call
        const auto& sent = all.back();
        EXPECT_EQ(sent.method + " " + sent.target, c.request);
        EXPECT_EQ(sent.header("If-Match"), c.ifMatch);
        EXPECT_EQ(sent.header("Content-Type").value_or("none"), c.body ? "application/json" : "none");
        EXPECT_EQ(sent.body.empty() ? json() : json::parse(sent.body), c.body.value_or(json()));
    }
}

TEST_F(Endpoints, EmptySuccessIsNoRecordAndAFailedMutationIsSentOnceWhereAReadGoesAgain) {
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {204}; });
    const RemoteError empty = errorOf([&] { remote.node("n1"); });
    EXPECT_EQ(test::statusCode(empty), "502 bad_response");
    EXPECT_TRUE(empty.body().empty());
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 1u);  // not sent again
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {503}; });
    EXPECT_THROW(remote.createFolder("a", std::nullopt), RemoteError);
    EXPECT_EQ(server.requests("/api/v1/nodes").size(), 1u);  // a mutation is sent once, a read three times
    EXPECT_THROW(remote.node("n1"), RemoteError);
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 4u);
}

// Unsafe ids and cursors, and names or mimes that are not UTF-8, are refused unsent.
TEST_F(Endpoints, UnsafeIdsCursorsAndNamesAreRefusedBeforeAnythingIsSent) {
    const std::string latin1 = "rel\xF3rio.txt";
    const Replace unsafe{"..", 1};
    const std::pair<std::string, std::function<void()>> calls[] = {
        {"bad_id", [&] { remote.node("../trash/n9"); }},
        {"bad_id", [&] { remote.purge("n1/../../nodes/n2"); }},
        {"bad_id", [&] { remote.patch("n1", std::nullopt, std::optional<std::string>("p&x=1"), 1); }},
        {"bad_id", [&] { remote.createFolder("a", std::string("p\0q", 3)); }},
        {"bad_id", [&] { remote.list("a b", std::nullopt); }},
        {"bad_id", [&] { remote.upload("/absent", 3, "a", "p/q", "x/y"); }},
        {"bad_id", [&] { remote.upload("/absent", 3, "a", {}, "x/y", unsafe); }},
        {"bad_cursor", [&] { remote.list(std::nullopt, "c&limit=1"); }},
        {"bad_name", [&] { remote.upload("/absent", 3, latin1, {}, "x/y"); }},
        {"bad_name", [&] { remote.createFolder(latin1, "p1"); }},
        {"bad_name", [&] { remote.patch("n1", latin1, std::nullopt, 3); }},
        {"bad_mime", [&] { remote.upload("/absent", 3, "a", {}, "text/\xFF"); }},
    };
    for (std::size_t i = 0; i < std::size(calls); ++i)
        EXPECT_EQ(test::statusCodeOf(calls[i].second), "0 " + calls[i].first) << i;
    EXPECT_TRUE(server.requests().empty());
}

TEST(RegisterDevice, SendsTheSecretOnceWithoutAuthorizationReadsIdAndTokenAndNeverQuotesTheSecret) {
    TestServer server;
    server.script("/api/v1/auth/device",
                  {{201, {}, R"({"id":"d7","token":"tk-9","name":"Laptop","kind":"macos","createdAt":1})"}});
    const Device device = Remote::registerDevice(server.base(), "s3cret", "Laptop do Zé");
    EXPECT_EQ(device.id + " " + device.token, "d7 tk-9");
    const auto sent = server.requests().at(0);
    EXPECT_EQ(sent.method + " " + sent.target, "POST /api/v1/auth/device");
    EXPECT_FALSE(sent.header("Authorization"));
    EXPECT_EQ(sent.header("User-Agent"), "Tidewright-macOS/0.1");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(sent.body),
              (json{{"secret", "s3cret"}, {"name", "Laptop do Zé"}, {"kind", "macos"}}));

    for (const auto& [reply, expected] :
         {std::pair<Reply, std::string>{{200, {}, R"({"id":"d7","token":42})"}, "502 bad_response"},
          {{200, {}, R"(["d7","tk"])"}, "502 bad_response"},
          {{200, {}, "not json"}, "502 bad_response"},
          {{503, {}, ""}, "503 http_503"}}) {  // transient, and still not sent again
        SCOPED_TRACE(reply.body);
        server.script("/api/v1/auth/device", {reply});
        const auto error = errorOf([&] { Remote::registerDevice(server.base(), "s3cret", "n"); });
        EXPECT_EQ(test::statusCode(error), expected);
        EXPECT_THAT(error.what(), Not(HasSubstr("s3cret")));
    }
    EXPECT_EQ(server.requests().size(), 5u);  // each once
}

TEST(RevokeDevice, DeletesTheDeviceOrRevokesTheCloudTokenAndSaysWhetherTheServiceAccepted) {
    using Case = std::tuple<std::optional<std::string>, int, bool>;  // space, status, revoked
    for (const auto& [spaceId, status, revoked] :
         {Case{std::nullopt, 204, true}, Case{std::nullopt, 503, false},  // once, never again
          Case{"s1", 200, true}, Case{"s1", 401, false}}) {
        const std::string request = spaceId ? "POST /api/cloud/auth/app/revoke" : "DELETE /api/v1/devices/d7";
        SCOPED_TRACE(request + " " + std::to_string(status));
        TestServer server;
        server.script(request.substr(request.find(' ') + 1), {{status}});
        EXPECT_EQ(Remote(Config(server.base(), "tok", "d7", spaceId)).revokeDevice(), revoked);
        const auto sent = server.requests();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].method + " " + sent[0].target, request);
        EXPECT_EQ(sent[0].body, spaceId ? "{}" : "");
        EXPECT_EQ(sent[0].header("Authorization"), "Bearer tok");
        EXPECT_EQ(sent[0].header("Content-Type").has_value(), spaceId.has_value());
    }
}

}  // namespace
}  // namespace tw
