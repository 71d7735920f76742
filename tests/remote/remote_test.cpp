// The API client: sending, requests and replies, limits, the error table, the metadata and device endpoints.
#include "remote/remote.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <system_error>
#include <thread>

#include "platform/http/url.h"
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

// Serves every request with a 200 of `size` bytes and no Content-Length.
struct Plenty : http::Transport {
    explicit Plenty(std::size_t size) : size(size) {}
    bool canHandle(const http::Request&) const override { return true; }
    http::DataReply perform(const http::Request&, std::string_view) override {
        ++calls;
        return {http::Response{.status = 200}, std::string(size, 'x')};
    }
    std::size_t size;
    std::atomic<int> calls{0};
};

class RemoteSend : public ::testing::Test {
protected:
    TestServer server;
    Remote remote{configFor(server.base())};

    RemoteError sendExpectingError(const std::string& path, bool retry) {
        return sendError(remote, remote.request("GET", path), retry);
    }
};
class RemoteLimits : public RemoteSend {};
class Endpoints : public RemoteSend {};

// Only a transient failure sent with retry goes again: three times in all, after 0.6 s and 1.2 s.
TEST_F(RemoteSend, OnlyTransientFailuresAreSentAgainWithGrowingPausesAndNoErrorTextHoldsTheToken) {
    const std::pair<int, bool> cases[] = {{503, true}, {404, true}, {409, true}, {412, true},
                                          {400, true}, {401, true}, {503, false}};
    for (const auto& [status, retry] : cases) {
        const std::string path = "/case/" + std::to_string(status) + (retry ? "r" : "");
        SCOPED_TRACE(path);
        server.script("/api/v1" + path, {Reply{.status = status, .body = R"({"error":"e"})"}});
        const RemoteError error = sendExpectingError(path, retry);
        EXPECT_EQ(test::statusCode(error), std::to_string(status) + " e");
        EXPECT_THAT(error.what(), Not(HasSubstr("tok-123")));
        const auto sent = server.requests("/api/v1" + path);
        ASSERT_EQ(sent.size(), status == 503 && retry ? 3u : 1u);
        EXPECT_EQ(sent[0].header("Authorization"), "Bearer tok-123");
    }
    EXPECT_NEAR(server.gapSeconds(0, 1), 0.6, 0.15);
    EXPECT_NEAR(server.gapSeconds(1, 2), 1.2, 0.15);
    server.script("/api/v1/changes", {Reply{.status = 503}, Reply{.status = 200, .body = "{\"ok\":1}"}});
    EXPECT_EQ(remote.send(remote.request("GET", "/changes"), true), "{\"ok\":1}");
    const std::size_t all = server.requests().size();
    EXPECT_NEAR(server.gapSeconds(all - 2, all - 1), 0.6, 0.15);
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

    using C = RemoteError::Case;
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

// Nothing leaves the process for a base that is no http URL, an id that passes the id rule but makes no URL
// (a network failure, retried), or a device id that could address another path.
TEST_F(RemoteLimits, NothingIsSentForABaseOrIdThatMakesNoURLOrAnUnsafeDeviceId) {
    const std::string port = std::to_string(server.port());
    const auto codeFor = [](const Remote& r, const std::string& path) {
        return urlCodeOf(sendError(r, r.request("GET", path)));
    };
    for (const std::string host : {"127.0.0.1:", "localhost:"})
        EXPECT_EQ(codeFor(Remote(configFor(host + port)), "/n"), U::unsupportedURL);
    for (const std::string id : {"caf\xc3\xa9", "a\"b", "a<b", "a{b", "a|b"})
        EXPECT_EQ(codeFor(remote, "/nodes/" + id), U::badURL) << id;
    const auto start = std::chrono::steady_clock::now();
    const RemoteError retried = sendError(remote, remote.request("GET", "/nodes/a|b"), true);
    EXPECT_EQ(urlCodeOf(retried), U::badURL);
    EXPECT_TRUE(retried.isTransient());
    EXPECT_NEAR(secondsSince(start), 1.8, 0.3);  // the pauses (0.6 s + 1.2 s) of three attempts
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

    auto anything = std::make_shared<Plenty>(2);
    Remote substituted(configFor("http://h"), {anything});
    EXPECT_EQ(urlCodeOf(sendError(substituted, substituted.request("GET", "/nodes/a<b"))), U::badURL);
    EXPECT_EQ(anything->calls, 0);
}

TEST_F(RemoteLimits, DeepErrorBodyKeepsStatusAndCodeAndDropsTheDepth) {
    const std::string deep(1'000'000, '[');
    const auto nested = [](int levels) {  // in all, with the outer object
        return R"({"error":"x","d":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    };
    const std::string wide =
        R"({"error":"x","reason":"r","d":)" + deep + std::string(1'000'000, ']') + R"(,"o":{"k":1}})";
    for (const auto& [body, code, details] :
         {std::tuple<std::string, std::string, json>{deep, "400 http_400", json::object()},
          {wide, "400 x", {{"error", "x"}, {"reason", "r"}}},
          {nested(64), "400 x", json::parse(nested(64))},
          {nested(65), "400 x", {{"error", "x"}}}}) {
        SCOPED_TRACE(body.substr(0, 30));
        const RemoteError error = Remote::failure(400, body);
        const RemoteError copy = error;  // as a thrown error is copied
        EXPECT_EQ(test::statusCode(copy), code);
        EXPECT_EQ(copy.body(), details);
    }

    // As deep as an error body of at most 16 KiB gets.
    server.script("/api/v1/nodes/n1", {Reply{.status = 400, .body = nested(8000)}});
    EXPECT_EQ(sendExpectingError("/nodes/n1", false).code(), "x");
}

// Not sent again: the reply would be as large the next time.
TEST_F(RemoteLimits, ReplyLargerThanItsBoundIsRefusedOnce) {
    server.script("/api/v1/big",
                  {Reply{.status = 200, .generatedBodySize = 2000, .stallAfterHeaders = 2000ms}});
    http::Request request = remote.request("GET", "/big");
    request.memoryLimit = 1000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(test::statusCode(sendError(remote, request, true)), "502 too_large");
    EXPECT_LT(secondsSince(start), 1.0);  // refused on its Content-Length, before the body
    EXPECT_EQ(server.requests().size(), 1u);

    // Without a Content-Length, on the bytes received.
    auto plenty = std::make_shared<Plenty>(1001);
    Remote substituted(configFor("http://h"), {plenty});
    request = substituted.request("GET", "/big");
    request.memoryLimit = 1000;
    EXPECT_EQ(sendError(substituted, request, true).code(), "too_large");
    EXPECT_EQ(plenty->calls, 1);
    request.memoryLimit = 1001;
    EXPECT_EQ(substituted.send(request).size(), 1001u);
}

TEST_F(RemoteLimits, TricklingReplyFailsAtTheDeadline) {
    server.script("/api/v1/slow", {Reply{.status = 200, .body = "late", .stallAfterHeaders = 3000ms}});
    http::Request request = remote.request("GET", "/slow");
    request.deadline = 300ms;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(urlCodeOf(sendError(remote, request)), U::timedOut);
    EXPECT_GE(secondsSince(start), 0.28);
    EXPECT_LT(secondsSince(start), 1.5);  // well before the stall ends
}

// By result: only a transient error maps to -1004; a read-only or unavailable space carries its text.
TEST(RemoteErrorMapping, FollowsTheHostTableFirstMatchWins) {
    const std::string readOnly =  // byte for byte: a person reads them
        "Este espa\xc3\xa7o est\xc3\xa1 somente leitura no momento: d\xc3\xa1 para ver e baixar os arquivos, "
        "mas n\xc3\xa3o enviar nem alterar. Veja o estado da conta na web.";
    const std::string unavailable =
        "Este espa\xc3\xa7o est\xc3\xa1 indispon\xc3\xadvel no momento. Seus arquivos continuam guardados; "
        "se isso persistir, veja o estado da conta na web.";
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
            EXPECT_EQ(error.isReadOnly(), c.message == readOnly);
            EXPECT_EQ(error.isSpaceUnavailable(), c.message == unavailable);
            const Error mapped = fpError(std::make_exception_ptr(error));
            EXPECT_EQ(mapped.domain(), fileProviderErrorDomain);
            EXPECT_EQ(mapped.code(), c.code);
            EXPECT_EQ(mapped.userInfo().localizedDescription.value_or(""), c.message);
            EXPECT_FALSE(mapped.userInfo().collidingItem);
        }
    EXPECT_FALSE(RemoteError::cancelled().isTransient());
}

// A cancelled call is the system's "user cancelled"; other errors keep their own domain and code.
TEST(RemoteErrorMapping, CancelledAndOtherErrorsKeepTheirOwnDomainAndCode) {
    const std::pair<std::exception_ptr, std::pair<std::string, std::int64_t>> cases[] = {
        {std::make_exception_ptr(RemoteError::cancelled()), {cocoaErrorDomain, 3072}},
        {std::make_exception_ptr(fileProviderError(FileProviderErrorCode::noSuchItem)),
         {fileProviderErrorDomain, -1005}},
        {std::make_exception_ptr(http::URLError(http::URLError::Code::badServerResponse)),
         {http::urlErrorDomain, -1011}},
        {std::make_exception_ptr(std::system_error(ENOSPC, std::generic_category())), {"generic", ENOSPC}},
        {std::make_exception_ptr(CancellationError()),
         {CancellationError().domain(), CancellationError().code()}},
    };
    for (const auto& [error, expected] : cases) {
        const Error mapped = fpError(error);
        EXPECT_EQ(std::pair(mapped.domain(), mapped.code()), expected);
    }
}

TEST_F(Endpoints, EachCallSendsItsExactRequest) {
    // One reply that decodes as every record these calls read: unknown keys are ignored.
    const std::string node = R"({"id":"n1","parent":"p1","kind":"file","name":"a.txt","version":4)";
    const std::string reply = node + R"(,"items":[)" + node +
                              R"(}],"nextCursor":"more","changes":[],"cursor":5,)" +
                              R"("latest":9,"hasMore":false,"url":"/b/x","expiresAt":9})";
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
        {[&] { remote.list(std::nullopt, std::nullopt); }, "GET /api/v1/nodes?parent=root&limit=500"},
        {[&] { remote.list("p1", "a/b=c+d"); }, "GET /api/v1/nodes?parent=p1&limit=500&cursor=a/b=c+d"},
        {[&] { remote.list(std::nullopt, ""); }, "GET /api/v1/nodes?parent=root&limit=500&cursor="},
        {[&] { remote.node("n1"); }, "GET /api/v1/nodes/n1?trashed=1"},
        {[&] { remote.node("n1", false); }, "GET /api/v1/nodes/n1"},
        {[&] { remote.changes(-3); }, "GET /api/v1/changes?since=-3&limit=500"},
        {[&] { remote.changes(1125899906842624, 1); }, "GET /api/v1/changes?since=1125899906842624&limit=1"},
        {[&] { EXPECT_EQ(remote.trash().at(0).parent, "p1"); }, "GET /api/v1/trash"},  // one page
        {[&] { remote.createFolder("Fotos", std::nullopt); }, "POST /api/v1/nodes", json{{"name", "Fotos"}}},
        {[&] { remote.createFolder("F", "p1"); }, "POST /api/v1/nodes", json{{"name", "F"}, {"parent", "p1"}}},
        {[&] { remote.patch("n1", "b.txt", std::nullopt, 4); }, "PATCH /api/v1/nodes/n1", json{{"name", "b.txt"}}, "4"},
        {[&] { remote.patch("n1", none, std::optional<std::string>(), 4); }, "PATCH /api/v1/nodes/n1",
         json{{"parent", "root"}}, "4"},  // to the top
        {[&] { remote.patch("n1", "c", std::optional<std::string>("p2"), 9); },
         "PATCH /api/v1/nodes/n1", json{{"name", "c"}, {"parent", "p2"}}, "9"},
        {[&] { remote.patch("n1", none, std::nullopt, 4); }, "PATCH /api/v1/nodes/n1", json::object(), "4"},
        {[&] { remote.trashNode("n1", 4); }, "DELETE /api/v1/nodes/n1", std::nullopt, "4"},
        {[&] { remote.restore("n1"); }, "POST /api/v1/nodes/n1/restore"},
        {[&] { remote.purge("n1"); }, "DELETE /api/v1/trash/n1"},
        {[&] { EXPECT_EQ(remote.open("n1").url, "/b/x"); }, "POST /api/v1/nodes/n1/open"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        c.call();
        const auto all = server.requests();
        ASSERT_EQ(all.size(), static_cast<std::size_t>(&c - cases + 1));  // one request a call
        const auto& sent = all.back();
        EXPECT_EQ(sent.method + " " + sent.target, c.request);
        EXPECT_EQ(sent.header("Authorization"), "Bearer tok-123");
        EXPECT_EQ(sent.header("If-Match"), c.ifMatch);
        EXPECT_EQ(sent.header("Content-Type").value_or("none"), c.body ? "application/json" : "none");
        EXPECT_EQ(sent.body.empty() ? json() : json::parse(sent.body), c.body.value_or(json()));
    }
}

TEST_F(Endpoints, EmptySuccessIsEnoughOnlyWhereNoRecordIsExpectedAndRejectionsKeepTheirCodeAndAreSentOnce) {
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {204}; });
    EXPECT_NO_THROW(remote.trashNode("n1", 1));
    EXPECT_NO_THROW(remote.purge("n1"));
    const RemoteError empty = errorOf([&] { remote.node("n1"); });
    EXPECT_EQ(test::statusCode(empty), "502 bad_response");
    EXPECT_TRUE(empty.body().empty());
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 1u);  // not sent again

    server.script("/api/v1/nodes/n1", {{409, {}, R"({"error":"name_conflict","existing":{"id":"n7"}})"}});
    const RemoteError conflict = errorOf([&] { remote.patch("n1", "taken", std::nullopt, 3); });
    EXPECT_EQ(test::statusCode(conflict), "409 name_conflict");
    EXPECT_EQ(conflict.body()["existing"]["id"], "n7");

    server.script("/api/v1/nodes/n1", {});
    server.setHandler([](const test::RecordedRequest&) -> Reply { return {503}; });
    EXPECT_THROW(remote.createFolder("a", std::nullopt), RemoteError);
    EXPECT_EQ(server.requests("/api/v1/nodes").size(), 1u);  // a mutation is sent once, a read three times
    EXPECT_THROW(remote.node("n1"), RemoteError);
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 4u);
}

