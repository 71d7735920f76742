// The platform: errors, text, progress, file moves, content types, the host's manager,
// tasks and task groups, and the HTTP session against a real server on loopback.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/content_type.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/host/host.h"
#include "platform/http/rate_limit.h"
#include "platform/http/session.h"
#include "platform/http/url.h"
#include "platform/progress.h"
#include "platform/task/executor.h"
#include "platform/task/task.h"
#include "platform/task/task_group.h"
#include "platform/text.h"
#include "support/elapsed.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(Error, FromBridgesEveryKindOfException) {
    const std::string shown = "O espaço está somente leitura.", fp = "NSFileProviderErrorDomain";
    const UserInfo readOnly{.localizedDescription = shown};  // shown before any other description
    const std::system_error refused(ECONNREFUSED, std::generic_category(), "connect");
    using FP = FileProviderErrorCode;
    const std::tuple<std::exception_ptr, std::string, std::int64_t, std::string> cases[] = {
        {std::make_exception_ptr(Error("com.example", 7, {}, "quota")), "com.example", 7, "quota"},
        {std::make_exception_ptr(Error("d", -2)), "d", -2, "d error -2"},
        {std::make_exception_ptr(fileProviderError(FP::noSuchItem)), fp, -1005, "no such item"},
        {std::make_exception_ptr(fileProviderError(FP::cannotSynchronize, readOnly)), fp, -2005, shown},
        // That it carries the existing item is checked where a creation collides (content/mutation_test).
        {std::make_exception_ptr(host::collisionError(nullptr)), fp, -1001,
         "an item with this name already exists"},
        {std::make_exception_ptr(userCancelledError()), "NSCocoaErrorDomain", 3072, "cancelled"},
        {std::make_exception_ptr(CancellationError()), "tw.task", 1, "task cancelled"},  // a subclass
        {std::make_exception_ptr(refused), "generic", ECONNREFUSED, refused.what()},
        {std::make_exception_ptr(std::runtime_error("disk full")), "tw.exception", 1, "disk full"},
        {std::make_exception_ptr(42), "tw.exception", 1, "unknown exception"},
        {std::exception_ptr(), "tw.exception", 1, "no exception"},
    };
    for (const auto& [error, domain, code, what] : cases) {
        SCOPED_TRACE(what);
        const Error bridged = Error::from(error);
        EXPECT_EQ(std::tuple(bridged.domain(), bridged.code(), std::string(bridged.what())),
                  std::tuple(domain, code, what));
    }
    EXPECT_EQ(Error::from(std::get<0>(cases[3])).userInfo().localizedDescription, shown);
}

void onThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::jthread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(body, t);
}

TEST(Utf8Lossy, KeepsValidTextAndReplacesEachIllFormedPart) {
    const std::string r = "\xEF\xBF\xBD";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"}, {"Relat\xC3\xB3rio", "Relat\xC3\xB3rio"}, {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"}, {"", ""},
        // A lone continuation byte, truncated sequences, an overlong one, a surrogate, one above U+10FFFF.
        {"a\x80z", "a" + r + "z"}, {"a\xE2\x82", "a" + r}, {"\xE2\x82z", r + "z"}, {"\xC0\xAF", r + r},
        {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r}, {"\xFF", r},
    };
    // clang-format on
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        EXPECT_EQ(decodeUTF8Lossy(bytes), text);
    }
}

TEST(CanonicalEquivalence, SameTextInAnyNormalisationFormIsEqualAndInvalidBytesAreNot) {
    // Precomposed and decomposed, combining marks in either order, a Hangul syllable and its jamo; not: a
    // compatibility form, another case; invalid bytes only equal to the same bytes, not to their replacement.
    // clang-format off
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"Relat\xC3\xB3rio", "Relato\xCC\x81rio", true}, {"a\xCC\x81\xCC\xA3", "a\xCC\xA3\xCC\x81", true},
        {"\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1", true}, {"\xEF\xAC\x81", "fi", false},
        {"Relatorio", "relatorio", false}, {"a\xFF", "a\xFE", false}, {"a\xFF", "a\xEF\xBF\xBD", false},
        {"a\xFF", "a\xFF", true},
    };
    // clang-format on
    for (const auto& [a, b, equal] : cases) {
        SCOPED_TRACE(testing::PrintToString(a) + " " + testing::PrintToString(b));
        EXPECT_EQ(canonicallyEqual(a, b), equal);
    }
}

