// The API client: sending, requests and replies, limits, the error table, the metadata and device endpoints,
// and the upload: its two paths, part window, retries and abort, the caller's file kept.
#include "remote/remote.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/http/url_error.h"
#include "platform/task/task.h"
#include "remote/fp_error.h"
#include "support/bytes.h"
#include "support/elapsed.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::RecordedRequest;
using test::Reply;
using test::secondsSince;
using test::TestServer;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;
using U = http::URLError::Code;

Config configFor(const std::string& base) {
    return Config(base, "tok-123", "", std::nullopt);
}

// The RemoteError that `call` throws; a failure of the test when it throws none.
RemoteError errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const RemoteError& error) {
        return error;
    }
    ADD_FAILURE() << "expected a RemoteError";
    return RemoteError::http(0, "none thrown");
}

// "STATUS CODE", e.g. "502 bad_response": what a caller of the client decides on.
std::string statusCode(const RemoteError& error) {
    return std::to_string(error.status()) + " " + error.code();
}

// The URL error under a network failure; a failure of the test for any other error.
http::URLError::Code urlCodeOf(const RemoteError& error) {
    try {
        if (error.underlying()) std::rethrow_exception(error.underlying());
    } catch (const http::URLError& urlError) {
        return urlError.urlCode();
    } catch (...) {
    }
    ADD_FAILURE() << "not a URL error: " << error.what();
    return http::URLError::Code::unknown;
}

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
        EXPECT_EQ(statusCode(error), std::to_string(status) + " e");
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
    Task task = Task::start(
        [&] { EXPECT_THROW(remote.send(remote.request("GET", "/flaky"), true), CancellationError); });
    std::this_thread::sleep_for(200ms);  // inside the 0.6 s pause
    task.cancel();
    ASSERT_TRUE(task.waitFor(1s));
    EXPECT_EQ(server.requests("/api/v1/flaky").size(), 1u);
}

TEST(RemoteConfig, AControlCharacterInBaseOrTokenIsRefusedWithoutQuotingIt) {
    for (const auto& [base, token] : {std::pair{"http://h", "tok\r\nX-Evil: 1"}, {"http://h/\n", "tok"}})
        EXPECT_THAT([&] { Remote(Config(base, token, "", std::nullopt)); },
                    ThrowsMessage<std::invalid_argument>(
                        AllOf(HasSubstr("control character"), Not(HasSubstr("X-Evil")))));
}

// An open record's url goes on the base only when the result keeps the API's origin; else "bad_url", unsent.
// What is accepted, on both bases, the download_url fuzz target's corpus checks (tests/fuzz).
TEST(DownloadURL, OnlyAPathOnTheApiOriginIsAccepted) {
    const Remote plain(configFor("http://127.0.0.1:8080")), prefixed(configFor("https://api.example.com/tw"));
    // "@evil.example/x" would reach evil.example as user 127.0.0.1, ":9999/x" another port; "/a b" is no URL.
    for (const std::string path : {"@evil.example/x", "//evil.example/x", "/x@evil.example/", "/x\\y",
                                   "/x\ty", "/x\x7f", "blobs/abc", "", ":9999/x", "/a b"})
        EXPECT_EQ(statusCode(errorOf([&] { plain.downloadURL(path); })), "0 bad_url") << path;
    EXPECT_EQ(statusCode(errorOf([&] { prefixed.downloadURL(".evil.example/x"); })), "0 bad_url");
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
        EXPECT_EQ(statusCode(error), "400 x");
        EXPECT_EQ(error.body(), details);
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
    EXPECT_EQ(statusCode(sendError(remote, request, true)), "502 too_large");
    EXPECT_LT(secondsSince(start), 1.0);
    request.url = remote.url("/api/v1/unannounced");
    EXPECT_EQ(statusCode(sendError(remote, request, true)), "502 too_large");
    EXPECT_EQ(server.requests().size(), 2u);
    request.memoryLimit = 1001;
    EXPECT_EQ(remote.send(request).size(), 1001u);
}

