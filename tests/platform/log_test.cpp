// The log: captures, sink swaps, and whole lines from concurrent writers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/log.h"

namespace tw {
namespace {

void onThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::jthread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(body, t);
}

TEST(Log, CaptureKeepsEveryRecordUnchangedAndHandsBackToTheOuterOne) {
    Logger log("com.tidewright.fp", "fp");
    LogCapture outer;
    {
        LogCapture inner;
        log.error("operação falhou: bad_response");
        const std::vector<LogRecord> records = inner.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(std::tie(records[0].level, records[0].subsystem, records[0].category, records[0].message),
                  std::tuple(LogLevel::error, "com.tidewright.fp", "fp", "operação falhou: bad_response"));
    }
    log.info("to outer");
    ASSERT_EQ(outer.records().size(), 1u);
    EXPECT_EQ(outer.records()[0].message, "to outer");
}

// Four threads write while a fifth swaps sinks: every record reaches exactly one sink.
TEST(Log, SwappingSinksWhileWritingLosesNoRecord) {
    std::atomic<int> written{0};
    const LogSink counting = [&](const LogRecord&) { ++written; };
    const LogSink previous = setLogSink(counting);
    onThreads(5, [&](int t) {
        for (int i = 0; i < 5'000; ++i)
            t < 4 ? Logger("s", "c").info("line") : void(setLogSink(counting));
    });
    setLogSink(previous);
    EXPECT_EQ(written.load(), 20'000);
}

// Eight threads log at once through a sink on a pipe, and through the default sink with stderr on a pipe:
// every line arrives whole, none lost. Written a part at a time (as a stream like std::cerr writes each
// operand), lines of one thread land inside another's at once.
TEST(Log, LinesOfConcurrentWritersNeverRunIntoEachOther) {
    constexpr int threads = 8, lines = 500;
    const std::string filler(200, '.');
    struct Case {
        const char* name;
        std::string prefix, suffix;           // of every line, around the message's own text
        std::function<LogSink(int fd)> sink;  // empty: the default sink, with stderr on `fd`
    } cases[] = {
        {"descriptor sink", "info <s>[<c>] <", ">",
         [](int fd) {
             return descriptorSink(fd, [](std::string_view text) { return "<" + std::string(text) + ">"; });
         }},
        {"stderr", "info s[c] ", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        std::string received;
        std::thread reader([&] {
            char buffer[65536];
            for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
                received.append(buffer, static_cast<std::size_t>(n));
        });
        const int savedStderr = ::dup(STDERR_FILENO);
        const LogSink previous = c.sink ? setLogSink(c.sink(ends[1])) : setLogSink({});
        if (!c.sink) ::dup2(ends[1], STDERR_FILENO);
        onThreads(threads, [&](int t) {
            const Logger log("s", "c");
            for (int n = 0; n < lines; ++n)
                log.info("t" + std::to_string(t) + " n" + std::to_string(n) + " " + filler);
        });
        ::dup2(savedStderr, STDERR_FILENO);
        ::close(savedStderr);
        setLogSink(previous);
        ::close(ends[1]);
        reader.join();
        ::close(ends[0]);

        std::set<std::pair<int, int>> seen;
        std::istringstream in(received);
        for (std::string line; std::getline(in, line);) {
            int t = -1, n = -1, used = 0;
            const bool whole =
                line.starts_with(c.prefix) &&
                std::sscanf(line.c_str() + c.prefix.size(), "t%d n%d %n", &t, &n, &used) == 2 &&
                line.substr(c.prefix.size() + static_cast<std::size_t>(used)) == filler + c.suffix;
            ASSERT_TRUE(whole) << line;
            EXPECT_TRUE(seen.emplace(t, n).second) << line;
        }
        EXPECT_EQ(seen.size(), std::size_t{threads * lines});
    }
}

}  // namespace
}  // namespace tw
