#include "provider/extension.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>

#include "provider/item.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::Reply;
using test::TestServer;

host::Domain configuredDomain(const std::string& base) {
    return {
        .identifier = "d1", .displayName = "T", .userInfo = nlohmann::json{{"base", base}, {"token", "t"}}};
}

// Records every call of a completion handler; the tests check it is called exactly once.
struct Completion {
    std::atomic<int> calls{0};
    std::promise<std::pair<host::ItemPointer, std::optional<Error>>> answer;

    host::ItemCompletion handler() {
        return [this](host::ItemPointer item, std::optional<Error> error) {
            if (calls.fetch_add(1) == 0) answer.set_value({std::move(item), std::move(error)});
        };
    }
    std::pair<host::ItemPointer, std::optional<Error>> wait() {
        auto future = answer.get_future();
        EXPECT_EQ(future.wait_for(5s), std::future_status::ready);
        auto result = future.get();
        std::this_thread::sleep_for(20ms);  // room for a second, wrong call to show up
        EXPECT_EQ(calls.load(), 1);
        return result;
    }
};

TEST(ExtensionLifecycle, UnconfiguredDomainLogsAnswersContainersAtOnceAndNodesNotAuthenticated) {
    LogCapture log;
    auto extension =
        FileProviderExtension::make({.identifier = "d0", .displayName = "Meus arquivos", .userInfo = {}});
    EXPECT_FALSE(extension->isConfigured());
    ASSERT_GE(log.records().size(), 1u);
    EXPECT_EQ(log.records()[0].message, "init domain=d0 configured=false");
    EXPECT_EQ(log.records()[0].level, LogLevel::info);

    for (const auto& identifier : {host::rootContainer, host::trashContainer}) {
        int calls = 0;
        host::ItemPointer answered;
        auto progress =
            extension->item(identifier, {}, [&](host::ItemPointer item, std::optional<Error> error) {
                ++calls;
                answered = item;
                EXPECT_FALSE(error);
            });
        EXPECT_EQ(calls, 1);  // before returning
        ASSERT_TRUE(answered);
        EXPECT_EQ(answered->itemIdentifier(), identifier);
        EXPECT_EQ(progress->totalUnitCount(), 0);
    }

    Completion completion;
    extension->item("n1", {}, completion.handler());
    auto [item, error] = completion.wait();
    EXPECT_FALSE(item);
    ASSERT_TRUE(error);
    EXPECT_EQ(std::pair(error->domain(), error->code()),
              std::pair(std::string(fileProviderErrorDomain), -1000L));
}

// An environment variable set for the life of the scope, then unset.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name); }
    const char* name;
};

TEST(ExtensionLifecycle, WithoutTemporaryOrCacheFolderWorksWithoutManagerAndSaysSoOnce) {
    TestServer server;
    server.script("/api/v1/nodes/n1?trashed=1",
                  {{200, {}, R"({"id":"n1","kind":"file","name":"a.txt","version":1})"}});
    // A cache folder that cannot be made, even by root: its parent is a file.
    const auto file =
        std::filesystem::temp_directory_path() / ("tw-not-a-folder-" + std::to_string(::getpid()));
    std::ofstream(file).put('x');
    const ScopedEnv cache("XDG_CACHE_HOME", (file / "cache").string());
    const ScopedEnv tmp("TMPDIR", "/nonexistent");
    LogCapture log;

    std::shared_ptr<FileProviderExtension> extension;
    ASSERT_NO_THROW(extension = FileProviderExtension::make(configuredDomain(server.base())));
    Completion completion;
    extension->item("n1", {}, completion.handler());
    auto [item, error] = completion.wait();
    ASSERT_TRUE(item) << (error ? error->what() : "");
    EXPECT_EQ(item->filename(), "a.txt");

    const auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, LogLevel::error);
    EXPECT_EQ(records[0].message.rfind("no manager domain=d1: ", 0), 0u) << records[0].message;
    EXPECT_EQ(records[1].message, "init domain=d1 configured=true");
    std::filesystem::remove(file);
}

TEST(ExtensionLookup, FindsTrashedNodesReportsFailuresAndCancellationOnceAndLogsFailuresUnmapped) {
    TestServer server;
    server.script(
        "/api/v1/nodes/n1?trashed=1",
        {{200, {}, R"({"id":"n1","parent":"p1","kind":"file","name":"a.pdf","version":3,"deleted":true})"}});
    server.script("/api/v1/nodes/gone?trashed=1", {{404, {}, R"({"error":"not_found"})"}});
    server.script("/api/v1/nodes/slow?trashed=1", {{200, {}, "{}", std::nullopt, 10s}});
    auto extension = FileProviderExtension::make(configuredDomain(server.base()));
    EXPECT_EQ(extension->api().get(), extension->api().get());  // one client for every call
    LogCapture log;

    Completion found;
    auto progress = extension->item("n1", {}, found.handler());
    EXPECT_EQ(progress->totalUnitCount(), 1);
    const auto [item, noError] = found.wait();
    ASSERT_TRUE(item) << (noError ? noError->what() : "");
    EXPECT_EQ(item->parentItemIdentifier(), host::trashContainer);
    EXPECT_EQ(progress->completedUnitCount(), 0);

    Completion failed;
    extension->item("gone", {}, failed.handler());
    const auto notFound = failed.wait().second;
    ASSERT_TRUE(notFound);
    EXPECT_EQ(notFound->code(), -1005);  // noSuchItem

    Completion throwing;  // a completion that throws is not called again, and nothing is logged for it
    extension->item("n1", {},
                    [handler = throwing.handler()](host::ItemPointer item, std::optional<Error> error) {
                        handler(std::move(item), std::move(error));
                        throw std::runtime_error("the host's completion failed");
                    });
    EXPECT_TRUE(throwing.wait().first);

    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, LogLevel::error);
    EXPECT_EQ(records[0].message, "operação falhou: service error 404 not_found");

    Completion cancelled;
    auto slow = extension->item("slow", {}, cancelled.handler());
    std::this_thread::sleep_for(100ms);
    slow->cancel();
    const auto userCancelled = cancelled.wait().second;
    ASSERT_TRUE(userCancelled);
    EXPECT_EQ(std::pair(userCancelled->domain(), userCancelled->code()),
              std::pair(std::string(cocoaErrorDomain), 3072L));
    EXPECT_EQ(server.requests("/api/v1/nodes/slow?trashed=1").size(), 1u);
    extension->invalidate();
    EXPECT_TRUE(extension->isConfigured());
}

}  // namespace
}  // namespace tw