// By result: only a transient error maps to -1004; a read-only or unavailable space carries its text.
TEST(RemoteErrorMapping, FollowsTheHostTableFirstMatchWins) {
    const auto http = [](int status, std::string code, json body = {}) {
        return RemoteError::http(status, std::move(code), std::move(body));
    };
    const json deleting = {{"error", "forbidden"}, {"reason", "account_deleting"}}, odd = {{"reason", 1}};
    struct Case {
        std::int64_t code;
        std::vector<RemoteError> errors;
        std::string_view message = "";
    };
    const Case cases[] = {
        {-1004,
         {RemoteError::network(std::make_exception_ptr(std::runtime_error("boom"))), http(429, "slow_down"),
          http(408, "http_408"), http(502, "bad_response"), http(500, "x"), http(599, "x")}},
        {-2005,
         {http(403, "space_suspended"), http(410, "space_unavailable")},
         RemoteError::spaceUnavailableMessage},
        {-2005,
         {http(402, "payment_required"), http(403, "account_deleting"), http(403, "forbidden", deleting)},
         RemoteError::readOnlyMessage},
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
            // The transport's error rides along only when there was no answer: a 503 is not "unreachable".
            const auto& underlying = mapped.userInfo().underlyingError;
            EXPECT_EQ(underlying != nullptr, error.kind() == RemoteError::Case::network);
            if (underlying) {
                EXPECT_STREQ(underlying->what(), "boom");
            }
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
    server.setHandler([reply](const RecordedRequest&) -> Reply { return {200, {}, reply}; });
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
        {[&] { remote.patch("n1", std::nullopt, std::optional<std::string>(), 4); }, "PATCH /api/v1/nodes/n1",
         json{{"parent", "root"}}, "4"},  // to the top
        {[&] { remote.patch("n1", std::nullopt, std::nullopt, 4); }, "PATCH /api/v1/nodes/n1", json::object(), "4"},
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
    server.setHandler([](const RecordedRequest&) -> Reply { return {204}; });
    EXPECT_EQ(statusCode(errorOf([&] { remote.node("n1"); })), "502 bad_response");
    EXPECT_EQ(server.requests("/api/v1/nodes/n1?trashed=1").size(), 1u);  // not sent again
    server.setHandler([](const RecordedRequest&) -> Reply { return {503}; });
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
        EXPECT_EQ(statusCode(errorOf(calls[i].second)), "0 " + calls[i].first) << i;
    EXPECT_TRUE(server.requests().empty());
}

// The body itself the real service checks as tests/apps pairs a device.
TEST(RegisterDevice, SendsTheSecretOnceWithoutAuthorizationReadsIdAndTokenAndNeverQuotesTheSecret) {
    TestServer server;
    server.script("/api/v1/auth/device",
                  {{201, {}, R"({"id":"d7","token":"tk-9","name":"Laptop","kind":"macos","createdAt":1})"}});
    const Device device = Remote::registerDevice(server.base(), "s3cret", "Laptop do Zé");
    EXPECT_EQ(device.id + " " + device.token, "d7 tk-9");
    EXPECT_FALSE(server.requests().at(0).header("Authorization"));
    EXPECT_EQ(server.requests().at(0).header("User-Agent"), "Tidewright-macOS/0.1");

    for (const auto& [reply, expected] :
         {std::pair<Reply, std::string>{{200, {}, R"({"id":"d7","token":42})"}, "502 bad_response"},
          {{200, {}, "not json"}, "502 bad_response"},
          {{503, {}, ""}, "503 http_503"}}) {  // transient, and still not sent again
        SCOPED_TRACE(reply.body);
        server.script("/api/v1/auth/device", {reply});
        const auto error = errorOf([&] { Remote::registerDevice(server.base(), "s3cret", "n"); });
        EXPECT_EQ(statusCode(error), expected);
        EXPECT_THAT(error.what(), Not(HasSubstr("s3cret")));
    }
    EXPECT_EQ(server.requests().size(), 4u);  // each once
}

// Revoking by device id, accepted or refused, tests/apps does against the real service.
TEST(RevokeDevice, ACloudSpaceRevokesItsTokenAndSaysWhetherTheServiceAccepted) {
    for (const auto& [status, revoked] : {std::pair{200, true}, {401, false}}) {
        SCOPED_TRACE(status);
        TestServer server;
        server.script("/api/cloud/auth/app/revoke", {{status}});
        EXPECT_EQ(Remote(Config(server.base(), "tok", "d7", "s1")).revokeDevice(), revoked);
        const auto sent = server.requests();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].method + " " + sent[0].target, "POST /api/cloud/auth/app/revoke");
        EXPECT_EQ(sent[0].body, "{}");
        EXPECT_EQ(sent[0].header("Authorization"), "Bearer tok");
        EXPECT_EQ(sent[0].header("Content-Type"), "application/json");
    }
}