// Unsafe ids and cursors, and names or mimes that are not UTF-8 (on both upload paths), are refused unsent.
TEST_F(Endpoints, UnsafeIdsCursorsAndNamesAreRefusedBeforeAnythingIsSent) {
    const std::string latin1 = "rel\xF3rio.txt";
    const Replace unsafe{"..", 1};
    const std::pair<std::string, std::function<void()>> calls[] = {
        {"bad_id", [&] { remote.node("../trash/n9"); }},
        {"bad_id", [&] { remote.trashNode("../trash/n9", 1); }},
        {"bad_id", [&] { remote.purge("n1/../../nodes/n2"); }},
        {"bad_id", [&] { remote.restore(".."); }},
        {"bad_id", [&] { remote.open("a?b"); }},
        {"bad_id", [&] { remote.patch("n1", std::nullopt, std::optional<std::string>("p&x=1"), 1); }},
        {"bad_id", [&] { remote.createFolder("a", std::string("p\0q", 3)); }},
        {"bad_id", [&] { remote.list("a b", std::nullopt); }},
        {"bad_id", [&] { remote.upload("/absent", 3, "a", "p/q", "x/y"); }},
        {"bad_id", [&] { remote.upload("/absent", 3, "a", {}, "x/y", unsafe); }},
        {"bad_cursor", [&] { remote.list(std::nullopt, "c&limit=1"); }},
        {"bad_name", [&] { remote.upload("/absent", 3, latin1, {}, "x/y"); }},
        {"bad_name", [&] { remote.upload("/absent", Remote::directMax + 1, latin1, {}, "x/y"); }},
        {"bad_name", [&] { remote.createFolder(latin1, "p1"); }},
        {"bad_name", [&] { remote.patch("n1", latin1, std::nullopt, 3); }},
        {"bad_mime", [&] { remote.upload("/absent", 3, "a", {}, "text/\xFF"); }},
    };
    for (std::size_t i = 0; i < std::size(calls); ++i)
        EXPECT_EQ(test::statusCodeOf(calls[i].second), "0 " + calls[i].first) << i;
    EXPECT_TRUE(server.requests().empty());
}

