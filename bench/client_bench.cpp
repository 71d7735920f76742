// The client-side cost of one 500-node folder page, without the network: the decode, the items, the
// observer's calls, and the task each enumerateItems call starts. Each step is measured on its own so that
// the printed breakdown shows where a page's time goes; two more runs show what a reused thread would save,
// and the last runs the same FolderEnumerator against a loopback server answering the same page, for scale.
// Every page goes through the extension's own FolderEnumerator; only its transport is replaced.
//
// CPU times are the whole process's (MeasureProcessCPUTime), so that work on the task's thread counts and
// work of other processes on the machine does not; real times are the latency a host waits.

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/resource.h>

#include <benchmark/benchmark.h>
#include <httplib.h>

#include "enumeration/folder_enumerator.h"
#include "enumeration/items.h"
#include "platform/log.h"
#include "provider/extension.h"
#include "provider/remote_access.h"
#include "records/records.h"
#include "support/listing_page.h"
#include "support/page_client.h"
#include "support/ratio_reporter.h"

namespace tw::bench {
namespace {

constexpr int pageNodes = 500;
const std::optional<std::string> parent = "n42";
const host::Page secondPage = "1499";  // any cursor: the transport answers every request with the page

const std::string& page() {
    static const std::string bytes = listingPage({.nodes = pageNodes});
    return bytes;
}

std::shared_ptr<FileProviderExtension> extension() {
    static const auto shared = substituteExtension(std::make_shared<PageTransport>(std::vector{page()}));
    return shared;
}

// The folder's enumerator, as the extension hands it to a host.
std::shared_ptr<FolderEnumerator> folder() {
    return std::dynamic_pointer_cast<FolderEnumerator>(extension()->enumerator(*parent, host::Request{}));
}

long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Items per second, and the process's minor page faults per page since `faultsBefore`: memory that a
// page's work touches for the first time (fresh from the kernel, zeroed) shows up there.
void perPage(benchmark::State& state, long faultsBefore) {
    state.SetItemsProcessed(state.iterations() * pageNodes);
    state.counters["faults"] = benchmark::Counter(static_cast<double>(minorFaults() - faultsBefore),
                                                  benchmark::Counter::kAvgIterations);
}

// One long-lived thread that runs the jobs handed to it, one at a time: what a pool of reused threads
// would give the enumerators instead of a new thread for every call.
class Worker {
public:
    Worker() : thread_([this] { loop(); }) {}
    ~Worker() {
        {
            std::scoped_lock lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void post(std::function<void()> job) {
        {
            std::scoped_lock lock(mutex_);
            job_ = std::move(job);
        }
        wake_.notify_one();
    }

private:
    void loop() {
        for (;;) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || job_; });
            if (stopping_) return;
            auto job = std::exchange(job_, nullptr);
            lock.unlock();
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> job_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the members it uses exist
};

void BM_Decode(benchmark::State& state) {
    const long faults = minorFaults();
    for (auto _ : state)
        benchmark::DoNotOptimize(decodeListing(page()));
    perPage(state, faults);
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// The request, the session's dispatch to the transport, the reply check and the decode.
void BM_RemoteList(benchmark::State& state) {
    const auto client = remoteOf(*extension());
    const long faults = minorFaults();
    for (auto _ : state)
        benchmark::DoNotOptimize(client->list(parent, std::string(secondPage)));
    perPage(state, faults);
}
BENCHMARK(BM_RemoteList)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// Items from nodes already decoded: each node moves into its Item (the copy the loop makes for the next
// round is not timed).
void BM_ItemsFor(benchmark::State& state) {
    const std::vector<Node> nodes = decodeListing(page()).items;
    const long faults = minorFaults();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<Node> fresh = nodes;
        state.ResumeTiming();
        benchmark::DoNotOptimize(itemsFor(std::move(fresh)));
    }
    perPage(state, faults);
}
BENCHMARK(BM_ItemsFor)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// A whole page's work on the calling thread (FolderEnumerator::enumeratePage): list, items, the observer's
// two calls (the items are released when didEnumerateItems returns).
void BM_PageOnCallingThread(benchmark::State& state) {
    const auto enumerator = folder();
    const long faults = minorFaults();
    for (auto _ : state) {
        auto observer = std::make_shared<CountingObserver>();
        enumerator->enumeratePage(observer, secondPage);
        if (observer->count() != pageNodes) state.SkipWithError("wrong item count");
    }
    perPage(state, faults);
}
BENCHMARK(BM_PageOnCallingThread)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// FolderEnumerator::enumerateItems: the same work on a task of its own, waited for through the observer's
// finishing call, as a host waits.
void BM_PageAsTask(benchmark::State& state) {
    const auto enumerator = folder();
    const long faults = minorFaults();
    for (auto _ : state) {
        auto observer = std::make_shared<CountingObserver>();
        enumerator->enumerateItems(observer, secondPage);
        observer->wait();
        if (observer->count() != pageNodes) state.SkipWithError("wrong item count");
    }
    perPage(state, faults);
}
BENCHMARK(BM_PageAsTask)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()->UseRealTime();

// Starting and joining a task that does nothing.
void BM_TaskAlone(benchmark::State& state) {
    for (auto _ : state)
        Task::start([] {}).wait();
}
BENCHMARK(BM_TaskAlone)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()->UseRealTime();

// A task that only decodes the page: the decoder's parser is per thread, so on a new thread it starts
// without buffers and allocates (and faults in) them for this one page.
void BM_DecodeOnNewTask(benchmark::State& state) {
    const long faults = minorFaults();
    for (auto _ : state)
        Task::start([] { benchmark::DoNotOptimize(decodeListing(page())); }).wait();
    perPage(state, faults);
}
BENCHMARK(BM_DecodeOnNewTask)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()->UseRealTime();

// The page's work handed to one long-lived thread instead of a task.
void BM_PageOnReusedThread(benchmark::State& state) {
    const auto enumerator = folder();
    Worker worker;
    const long faults = minorFaults();
    for (auto _ : state) {
        auto observer = std::make_shared<CountingObserver>();
        worker.post([&enumerator, observer] { enumerator->enumeratePage(observer, secondPage); });
        observer->wait();
        if (observer->count() != pageNodes) state.SkipWithError("wrong item count");
    }
    perPage(state, faults);
}
BENCHMARK(BM_PageOnReusedThread)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()->UseRealTime();

// The real extension and FolderEnumerator, with a loopback server that answers every listing with the
// page: the network stack's share on top of the client's, without a store behind the server. (Its CPU
// time includes the server's, which runs in this process.)
void BM_FolderEnumeratorOverLoopback(benchmark::State& state) {
    httplib::Server server;
    server.Get("/api/v1/nodes", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(page(), "application/json");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    // Bound already: connections wait in the backlog until the loop accepts them.
    std::thread serving([&server] { server.listen_after_bind(); });

    nlohmann::json userInfo = {{"base", "http://127.0.0.1:" + std::to_string(port)},
                               {"token", "bench-token"}};
    auto extension = FileProviderExtension::make({"bench", "Bench", userInfo});
    auto enumerator = extension->enumerator(*parent, host::Request{});
    const long faults = minorFaults();
    for (auto _ : state) {
        auto observer = std::make_shared<CountingObserver>();
        enumerator->enumerateItems(observer, secondPage);
        try {
            observer->wait();
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
        if (observer->count() != pageNodes) state.SkipWithError("wrong item count");
    }
    perPage(state, faults);
    server.stop();
    serving.join();
}
BENCHMARK(BM_FolderEnumeratorOverLoopback)
    ->Unit(benchmark::kMicrosecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
}  // namespace tw::bench

int main(int argc, char** argv) {
    using namespace tw::bench;
    tw::setLogInfoEnabled(false);  // the extension's "init" line
    std::printf("page: %d nodes, %zu bytes\n", pageNodes, page().size());
    RatioReporter reporter;
    if (const int status = runBenchmarks(argc, argv, reporter)) return status;

    const char* names[] = {"BM_Decode",    "BM_RemoteList",      "BM_PageOnCallingThread", "BM_PageAsTask",
                           "BM_TaskAlone", "BM_DecodeOnNewTask", "BM_PageOnReusedThread"};
    for (const char* name : names)
        if (!reporter.times(name)) return 0;  // filtered out: no breakdown
    auto cpu = [&](const char* name) { return 1e6 * reporter.times(name)->cpu; };
    auto real = [&](const char* name) { return 1e6 * reporter.times(name)->real; };
    auto faults = [&](const char* name) { return reporter.times(name)->counters["faults"]; };
    const double decode = cpu("BM_Decode"), list = cpu("BM_RemoteList"), body = cpu("BM_PageOnCallingThread");
    const double asTask = cpu("BM_PageAsTask");
    std::printf(
        "\nclient cost of one %d-node page, CPU time: %.0f us as the enumerator runs it (a new task), "
        "%.0f us of it on the calling thread\n",
        pageNodes, asTask, body);
    auto line = [&](const char* what, double us) {
        std::printf("  %-46s %7.0f us  %5.1f%%\n", what, us, 100 * us / asTask);
    };
    line("decode (warm parser)", decode);
    line("request, session dispatch, reply check", list - decode);
    line("items and observer calls", body - list);
    line("the new task (thread, warm-up of its memory)", asTask - body);
    std::printf(
        "    an empty task: %.0f us; a decode on a new thread: %.0f us more than on a warm one; "
        "minor page faults a page: %.0f as a task, %.0f on the calling thread, %.0f on a reused one\n",
        cpu("BM_TaskAlone"), cpu("BM_DecodeOnNewTask") - cpu("BM_TaskAlone") - decode,
        faults("BM_PageAsTask"), faults("BM_PageOnCallingThread"), faults("BM_PageOnReusedThread"));
    std::printf(
        "the same page on one reused thread: %.0f us CPU, %.0f us real; as a task: %.0f us real (an empty "
        "task: %.0f us real)\n",
        cpu("BM_PageOnReusedThread"), real("BM_PageOnReusedThread"), real("BM_PageAsTask"),
        real("BM_TaskAlone"));
    if (auto loopback = reporter.times("BM_FolderEnumeratorOverLoopback"))
        std::printf("the real FolderEnumerator over loopback, same page: %.0f us real\n",
                    1e6 * loopback->real);
    std::printf(
        "RESULT page-client-us %.0f\nRESULT page-client-on-thread-us %.0f\nRESULT page-reused-thread-us "
        "%.0f\n",
        asTask, body, cpu("BM_PageOnReusedThread"));
    return 0;
}