constexpr std::int64_t eightMiB = 8'388'608;

// A file of `size` seeded bytes in a folder of its own, removed at the end of the test.
struct LocalFile {
    explicit LocalFile(std::int64_t size) : bytes(test::writeSeededBytes(path, size, 9)) {}
    std::string slice(std::int64_t offset, std::int64_t length) const { return bytes.substr(offset, length); }
    bool untouched() const { return test::fileText(path) == bytes; }  // still holds its bytes

    test::TempDir dir;
    const std::filesystem::path path = dir.path() / "local";
    std::string bytes;
};

std::string nodeFor(const std::string& name) {
    return json{{"id", "n9"}, {"kind", "file"}, {"name", name}, {"version", 1}}.dump();
}

// Accepts every multipart upload as "u-NAME" (other than [A-Za-z0-9.-] as '_') of `partSize`; scripts first.
std::function<Reply(const RecordedRequest&)> multipartService(std::int64_t partSize) {
    return [partSize](const RecordedRequest& request) -> Reply {
        if (request.method == "POST" && request.target == "/api/v1/uploads") {
            std::string id = "u-" + json::parse(request.body)["name"].get<std::string>();
            std::replace_if(
                id.begin(), id.end(), [](char c) { return !std::isalnum(c) && c != '.' && c != '-'; }, '_');
            return {201, {}, json{{"uploadId", id}, {"partSize", partSize}}.dump()};
        }
        if (request.method == "PUT") return {200};
        if (request.target.ends_with("/complete")) return {201, {}, nodeFor("done")};
        return {204};  // the abort
    };
}

class Upload : public RemoteSend {};