TEST(RegisterDevice, SendsTheSecretOnceWithoutAuthorizationAndReadsIdAndToken) {
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
}

TEST(RegisterDevice, UnusableRepliesFailOnceWithoutQuotingTheSecret) {
    for (const auto& [reply, expected] :
         {std::pair<Reply, std::string>{{200, {}, R"({"id":"d7","token":42})"}, "502 bad_response"},
          {{200, {}, R"(["d7","tk"])"}, "502 bad_response"},
          {{200, {}, R"({"id":"d7"})"}, "502 bad_response"},
          {{200, {}, "not json"}, "502 bad_response"},
          {{403, {}, R"({"error":"forbidden"})"}, "403 forbidden"},
          {{503, {}, ""}, "503 http_503"}}) {  // transient, and still not sent again
        SCOPED_TRACE(reply.body);
        TestServer server;
        server.script("/api/v1/auth/device", {reply});
        const auto error = errorOf([&] { Remote::registerDevice(server.base(), "s3cret", "n"); });
        EXPECT_EQ(test::statusCode(error), expected);
        EXPECT_THAT(error.what(), Not(HasSubstr("s3cret")));
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST(RevokeDevice, DeletesTheDeviceOrRevokesTheCloudTokenAndSaysWhetherTheServiceAccepted) {
    using Case = std::tuple<std::optional<std::string>, int, bool>;  // space, status, revoked
    for (const auto& [spaceId, status, revoked] :
         {Case{std::nullopt, 204, true}, Case{std::nullopt, 404, false},
          Case{std::nullopt, 503, false},  // once, never again
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

// Ten real seconds: the limit is the behaviour under test.
TEST(RevokeDevice, TheCloudRevocationGivesUpAfterTenSeconds) {
    TestServer server;
    server.script("/api/cloud/auth/app/revoke", {{.status = 204, .delay = 60s}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Remote(Config(server.base(), "tok", "d7", "s1")).revokeDevice());
    EXPECT_NEAR(test::secondsSince(start), 10.0, 1.0);
}

}  // namespace
}  // namespace tw
