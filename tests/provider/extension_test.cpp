#include "provider/extension.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/task/executor.h"
#include "provider/item.h"
#include "provider/remote_access.h"
#include "support/once.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::shared_ptr<FileProviderExtension> extensionAt(const std::string& base) {
    return FileProviderExtension::make(
        {.identifier = "d1", .displayName = "T", .userInfo = nlohmann::json{{"base", base}, {"token", "t"}}});
}

struct Answer {
    host::ItemPointer item;
    std::optional<Error> error;
    std::shared_ptr<Progress> progress;
    bool atOnce = false;  // answered before the call returned
};

// Looks `id` up and waits for the completion, which must be called exactly once, even when it throws (as a
// faulty host's might).
Answer lookup(FileProviderExtension& extension, const std::string& id, bool throwing = false) {
    auto once = std::make_shared<test::Once<std::pair<host::ItemPointer, std::optional<Error>>>>();
    Answer answer;
    answer.progress = extension.item(id, {}, [=](host::ItemPointer item, std::optional<Error> error) {
        once->set({std::move(item), std::move(error)});
        if (throwing) throw std::runtime_error("the host's completion failed");
    });
    answer.atOnce = once->calls() == 1;
    std::tie(answer.item, answer.error) = once->wait();
    return answer;
}

std::pair<std::string, long> codeOf(const std::optional<Error>& error) {
    return error ? std::pair(error->domain(), static_cast<long>(error->code())) : std::pair("", 0L);
}

struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name); }
    const char* name;
};

// Also: an extension without a temporary or cache folder works without its manager, and says so once.
TEST(ExtensionLookup, AnswersContainersAtOnceFindsTrashedNodesReportsFailuresOnceAndLogsThemUnmapped) {
    test::TestServer server;
    server.script(
        "/api/v1/nodes/n1?trashed=1",
        {{200, {}, R"({"id":"n1","parent":"p1","kind":"file","name":"a.pdf","version":3,"deleted":true})"}});
    server.script("/api/v1/nodes/gone?trashed=1", {{404, {}, R"({"error":"not_found"})"}});
    // A cache folder that cannot be made, even by root: its parent is a file.
    const std::filesystem::path file = "/tmp/tw-not-a-folder-" + std::to_string(::getpid());
    std::ofstream(file).put('x');
    const ScopedEnv cache("XDG_CACHE_HOME", (file / "cache").string());
    const ScopedEnv tmp("TMPDIR", "/nonexistent");
    LogCapture log;
    std::shared_ptr<FileProviderExtension> extension;
    ASSERT_NO_THROW(extension = extensionAt(server.base()));
    std::filesystem::remove(file);
    EXPECT_EQ(remoteOf(*extension).get(), remoteOf(*extension).get());  // one client for every call

    for (const auto& identifier : {host::rootContainer, host::trashContainer}) {
        const Answer container = lookup(*extension, identifier);
        ASSERT_TRUE(container.atOnce && container.item && !container.error) << identifier;
        EXPECT_EQ(container.item->itemIdentifier(), identifier);
        EXPECT_EQ(container.progress->totalUnitCount(), 0);
    }
    const Answer found = lookup(*extension, "n1");
    ASSERT_TRUE(found.item) << (found.error ? found.error->what() : "");
    EXPECT_EQ(found.progress->totalUnitCount(), 1);
    EXPECT_EQ(codeOf(lookup(*extension, "gone").error).second, -1005);  // noSuchItem
    EXPECT_TRUE(lookup(*extension, "n1", /*throwing=*/true).item);      // not called again, nor logged
    const auto records = log.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[0].message.starts_with("no manager domain=d1: ")) << records[0].message;
    EXPECT_EQ(records[1].message, "init domain=d1 configured=true");
    EXPECT_EQ(records[2].message, "operação falhou: service error 404 not_found");
    EXPECT_EQ((std::vector{records[0].level, records[1].level, records[2].level}),
              (std::vector{LogLevel::error, LogLevel::info, LogLevel::error}));
    extension->invalidate();
    EXPECT_TRUE(extension->isConfigured());
}

int threadsInProcess() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
    return -1;
}

// Cancelled, a call ends once and promptly whether its task is queued or its request on the wire.
TEST(ExtensionConcurrency, HundredsOfCallsStayBoundedAndEndOnceWhenCancelled) {
    constexpr int calls = 300;
    test::TestServer server;
    // 100 ms a reply over the session's 16 connections: uncancelled, the calls would take about 2 s.
    server.script(
        "/api/v1/nodes/n1?trashed=1",
        {{200, {}, R"({"id":"n1","kind":"file","name":"a.pdf","version":3})", std::nullopt, 100ms}});
    LogCapture log;  // keeps the cancelled calls' error lines off the test's output
    auto extension = extensionAt(server.base());
    std::mutex mutex;  // guards what follows, written by the completions
    std::vector<int> completions(calls);
    int ended = 0, items = 0, cancelled = 0, peakThreads = 0, peakWorkers = 0;
    std::vector<std::shared_ptr<Progress>> progresses;
    for (int i = 0; i < calls; ++i)
        progresses.push_back(
            extension->item("n1", {}, [&, i](host::ItemPointer item, std::optional<Error> error) {
                std::scoped_lock lock(mutex);
                peakThreads = std::max(peakThreads, threadsInProcess());
                peakWorkers = std::max(peakWorkers, Executor::shared().workers());
                if (completions[i]++ > 0) return;
                ++ended;
                items += item != nullptr;
                cancelled += codeOf(error) == std::pair(std::string(cocoaErrorDomain), 3072L);
            }));
    // The first replies arrive, then every call is cancelled: some still queued, some on the wire.
    const auto waitFor = [&](int count) {
        for (const auto start = Clock::now(); Clock::now() < start + 5s; std::this_thread::sleep_for(1ms))
            if (std::scoped_lock lock(mutex); ended >= count) return;
    };
    waitFor(10);
    const auto cancelledAt = Clock::now();
    for (const auto& progress : progresses)
        progress->cancel();
    waitFor(calls);
    EXPECT_LT(Clock::now() - cancelledAt, 1s);
    std::this_thread::sleep_for(20ms);  // room for a second, wrong call to show up

    std::scoped_lock lock(mutex);
    EXPECT_EQ(std::count(completions.begin(), completions.end(), 1), calls);
    EXPECT_EQ(items + cancelled, calls);
    EXPECT_GE(items, 10);
    EXPECT_GE(cancelled, calls / 2);
    EXPECT_LE(peakWorkers, Executor::maxWorkers());
    // Beside the workers: main, the session's I/O, the server's accept and connection threads, a few ending.
    EXPECT_LE(peakThreads, Executor::maxWorkers() + server.peakOpenConnections() + 8);
}

}  // namespace
}  // namespace tw
