#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/task/executor.h"
#include "provider/extension.h"
#include "support/test_server.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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
    server.script("/api/v1/nodes/n1?trashed=1",
                  {{.status = 200,
                    .body = R"({"id":"n1","parent":"p1","kind":"file","name":"a.pdf","version":3})",
                    .delay = 100ms}});
    LogCapture log;  // keeps the cancelled calls' error lines off the test's output
    auto extension =
        FileProviderExtension::make({.identifier = "d1",
                                     .displayName = "T",
                                     .userInfo = nlohmann::json{{"base", server.base()}, {"token", "t"}}});

    struct Outcome {
        std::atomic<int> calls{0};
        bool item = false;  // written by the first call only, read once every call has ended
        std::optional<Error> error;
    };
    std::array<Outcome, calls> outcomes;
    std::atomic<int> ended{0};
    std::mutex peakMutex;
    int peakThreads = 0, peakWorkers = 0;
    const auto sample = [&] {
        std::scoped_lock lock(peakMutex);
        peakThreads = std::max(peakThreads, threadsInProcess());
        peakWorkers = std::max(peakWorkers, Executor::shared().workers());
    };

    std::vector<std::shared_ptr<Progress>> progresses;
    for (Outcome& outcome : outcomes)
        progresses.push_back(extension->item(
            "n1", {}, [&, slot = &outcome](host::ItemPointer item, std::optional<Error> error) {
                sample();
                if (slot->calls.fetch_add(1) > 0) return;
                slot->item = item != nullptr;
                slot->error = std::move(error);
                ended.fetch_add(1);
            }));
    sample();
    // The first replies arrive, then every call is cancelled: some still queued, some on the wire.
    const auto firedAt = Clock::now();
    while (ended < 10 && Clock::now() < firedAt + 5s)
        std::this_thread::sleep_for(1ms);
    const auto cancelledAt = Clock::now();
    for (const auto& progress : progresses)
        progress->cancel();
    while (ended < calls && Clock::now() < cancelledAt + 5s)
        std::this_thread::sleep_for(1ms);
    EXPECT_LT(Clock::now() - cancelledAt, 1s);
    std::this_thread::sleep_for(20ms);  // room for a second, wrong call to show up

    int items = 0, cancelled = 0;
    for (int i = 0; i < calls; ++i) {
        const Outcome& outcome = outcomes[i];
        EXPECT_EQ(outcome.calls.load(), 1) << "call " << i;
        items += outcome.item;
        cancelled += outcome.error && outcome.error->domain() == cocoaErrorDomain &&
                     outcome.error->code() == userCancelledErrorCode;
    }
    EXPECT_EQ(items + cancelled, calls);
    EXPECT_GE(items, 10);
    EXPECT_GE(cancelled, calls / 2);

    EXPECT_LE(peakWorkers, Executor::maxWorkers());
    // Beside the workers: main, the session's I/O, the server's accept and connection threads, a few ending.
    EXPECT_LE(peakThreads, Executor::maxWorkers() + server.peakOpenConnections() + 8);
}

}  // namespace
}  // namespace tw