// Up to 8 MiB a file goes up in one request, beyond in parts of the service's size (not the one asked), at
// most four in flight (the handler answers a part after 150 ms, counting). Only name and mime are encoded; a
// replacement sends the version. Progress: the bytes sent directly, a part's length once it succeeded.
TEST_F(Upload, EightMiBGoesDirectAndOneByteMoreInPartsAtMostFourInFlightWithOptionalKeysOnlyWhenGiven) {
    const std::int64_t partSize = 838'861;  // ten parts for 8 MiB + 1, the last one byte shorter
    const auto service = multipartService(partSize);
    std::atomic<int> answering{0}, peak{0};
    server.setHandler([&, service](const RecordedRequest& request) {
        if (request.method != "PUT") return service(request);
        const int now = ++answering;
        for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(150ms);
        --answering;
        return service(request);
    });
    server.script("/api/v1/files", {{201, {}, nodeFor("a.bin")}});
    LocalFile direct(eightMiB), parted(eightMiB + 1);
    const std::string name = "Relatório 2025/3 (v1)?&=+%#~_-.pdf";  // kept: A-Za-z0-9-._~
    EXPECT_EQ(remote.upload(direct.path, eightMiB, name, "p1", "application/pdf").name, "a.bin");
    const auto progress = Progress::make();
    EXPECT_EQ(remote.upload(parted.path, eightMiB + 1, "plain", {}, "text/plain", {}, "fail", progress).name,
              "done");
    EXPECT_EQ(progress->completedUnitCount(), eightMiB + 1);
    remote.upload(parted.path, eightMiB + 1, name, "p1", "application/pdf", Replace{"n7", 7}, "rename");

    const auto sent = server.requests();
    ASSERT_EQ(sent.size(), 25u);
    EXPECT_EQ(sent[0].target,
              "/api/v1/files?name=Relat%C3%B3rio%202025%2F3%20%28v1%29%3F%26%3D%2B%25%23~_-.pdf"
              "&mime=application%2Fpdf&conflict=fail&parent=p1");
    EXPECT_EQ(sent[0].header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(json::parse(sent[1].body),
              json::parse(R"({"name": "plain", "size": 8388609, "mime": "text/plain",
        "conflict": "fail", "partSize": 8388608})"));
    std::vector<std::int64_t> order;  // of the part indexes, as sent
    for (std::size_t i = 2; i < 12; ++i) {
        SCOPED_TRACE(sent[i].target);
        ASSERT_TRUE(sent[i].target.starts_with("/api/v1/uploads/u-plain/parts/"));
        const std::int64_t index = std::stoll(sent[i].target.substr(sent[i].target.rfind('/') + 1)) - 1;
        EXPECT_EQ(sent[i].header("Content-Type"), "application/octet-stream");
        EXPECT_EQ(sent[i].bodySize, index < 9 ? partSize : partSize - 1);
        EXPECT_TRUE(sent[i].body == parted.slice(index * partSize, sent[i].bodySize));
        order.push_back(index);
    }
    EXPECT_EQ(std::set(order.begin(), order.end()).size(), 10u);
    EXPECT_EQ(std::set(order.begin(), order.begin() + 4), (std::set<std::int64_t>{0, 1, 2, 3}));
    EXPECT_EQ(peak, 4);
    EXPECT_EQ(sent[12].target, "/api/v1/uploads/u-plain/complete");
    EXPECT_EQ(sent[12].body, "{}");
    EXPECT_EQ(json::parse(sent[13].body), json::parse(R"({"name": ")" + name + R"(", "size": 8388609,
        "mime": "application/pdf", "conflict": "rename", "partSize": 8388608, "parent": "p1", "replace": "n7",
        "ifMatch": 7})"));
}

// The one test that waits out the real pauses, two uploads side by side (4.8 s, not 9.6 s). The lucky part's
// connection is dropped three times (a network failure), the unlucky part is refused every time.
TEST_F(Upload, APartIsSentAgainAfterPausesOfPointEightOnePointSixAndTwoPointFourSeconds) {
    const auto service = multipartService(MiB);  // nine parts for 8 MiB + 1; only the first fails
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> answered;  // of the lucky part's attempts
    server.setHandler([&, service](const RecordedRequest& request) -> Reply {
        if (request.target == "/api/v1/uploads/u-unlucky/parts/1") return {503, {}, R"({"error":"busy"})"};
        if (request.target != "/api/v1/uploads/u-lucky/parts/1") return service(request);
        std::scoped_lock lock(mutex);
        answered.push_back(std::chrono::steady_clock::now());
        return {.cut = answered.size() <= 3 ? Reply::Cut::beforeReply : Reply::Cut::none};
    });
    LocalFile file(eightMiB + 1);
    std::optional<RemoteError> unlucky;
    std::jthread other(
        [&] { unlucky = errorOf([&] { remote.upload(file.path, eightMiB + 1, "unlucky", {}, "x/y"); }); });
    EXPECT_EQ(remote.upload(file.path, eightMiB + 1, "lucky", {}, "x/y").name, "done");
    other.join();

    const auto lucky = server.requests("/api/v1/uploads/u-lucky/parts/1");
    ASSERT_EQ(lucky.size(), 4u);
    for (const auto& attempt : lucky)  // read once, the same bytes every time
        EXPECT_TRUE(attempt.body == file.slice(0, MiB));
    for (std::size_t i = 0; i < 3; ++i) {
        // From the drop to the next request line: the pause, plus a loaded machine's wake-up and reconnect.
        const double gap = std::chrono::duration<double>(lucky[i + 1].arrival - answered[i]).count();
        EXPECT_GE(gap, 0.8 * (i + 1) - 0.01);
        EXPECT_LE(gap, 0.8 * (i + 1) + 0.4);  // still well short of the next step (0.8 s)
    }
    EXPECT_TRUE(server.requests("/api/v1/uploads/u-lucky").empty()) << "no abort after a success";
    EXPECT_EQ(server.requests("/api/v1/uploads/u-unlucky/parts/1").size(), 4u);
    EXPECT_EQ(statusCode(*unlucky), "503 busy");
    EXPECT_EQ(server.requests("/api/v1/uploads/u-unlucky").size(), 1u) << "the abort";
}

TEST_F(Upload, AFailurePastTheStartIsNotRetriedAbortsAndKeepsTheFailedStepsError) {
    server.setHandler(multipartService(4 * MiB));  // three parts for 8 MiB + 1
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, std::vector<Reply>>> scripts;  // targets under /uploads/u-NAME
        std::string error, step;  // the failed step, under /uploads/u-NAME: sent once
        std::int64_t size = eightMiB + 1;
    };
    const std::vector<Case> cases = {
        {"conflict", {{"/parts/2", {{409, {}, R"({"error":"conflict"})"}}}}, "409 conflict", "/parts/2"},
        {"complete-fails",
         {{"/complete", {{500}}}, {"", {{500}}}},
         "500 http_500",
         "/complete"},  // abort too
        {"complete-garbage", {{"/complete", {{201, {}, "{\"id\":5}"}}}}, "502 bad_response", "/complete"},
        // A byte more than the file holds: the third part comes up short, and is never sent.
        {"shrank", {}, "0 file_changed", "/parts/3", eightMiB + 2},
    };
    LocalFile file(eightMiB + 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string upload = "/api/v1/uploads/u-" + c.name;
        for (const auto& [suffix, replies] : c.scripts)
            server.script(upload + suffix, replies);
        EXPECT_EQ(statusCode(errorOf([&] { remote.upload(file.path, c.size, c.name, {}, "x/y"); })), c.error);
        EXPECT_EQ(server.requests(upload + c.step).size(), c.name == "shrank" ? 0u : 1u);
        EXPECT_EQ(server.requests(upload).size(), 1u) << "one abort";
        EXPECT_TRUE(file.untouched());
    }
}