TEST(Progress, AdditionsAndCancelsAreNeitherLostNorRepeatedAndHandlersMayCallBackIn) {
    auto progress = Progress::make(400'000);
    std::atomic<int> runs{0};
    progress->setCancellationHandler([&] { ++runs; });
    onThreads(4, [&](int) {
        for (int i = 0; i < 100'000; ++i)
            progress->addCompletedUnitCount(1);
        progress->cancel();
    });
    EXPECT_EQ(progress->completedUnitCount(), 400'000);
    EXPECT_EQ(runs.load(), 1) << "the latest handler runs once however often cancelled";
    // A handler may call back in (under the progress's own lock it would deadlock); a late one runs at once.
    bool innerRan = false;
    progress = Progress::make(1);
    progress->setCancellationHandler([&] {
        progress->setCompletedUnitCount(1);
        progress->cancel();
        progress->setCancellationHandler([&] { innerRan = true; });
    });
    progress->cancel();
    EXPECT_EQ(progress->completedUnitCount(), 1);
    EXPECT_TRUE(innerRan);
}

// A new folder made from the pattern, which ends in XXXXXX; empty when none could be made.
fs::path freshFolder(std::string pattern) {
    return ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
}

// On one file system and across two (/dev/shm is a tmpfs of its own).
TEST(MoveFile, MovesWithinAndAcrossFileSystemsReplacingOnlyWhenAsked) {
    const test::TempDir dir;
    const auto& here = dir.path();
    const auto elsewhere = freshFolder("/dev/shm/tw-files-XXXXXX");
    if (elsewhere.empty()) GTEST_SKIP() << "no /dev/shm";
    const auto to = here / "b";
    for (const auto& from : {here / "a", elsewhere / "a"}) {
        SCOPED_TRACE(from);
        std::ofstream(from) << "payload";
        ::chmod(from.c_str(), 0600);
        std::ofstream(to) << "old";
        EXPECT_THAT([&] { moveFile(from, to, /*replace=*/false, ".staging-"); },
                    testing::Throws<std::system_error>(testing::Property(
                        &std::system_error::code, testing::Property(&std::error_code::value, EEXIST))));
        EXPECT_EQ(test::fileText(to), "old");
        EXPECT_TRUE(fs::exists(from));
        moveFile(from, to, /*replace=*/true, ".staging-");
        EXPECT_EQ(test::fileText(to), "payload");
        EXPECT_FALSE(fs::exists(from));
        EXPECT_EQ(fs::status(to).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(std::distance(fs::directory_iterator(here), {}), 1);  // no staging file left
        fs::remove(to);
    }
    std::ofstream(elsewhere / "c") << "x";
    EXPECT_THROW(moveFile(elsewhere / "c", here / "missing" / "c", true, ".staging-"), std::system_error);
    EXPECT_TRUE(fs::exists(elsewhere / "c"));
    fs::remove_all(elsewhere);
}

// "identifier mime extension" of a type found, or "(none)", so that expectations read as plain text.
std::string describe(const std::optional<ContentType>& type) {
    return type ? type->identifier() + " " + type->preferredMIMEType().value_or("-") + " " +
                      type->preferredFilenameExtension().value_or("-")
                : "(none)";
}

TEST(ContentType, ConformanceTable) {
    const ContentType pdf = ContentType::fromMIMEType("application/pdf").value(),
                      text = ContentType::fromMIMEType("text/plain").value(), folder = ContentType::folder(),
                      directory = ContentType::directory(), item = ContentType::item(),
                      data = ContentType::data(), link = ContentType::symbolicLink();
    const std::tuple<ContentType, ContentType, bool> cases[] = {
        // clang-format off
        {folder, directory, true}, {directory, folder, false}, {folder, data, false}, {link, data, false},
        {pdf, data, true}, {pdf, item, true}, {item, data, false}, {pdf, text, false}, {pdf, directory, false},
        // clang-format on
    };
    for (const auto& [type, to, conforms] : cases) {
        SCOPED_TRACE(type.identifier() + " -> " + to.identifier());
        EXPECT_EQ(type.conforms(to), conforms);
    }
}

TEST(ContentTypeRegistryFile, ReadsTypesExtensionsAndCommentsOrNothing) {
    const test::TempDir dir;
    const auto path = dir.path() / "mime.types";
    std::ofstream(path, std::ios::binary)
        << "# a comment line\napplication/X-Thing\tthg THX   # a trailing comment\n"
           "text/x-bare\nnot-a-mime-type   nope\n   \n"
           "application/x-second thg sec\r\ntext/x-bare  bare\n";
    const auto registry = ContentTypeRegistry::fromFile(path);
    fs::remove(path);  // read again at the end, as a missing file
    const auto byExtension = [&](const char* e) { return describe(registry.typeForFilenameExtension(e)); };
    EXPECT_EQ(byExtension("THX"), "application/x-thing application/x-thing thg");
    // An extension listed twice keeps its first type; the carriage return is not part of "sec".
    EXPECT_EQ(byExtension("thg"), "application/x-thing application/x-thing thg");
    EXPECT_EQ(byExtension("sec"), "application/x-second application/x-second thg");
    // A type listed first without extensions takes its preferred one from its later line. A MIME type is
    // looked up in any case, without its parameters.
    EXPECT_EQ(describe(registry.typeForMIMEType(" Text/X-Bare ;format=flowed")),
              "text/x-bare text/x-bare bare");
    EXPECT_EQ(byExtension("nope") + byExtension("pdf") + byExtension("") +
                  describe(registry.typeForMIMEType("; charset=utf-8")) +
                  describe(registry.typeForFilenameExtension("thg", ContentType::folder())),
              "(none)(none)(none)(none)(none)");
    EXPECT_EQ(describe(ContentTypeRegistry::fromFile(path).typeForMIMEType("text/plain")), "(none)");
}

TEST(PathExtension, FollowsTheLastComponentsLastDot) {
    const std::pair<const char*, const char*> cases[] = {
        // clang-format off
        {"Report.PDF", "PDF"}, {"a.tar.gz", "gz"}, {"LEIAME", ""}, {"", ""}, {".bashrc", ""}, {"..bashrc", ""},
        {".config.json", "json"}, {"name.", ""}, {"..", ""}, {"docs.d/notes", ""}, {"docs/a.txt/", "txt"}, {"/", ""},
        // clang-format on
    };
    for (const auto& [filename, extension] : cases) {
        SCOPED_TRACE(filename);
        EXPECT_EQ(pathExtension(filename), extension);
    }
}

class DefaultManager : public testing::Test {
protected:
    DefaultManager() { ::setenv("XDG_CACHE_HOME", cache.c_str(), 1); }
    ~DefaultManager() override {
        ::umask(umask_);
        ::unsetenv("XDG_CACHE_HOME");
    }
    static std::shared_ptr<host::Manager> managerFor(const std::string& identifier) {
        return host::Manager::forDomain({.identifier = identifier}, "app");
    }
    static fs::perms modeOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

    const mode_t umask_ = ::umask(022);
    const test::TempDir dir;
    const fs::path cache = dir.path();
    const fs::path root = cache / "app";  // the application's folder
};

TEST_F(DefaultManager, MakesAPrivateFolderPerDomainThatNoIdentifierLeaves) {
    // clang-format off
    for (const auto& [identifier, folder] : {std::pair{"d1", "d1"}, {"../../etc", "%2E%2E%2F%2E%2E%2Fetc"},
             {"..", "%2E%2E"}, {"a/b", "a%2Fb"}, {"a%2Fb", "a%252Fb"}, {".hidden", "%2Ehidden"}}) {
        // clang-format on
        SCOPED_TRACE(identifier);
        const auto manager = managerFor(identifier);
        ASSERT_TRUE(manager);
        EXPECT_EQ(manager->temporaryDirectory(), root / folder);
        EXPECT_EQ(modeOf(root / folder), fs::perms::owner_all);  // not 0755, as the umask gives
    }
    EXPECT_EQ(modeOf(root), fs::perms::owner_all);
    EXPECT_EQ(std::distance(fs::directory_iterator(root), {}), 6);
    EXPECT_THROW(managerFor(""), std::system_error);
    for (const char* application : {"", ".", "..", "a/b"})  // a folder name, not a way out of the cache
        EXPECT_THROW(host::Manager::forDomain({.identifier = "d1"}, application), std::system_error)
            << application;
}

// Refused, not repaired: someone may already be inside. (Every folder makePrivateFolder refuses, the
// manager's own and the application's: in private_files_test's PrivateFolder tests.)
TEST_F(DefaultManager, RefusesAFolderSomeoneElseCouldHaveMadeOrSwapped) {
    fs::create_directories(root / "open");
    fs::permissions(root, fs::perms::owner_all);
    fs::permissions(root / "open", fs::perms::all);
    EXPECT_THROW(managerFor("open"), std::system_error);
    EXPECT_EQ(modeOf(root / "open"), fs::perms::all);
    fs::permissions(root, fs::perms::all);  // the same for the folder that holds every domain's
    EXPECT_THROW(managerFor("private"), std::system_error);
}

TEST(Executor, TasksOneAfterAnotherReuseAThreadButNotItsCancellation) {
    std::set<std::thread::id> threads;
    for (int i = 0; i < 20; ++i) {
        Task cancelled = Task::start([] { std::this_thread::sleep_for(1ms); });
        cancelled.cancel();
        cancelled.wait();
        Task::start([&] {
            threads.insert(std::this_thread::get_id());
            EXPECT_FALSE(isCurrentTaskCancelled());
        }).wait();
    }
    EXPECT_LT(threads.size(), 5u);  // other tests' idle workers may join in
}

// Only a task waiting for itself while it runs is a mistake (asserted in builds with assertions on).
TEST(Task, ATaskOnTheThreadOfAFinishedOneMayWaitForIt) {
    std::thread::id finishedOn;
    Task finished = Task::start([&] { finishedOn = std::this_thread::get_id(); });
    finished.wait();
    bool waitedOnItsThread = false;
    for (int i = 0; i < 1000 && !waitedOnItsThread; ++i)
        Task::start([&] {
            if (std::this_thread::get_id() != finishedOn) return;
            finished.wait();
            waitedOnItsThread = true;
        }).wait();
    EXPECT_TRUE(waitedOnItsThread);
}

// How long a sleep lasts: in the API client's tests, whose retry pauses are sleeps.
// The task sees the cancellation as its own, and wait() rethrows what escaped the body.
TEST(Task, SleepThrowsPromptlyWhenCancelled) {
    std::atomic<int> cancelled{0};
    Task task = Task::start([&] {
        try {
            sleepFor(10s);
        } catch (const CancellationError&) {
            EXPECT_TRUE(isCurrentTaskCancelled());
            ++cancelled;
            throw;
        }
    });
    EXPECT_FALSE(task.waitFor(50ms));
    const auto cancelledAt = std::chrono::steady_clock::now();
    task.cancel();
    task.cancel();  // harmless a second time
    EXPECT_TRUE(task.isCancelled());
    EXPECT_THROW(task.wait(), CancellationError);
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 1s);
    EXPECT_EQ(cancelled.load(), 1);
}

// As many parents as there are workers wait for each other, then for children queued behind them, which
// each must run itself; further tasks queue until a worker comes free.
TEST(TaskGroup, ChildrenQueuedBehindAFullExecutorStillCompleteAndParentCancellationReachesThem) {
    const int parents = Executor::maxWorkers();
    std::latch everyWorkerBusy(parents);
    std::atomic<int> children{0}, queued{0};
    std::vector<Task> tasks;
    for (int i = 0; i < 2 * parents; ++i)
        tasks.push_back(Task::start([&, i] {
            if (i >= parents) return void(++queued);
            everyWorkerBusy.arrive_and_wait();
            TaskGroup group;
            for (int part = 0; part < 4; ++part)
                group.spawn([&] {
                    sleepFor(2ms);
                    ++children;
                });
            group.wait();
        }));
    for (const Task& task : tasks)
        EXPECT_TRUE(task.waitFor(5s));
    EXPECT_EQ(children.exchange(0), 4 * parents);
    EXPECT_EQ(queued.load(), parents);
    EXPECT_LE(Executor::shared().workers(), parents);  // idle workers live 10 s: this is at least the peak
}

using namespace http;
using test::Reply;
using test::secondsSince;
using test::TestServer;

const SessionConfiguration defaults{.additionalHeaders = {{"User-Agent", "Tidewright-macOS/0.1"}}};

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
    fs::path dottedFile(std::size_t size) const {  // a file of `size` dots
        const auto path = dir.path() / "placed";
        std::ofstream(path, std::ios::binary) << std::string(size, '.');
        return path;
    }

    test::TempDir dir;
    TestServer server;
    Session session{defaults};
};

// On one kept-alive connection, to the path as given (no "../" resolved, no "%2F" decoded), with no header
// libcurl would add by itself (Accept, Content-Type, Expect).
TEST_F(HttpSession, MethodsCarryTheirBodiesAndOwnHeadersOnlyToTheExactPath) {
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        {"POST", "/m1", std::nullopt},
        {"PATCH", "/api/v1/nodes/../trash/n9", "{}"},
        {"DELETE", "/m5", std::nullopt},
        {"GET", "/api/v1/nodes?parent=root&limit=500&cursor=a%2Fb", std::nullopt}};
    for (const auto& [method, target, body] : cases) {
        SCOPED_TRACE(method + " " + target);
        Request request{.url = server.base() + target, .method = method, .body = body};
        request.setHeader("Authorization", "Bearer t");
        if (body) request.setHeader("Content-Type", "application/json");
        EXPECT_EQ(session.data(request).response.status, 404);  // nothing scripted: the server's default
        const auto recorded = server.requests(target).at(0);
        EXPECT_EQ(recorded.method, method);
        EXPECT_EQ(recorded.body, body.value_or(""));
        EXPECT_EQ(recorded.header("User-Agent"), "Tidewright-macOS/0.1");
        EXPECT_EQ(recorded.header("Authorization"), "Bearer t");
        EXPECT_EQ(recorded.header("Content-Type").has_value(), body.has_value());
        EXPECT_FALSE(recorded.header("Accept") || recorded.header("Expect"));
    }
    EXPECT_EQ(server.connectionsAccepted(), 1);
}

// The I/O threads share the connections out between them: requests that overlap fill the cap and never pass
// it, however it divides among the threads. Each request is held 150 ms, far longer than the requests take to
// be handed over, so all that the cap allows are open at once.
TEST_F(HttpSession, OverlappingRequestsFillTheConnectionCapAndNoMore) {
    for (const std::int64_t cap : {3, 6}) {
        SCOPED_TRACE("cap " + std::to_string(cap));
        TestServer counted;
        counted.script("/held", {Reply{.delay = 150ms}});
        Session capped({.maxConnectionsPerHost = cap, .ioThreads = 4});
        std::vector<Task> tasks;
        for (int i = 0; i < 8; ++i)
            tasks.push_back(Task::start([&] { capped.data({.url = counted.base() + "/held"}); }));
        for (auto& task : tasks)
            task.wait();
        EXPECT_EQ(counted.requests("/held").size(), 8u);
        EXPECT_EQ(counted.peakOpenConnections(), cap);
    }
}

// A transfer cancelled on the wire ends at once: in the API client's tests (RemoteSend).
TEST_F(HttpSession, ATaskCancelledBeforeSendingSendsNothing) {
    std::optional<URLError::Code> code;
    Task task = Task::start([&] {
        while (!isCurrentTaskCancelled())
            std::this_thread::sleep_for(1ms);
        code = urlErrorOf([&] { session.data(at("/hang")); });
    });
    task.cancel();
    task.wait();
    EXPECT_EQ(code, URLError::Code::cancelled);
    EXPECT_TRUE(server.requests("/hang").empty());
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
        {"cut mid-body", [&] { session.download(at("/cut")); }, C::networkConnectionLost},
        {"endless headers", [&] { session.data(at("/headers")); }, C::badServerResponse},
        {"endless redirects", [&] { session.data(at("/loop")); }, C::httpTooManyRedirects},
        {"missing upload file", [&] { session.upload(at("/u"), fs::path("/nonexistent")); },
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
    EXPECT_EQ(session.data(at("/gone")).body.size(), 16'384u);
}

// An idle server fails a request after its timeout (libcurl looks once a second), a trickling one at its
// deadline.
TEST_F(HttpSession, IdleOrTricklingServerTimesOut) {
    server.script("/idle", {Reply{.delay = 5s}});
    server.script("/trickle", {Reply{.body = "late", .stallAfterHeaders = 3000ms}});
    const std::tuple<Request, double, double> cases[] = {
        {{.url = server.base() + "/idle", .timeout = 1s}, 0.9, 3.0},
        {{.url = server.base() + "/trickle", .deadline = 300ms}, 0.28, 1.5}};
    for (const auto& [request, least, most] : cases) {
        SCOPED_TRACE(request.url);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(urlErrorOf([&] { session.data(request); }), URLError::Code::timedOut);
        EXPECT_GE(secondsSince(start), least);
        EXPECT_LT(secondsSince(start), most);
    }
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

// A body longer than its part (announced or not) or a file that refuses writes fails as its URLError, and no
// byte lands past the part (at [1000, 2000) of the file).
TEST_F(HttpSession, DownloadAtFailsWithoutWritingPastItsPart) {
    server.script("/announced", {Reply{.generatedBodySize = 1001}});
    server.script("/unannounced",
                  {Reply{.status = 206, .generatedBodySize = 300'000, .closeDelimited = true}});
    server.script("/fits", {Reply{.status = 206, .generatedBodySize = 1000}});
    const auto path = dottedFile(4000);
    using C = URLError::Code;
    const std::tuple<const char*, int, C> cases[] = {
        {"/unannounced", O_WRONLY, C::dataLengthExceedsMaximum},
        {"/announced", O_RDONLY, C::dataLengthExceedsMaximum},  // refused before any write
        {"/fits", O_RDONLY, C::cannotWriteToFile},
    };
    for (const auto& [target, flags, expected] : cases) {
        SCOPED_TRACE(std::string(target) + (flags == O_RDONLY ? " into a read-only file" : ""));
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
        EXPECT_EQ(urlErrorOf([&] { session.downloadAt(at(target), fd, 1000, 1000); }), expected);
        ::close(fd);
        EXPECT_EQ(test::fileText(path).substr(2000), std::string(2000, '.'));
    }
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
    fs::resize_file(path, size);
    server.script("/big-up", {Reply{}});
    server.script("/big-down", {Reply{.generatedBodySize = size}});
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
    const auto before = peakResidentBytes();
    session.upload({.url = server.base() + "/big-up", .method = "PUT"}, path);
    auto download = session.download(at("/big-down"));
    [[maybe_unused]] const auto growth = peakResidentBytes() - before;
    EXPECT_EQ(server.requests("/big-up").at(0).bodySize, size);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(download.file.path())), size);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(growth, size / 5) << "peak resident memory grew by " << growth << " bytes";
#endif
}

// The process's rates hold every transfer together: two downloads at once share one, an upload keeps the
// other; each measured within 20 %. The buckets are a twentieth of a second deep, so no burst shows.
TEST_F(HttpSession, SharedRatesHoldAllTransfersOfTheProcessTogether) {
    constexpr std::int64_t rate = 2 << 20, size = 3 << 19;  // 2 MiB/s; 1.5 MiB a transfer
    server.script("/down", {Reply{.generatedBodySize = size}, Reply{.generatedBodySize = size}});
    server.script("/up", {Reply{}});
    receiveLimit().setRate(rate);
    sendLimit().setRate(rate);
    const auto start = std::chrono::steady_clock::now();
    {
        Session other{defaults};
        std::jthread second([&] { EXPECT_EQ(fs::file_size(other.download(at("/down")).file.path()), size); });
        EXPECT_EQ(fs::file_size(session.download(at("/down")).file.path()), size);
    }
    const auto downloads = test::secondsSince(start);
    const auto path = dottedFile(size);
    const auto sent = std::chrono::steady_clock::now();
    session.upload({.url = server.base() + "/up", .method = "PUT"}, path);
    const auto upload = test::secondsSince(sent);
    receiveLimit().setRate(0);
    sendLimit().setRate(0);
    EXPECT_EQ(server.requests("/up").at(0).bodySize, size);
    EXPECT_NEAR(downloads, 2.0 * size / rate, 0.2 * 2.0 * size / rate);
    EXPECT_NEAR(upload, 1.0 * size / rate, 0.2 * size / rate);
}

TEST(HttpURL, AcceptsURLReferencesAsTheyStand) {
    // clang-format off
    const std::pair<std::string, bool> cases[] = {
        {"http://127.0.0.1:8080/api/v1/nodes/n1?trashed=1", true}, {"https://h/a/../b?x=1&y=%2F#frag", true},
        {"/relative/path", true}, {"noscheme", true}, {"", true}, {"http://h/%zz", false}, {"http://h/%4", false},
        {"http://h/a#b#c", false}, {std::string("http://h/a\0b", 12), false}, {"http://h/a\r\nX-Evil: 1", false},
    };
    // clang-format on
    for (const auto& [text, valid] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(isValidURL(text), valid);
    }
}

}  // namespace
}  // namespace tw
