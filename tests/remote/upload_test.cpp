// The upload: its two paths, part window, retries and abort, the caller's file kept; then the local service.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>

#include "platform/task/task.h"
#include "remote/remote.h"
#include "remote_checks.h"
#include "support/elapsed.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::errorOf;
using test::RecordedRequest;
using test::Reply;
using test::TestServer;

constexpr std::int64_t eightMiB = 8'388'608;

// A file of `size` pattern bytes (byte i is i % 253), removed at the end of the test.
struct LocalFile {
    explicit LocalFile(std::int64_t size) : bytes(253, '\0') {
        std::iota(bytes.begin(), bytes.end(), '\0');
        while (bytes.size() < static_cast<std::size_t>(size))
            bytes += bytes;  // whole copies: fast also under sanitizers
        bytes.resize(size);
        std::ofstream(path, std::ios::binary) << bytes;
    }
    ~LocalFile() { std::filesystem::remove(path); }
    std::string slice(std::int64_t offset, std::int64_t length) const { return bytes.substr(offset, length); }
    bool untouched() const {  // still holds its bytes
        std::ifstream in(path, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), {}} == bytes;
    }
    inline static std::atomic<int> serial{0};
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("tw-upload-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
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

class Upload : public ::testing::Test {
protected:
    TestServer server;
    Remote remote{test::configFor(server.base())};
};

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
    LocalFile direct(eightMiB), parted(eightMiB + 1), small(3);
    EXPECT_EQ(remote.upload(direct.path, eightMiB, "plain", {}, "text/plain").name, "a.bin");
    const auto progress = Progress::make();
    EXPECT_EQ(remote.upload(parted.path, eightMiB + 1, "plain", {}, "text/plain", {}, "fail", progress).name,
              "done");
    EXPECT_EQ(progress->completedUnitCount(), eightMiB + 1);
    const std::string name = "Relatório 2025/3 (v1)?&=+%#~_-.pdf";  // kept: A-Za-z0-9-._~
    remote.upload(small.path, 3, name, "p1", "application/pdf", Replace{"n7", 7}, "rename");
    remote.upload(parted.path, eightMiB + 1, name, "p1", "application/pdf", Replace{"n7", 7}, "rename");

    const auto sent = server.requests();
    ASSERT_EQ(sent.size(), 26u);
    EXPECT_EQ(sent[0].target, "/api/v1/files?name=plain&mime=text%2Fplain&conflict=fail");
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
    EXPECT_GE(std::chrono::duration<double>(sent[6].arrival - sent[2].arrival).count(), 0.15);  // the fifth
    EXPECT_EQ(sent[12].target, "/api/v1/uploads/u-plain/complete");
    EXPECT_EQ(sent[12].body, "{}");
    EXPECT_EQ(sent[13].target,
              "/api/v1/files?name=Relat%C3%B3rio%202025%2F3%20%28v1%29%3F%26%3D%2B%25%23~_-.pdf"
              "&mime=application%2Fpdf&conflict=rename&parent=p1&replace=n7");
    EXPECT_EQ(sent[13].header("If-Match"), "7");
    EXPECT_EQ(json::parse(sent[14].body), json::parse(R"({"name": ")" + name + R"(", "size": 8388609,
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
    EXPECT_EQ(test::statusCode(*unlucky), "503 busy");
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
        EXPECT_EQ(test::statusCodeOf([&] { remote.upload(file.path, c.size, c.name, {}, "x/y"); }), c.error);
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
        EXPECT_EQ(test::statusCodeOf([&] { remote.upload(file.path, eightMiB + 1, "f", {}, "x/y"); }),
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
    EXPECT_LT(test::secondsSince(start), 1.0);
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
