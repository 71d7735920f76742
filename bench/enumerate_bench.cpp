// Whole-process enumeration against a running tidewright-server (bench/enumeration.sh starts one):
//
//   enumerate_bench list    --base URL [--folder NAME] [--runs N]   lists a top-level folder page by page
//   enumerate_bench changes --base URL [--runs N]                   replays the change feed from anchor "0"
//
// The token comes from the environment (TW_BENCH_TOKEN), never the command line. Everything goes through
// the extension's enumerators, with observers that count items and keep nothing, waiting for each call's
// finishing call as a host does. Lines starting with "RESULT" are the figures bench/run collects.
//
// `list` also records the peak resident size (VmHWM) after a tenth, half and all of the folder (and, as a
// control, after a listing whose observer keeps every item), and then measures the client's share of the
// listing: the same pages, fetched again as bytes, are replayed through
// the extension's FolderEnumerator over a substitute transport (no network), and that time is set against
// the end-to-end time.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "enumeration/folder_enumerator.h"
#include "platform/log.h"
#include "provider/extension.h"
#include "provider/remote_access.h"
#include "support/page_client.h"

namespace tw::bench {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Peak resident set size of this process so far, in KiB (0 when /proc cannot tell).
long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

std::shared_ptr<FileProviderExtension> extensionFor(const std::string& base) {
    const char* token = std::getenv("TW_BENCH_TOKEN");
    nlohmann::json userInfo = {{"base", base}, {"token", token ? token : ""}};
    auto extension = FileProviderExtension::make({"bench", "Bench", userInfo});
    if (!extension->isConfigured()) throw std::runtime_error("unusable base address or token");
    return extension;
}

// The id of the top-level folder called `name`.
std::string folderNamed(const Remote& remote, const std::string& name) {
    std::optional<std::string> cursor;
    do {
        Listing listing = remote.list(std::nullopt, cursor);
        for (const Node& node : listing.items)
            if (node.name == name && node.isFolder()) return node.id;
        cursor = listing.nextCursor;
    } while (cursor);
    throw std::runtime_error("no top-level folder " + name);
}

// Keeps every item it is given, in a list the caller owns: the control of the memory measurement.
class KeepingObserver : public host::EnumerationObserver {
public:
    explicit KeepingObserver(std::vector<host::ItemPointer>& kept) : kept_(kept) {}
    void didEnumerateItems(std::vector<host::ItemPointer> items) override {
        kept_.insert(kept_.end(), std::make_move_iterator(items.begin()),
                     std::make_move_iterator(items.end()));
    }
    void finishEnumeratingUpToPage(std::optional<host::Page> nextPage) override {
        finished_.set_value(std::move(nextPage));
    }
    void finishEnumeratingWithError(Error error) override {
        finished_.set_exception(std::make_exception_ptr(std::move(error)));
    }
    std::optional<host::Page> wait() { return finished_.get_future().get(); }

private:
    std::vector<host::ItemPointer>& kept_;  // written from the task's thread, read after wait()
    std::promise<std::optional<host::Page>> finished_;
};

struct Listed {
    std::int64_t items = 0;
    std::int64_t pages = 0;
    double seconds = 0;
};

// Every page of the folder through its enumerator; after each page, `afterPage` sees the items so far.
template <typename AfterPage>
Listed listThrough(host::Enumerator& enumerator, AfterPage afterPage) {
    Listed listed;
    const auto start = Clock::now();
    std::optional<host::Page> page = host::initialPageSortedByName;
    while (page) {
        auto observer = std::make_shared<CountingObserver>();
        enumerator.enumerateItems(observer, *page);
        page = observer->wait();
        listed.items += observer->count();
        ++listed.pages;
        afterPage(listed.items);
    }
    listed.seconds = secondsSince(start);
    return listed;
}

// The folder's pages as the service sends them, fetched with the same requests Remote::list makes.
std::vector<std::string> pageBytes(const Remote& remote, const std::string& folder) {
    std::vector<std::string> pages;
    std::optional<std::string> cursor;
    do {
        std::string path = "/nodes?parent=" + folder + "&limit=500";
        if (cursor) path += "&cursor=" + *cursor;
        pages.push_back(remote.send(remote.request("GET", path), true));
        cursor = decodeListing(pages.back()).nextCursor;
    } while (cursor);
    return pages;
}

// Seconds of CPU time of the whole process, every thread included.
double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

struct Replayed {
    double seconds = 0;     // elapsed: what the listing waits for
    double cpuSeconds = 0;  // the process's CPU time: the same without the moments other work held the cores
};

// The client's time for `pages` without the network, through the folder's enumerator: each page as a
// task (enumerateItems, as a host asks) or on the calling thread (enumeratePage).
Replayed replay(const std::vector<std::string>& pages, const std::string& folder, bool asTasks) {
    const auto extension = substituteExtension(std::make_shared<PageTransport>(pages));
    const auto enumerator =
        std::dynamic_pointer_cast<FolderEnumerator>(extension->enumerator(folder, host::Request{}));
    const auto start = Clock::now();
    const double cpuStart = processCpuSeconds();
    std::optional<host::Page> page = host::initialPageSortedByName;
    while (page) {
        auto observer = std::make_shared<CountingObserver>();
        if (asTasks)
            enumerator->enumerateItems(observer, *page);
        else
            enumerator->enumeratePage(observer, *page);
        page = observer->wait();
    }
    return {secondsSince(start), processCpuSeconds() - cpuStart};
}

int listCommand(const std::string& base, const std::string& folderName, int runs) {
    auto extension = extensionFor(base);
    const std::string folder = folderNamed(*remoteOf(*extension), folderName);
    auto enumerator = extension->enumerator(folder, host::Request{});

    // First run: memory checkpoints. The peak before listing is taken after the folder lookup above, so
    // the client's one-time allocations (session, parser) are already in it.
    const long before = peakResidentKiB();
    // The folder's size is only known once it is listed: the checkpoints are set for the size the service
    // was seeded with, passed in TW_BENCH_CHILDREN (100,000 by default).
    const char* children = std::getenv("TW_BENCH_CHILDREN");
    const std::int64_t expected = children ? std::atoll(children) : 100'000;
    const std::vector<std::int64_t> marks = {expected / 10, expected / 2, expected};
    std::vector<std::pair<std::int64_t, long>> peaks;
    std::vector<Listed> listings;
    std::size_t nextMark = 0;
    listings.push_back(listThrough(*enumerator, [&](std::int64_t items) {
        while (nextMark < marks.size() && items >= marks[nextMark]) {
            peaks.emplace_back(marks[nextMark], peakResidentKiB());
            ++nextMark;
        }
    }));
    for (int run = 1; run < runs; ++run)
        listings.push_back(listThrough(*enumerator, [](std::int64_t) {}));

    std::vector<double> times;
    for (const Listed& listed : listings) {
        std::printf("listed %lld items in %lld pages: %.2f s, %.0f items/s\n",
                    static_cast<long long>(listed.items), static_cast<long long>(listed.pages),
                    listed.seconds, listed.items / listed.seconds);
        times.push_back(listed.seconds);
    }
    const Listed& first = listings.front();
    const double endToEnd = median(times);
    std::printf("RESULT list-items %lld\nRESULT list-seconds %.2f\nRESULT list-items-per-s %.0f\n",
                static_cast<long long>(first.items), endToEnd, first.items / endToEnd);

    std::printf("peak resident size (VmHWM): before listing %ld KiB", before);
    for (const auto& [items, kib] : peaks)
        std::printf(", after %lld items %ld KiB", static_cast<long long>(items), kib);
    std::printf("\n");
    if (peaks.size() == marks.size()) {
        // Flat: less than 1 MiB more after all of the folder than after a tenth of it. Keeping the 90,000
        // items in between would take tens of MiB (the control below shows how much).
        const long growth = peaks.back().second - peaks.front().second;
        std::printf(
            "RESULT list-peak-kib %ld %ld %ld\nRESULT list-peak-growth-kib %ld (goal flat, < 1024: %s)\n",
            peaks[0].second, peaks[1].second, peaks[2].second, growth, growth < 1024 ? "met" : "NOT met");
    } else {
        std::printf("RESULT list-peak-kib incomplete: the folder has fewer than %lld children\n",
                    static_cast<long long>(expected));
    }
    // The control: a host that keeps every item does raise the peak, so the measurement would see growth.
    {
        std::vector<host::ItemPointer> kept;
        std::optional<host::Page> page = host::initialPageSortedByName;
        while (page) {
            auto observer = std::make_shared<KeepingObserver>(kept);
            enumerator->enumerateItems(observer, *page);
            page = observer->wait();
        }
        std::printf("control: an observer keeping all %zu items raises the peak to %ld KiB\n", kept.size(),
                    peakResidentKiB());
    }

    // The client's share: the same pages replayed without the network, three times each way.
    const std::vector<std::string> pages = pageBytes(*remoteOf(*extension), folder);
    std::vector<double> asTasks, asTasksCpu, onThread, onThreadCpu;
    for (int run = 0; run < 3; ++run) {
        const Replayed tasks = replay(pages, folder, true);
        const Replayed thread = replay(pages, folder, false);
        asTasks.push_back(tasks.seconds);
        asTasksCpu.push_back(tasks.cpuSeconds);
        onThread.push_back(thread.seconds);
        onThreadCpu.push_back(thread.cpuSeconds);
    }
    const double perPage = 1e6 / static_cast<double>(pages.size());
    const double client = median(asTasks), clientOnThread = median(onThread);
    std::printf(
        "client side of the same %zu pages, without the network, us a page (elapsed / CPU): as tasks %.0f / "
        "%.0f, on one thread %.0f / %.0f\n",
        pages.size(), perPage * client, perPage * median(asTasksCpu), perPage * clientOnThread,
        perPage * median(onThreadCpu));
    const double share = client / endToEnd;
    std::printf(
        "RESULT list-client-share %.3f (goal < 0.10: %s)\nRESULT list-client-share-cpu %.3f\n"
        "RESULT list-client-share-on-thread %.3f\n",
        share, share < 0.10 ? "met" : "NOT met", median(asTasksCpu) / endToEnd, clientOnThread / endToEnd);
    return 0;
}

int changesCommand(const std::string& base, int runs) {
    auto extension = extensionFor(base);
    auto enumerator = extension->enumerator(host::workingSet, host::Request{});
    std::vector<double> times;
    std::int64_t items = 0;
    for (int run = 0; run < runs; ++run) {
        items = 0;
        std::int64_t batches = 0;
        host::SyncAnchor anchor = "0";
        const auto start = Clock::now();
        for (bool more = true; more;) {
            auto observer = std::make_shared<CountingChangeObserver>();
            enumerator->enumerateChanges(observer, anchor);
            auto batch = observer->wait();
            items += observer->count();
            ++batches;
            anchor = std::move(batch.anchor);
            more = batch.moreComing;
        }
        times.push_back(secondsSince(start));
        std::printf("replayed %lld changes in %lld batches up to anchor %s: %.2f s, %.0f items/s\n",
                    static_cast<long long>(items), static_cast<long long>(batches), anchor.c_str(),
                    times.back(), items / times.back());
    }
    const double seconds = median(times);
    std::printf("RESULT changes-items %lld\nRESULT changes-seconds %.2f\nRESULT changes-items-per-s %.0f\n",
                static_cast<long long>(items), seconds, items / seconds);
    return 0;
}

}  // namespace
}  // namespace tw::bench

int main(int argc, char** argv) {
    CLI::App app("Enumeration through the extension against a running tidewright-server", "enumerate_bench");
    std::string base, folder = "Bulk";
    int runs = 3;
    app.require_subcommand(1);
    auto* list = app.add_subcommand("list", "List a top-level folder page by page");
    list->add_option("--base", base, "the server's base address")->required();
    list->add_option("--folder", folder, "the folder's name")->capture_default_str();
    list->add_option("--runs", runs, "listings timed")->check(CLI::Range(1, 20))->capture_default_str();
    auto* changes = app.add_subcommand("changes", "Replay the change feed from anchor 0");
    changes->add_option("--base", base, "the server's base address")->required();
    changes->add_option("--runs", runs, "replays timed")->check(CLI::Range(1, 20))->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    tw::setLogInfoEnabled(false);  // one "changes since=..." line a batch would flood the output
    try {
        if (list->parsed()) return tw::bench::listCommand(base, folder, runs);
        return tw::bench::changesCommand(base, runs);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "enumerate_bench: %s\n", error.what());
        return 1;
    }
}