// A part size the client cannot hold or an id leaving its path: no part is sent, an abort only to a safe id.
TEST_F(Upload, AnUnusableStartIsABadResponseAndSendsNoPart) {
    LocalFile file(eightMiB + 1);
    for (const auto& [reply, aborted] : {std::pair{R"({"uploadId":"u1","partSize":0})", true},
                                         {R"({"uploadId":"u1","partSize":1073741825})", true},
                                         {R"({"uploadId":"u1","partSize":9223372036854775808})", false},
                                         {R"({"uploadId":"u1","partSize":"8"})", false},
                                         {R"({"uploadId":"../nodes/n1","partSize":8388608})", false},
                                         {R"({"partSize":8388608})", false}}) {
        SCOPED_TRACE(reply);
        server.script("/api/v1/uploads", {{201, {}, reply}});
        const std::size_t before = server.requests().size();
        EXPECT_EQ(statusCode(errorOf([&] { remote.upload(file.path, eightMiB + 1, "f", {}, "x/y"); })),
                  "502 bad_response");
        const auto sent = server.requests();
        ASSERT_EQ(sent.size() - before, aborted ? 2u : 1u);
        EXPECT_EQ(sent.back().method + " " + sent.back().target,
                  aborted ? "DELETE /api/v1/uploads/u1" : "POST /api/v1/uploads");
    }
}

TEST_F(Upload, CancelledDuringAPartTheUploadEndsAtOnceAndTheAbortStillGoesOut) {
    const auto service = multipartService(Remote::partSizeAsked);
    server.setHandler([service](const RecordedRequest& request) {
        Reply reply = service(request);
        if (request.method == "PUT") reply.delay = 10s;
        return reply;
    });
    LocalFile file(eightMiB + 1);
    std::optional<RemoteError> caught;
    Task task = Task::start(
        [&] { caught = errorOf([&] { remote.upload(file.path, eightMiB + 1, "c", {}, "x/y"); }); });
    EXPECT_TRUE(test::waitUntil(10, [&] { return !server.requests("/api/v1/uploads/u-c/parts/1").empty(); }));
    const auto start = std::chrono::steady_clock::now();
    task.cancel();
    task.wait();
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ(caught->kind(), RemoteError::Case::cancelled);
    EXPECT_EQ(server.requests("/api/v1/uploads/u-c").size(), 1u);
}

// Sent once even when a kept-alive connection dies under them: the direct upload and the completion (the
// start and the abort are sent as the completion is).
TEST_F(Upload, OnceOnlyRequestsAreNotSentAgainWhenTheConnectionDies) {
    server.setHandler(multipartService(Remote::partSizeAsked));
    server.script("/api/v1/warm", {{200}});
    LocalFile small(10), large(eightMiB + 1);
    for (const auto& [target, size, name] :
         {std::tuple{"/api/v1/files?name=d&mime=x%2Fy&conflict=fail", 10, "d"},
          {"/api/v1/uploads/u-c/complete", eightMiB + 1, "c"}}) {
        SCOPED_TRACE(target);
        server.script(target, {{.cut = Reply::Cut::beforeReply}, {200}});
        remote.send(remote.request("GET", "/warm"), true);  // leaves a kept-alive connection
        EXPECT_THROW(remote.upload((size == 10 ? small : large).path, size, name, {}, "x/y"), RemoteError);
        EXPECT_EQ(server.requests(target).size(), 1u);
        server.script(target, {});
    }
}

}  // namespace
}  // namespace tw
