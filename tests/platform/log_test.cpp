#include "platform/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace tw {
namespace {

TEST(Log, CaptureKeepsEveryRecordUnchangedAndHandsBackToTheOuterOne) {
    Logger log("com.tidewright.fp", "fp");
    LogCapture outer;
    {
        LogCapture inner;
        log.info("init domain=d1 configured=1");
        log.error("operação falhou: bad_response");
        std::vector<std::string> seen;
        for (const LogRecord& r : inner.records())
            seen.push_back(std::string(r.level == LogLevel::info ? "info " : "error ") + r.subsystem + "[" +
                           r.category + "] " + r.message);
        EXPECT_EQ(seen,
                  (std::vector<std::string>{"info com.tidewright.fp[fp] init domain=d1 configured=1",
                                            "error com.tidewright.fp[fp] operação falhou: bad_response"}));
    }
    log.info("to outer");
    ASSERT_EQ(outer.records().size(), 1u);
    EXPECT_EQ(outer.records()[0].message, "to outer");
}

TEST(Log, DefaultSinkWritesOneLinePerRecordToStderr) {
    Logger log("com.tidewright.fp", "fp");
    testing::internal::CaptureStderr();
    log.info("changes since=4 n=2 more=0");
    setLogInfoEnabled(false);
    log.info("hidden");
    log.error("operação falhou: x");
    setLogInfoEnabled(true);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "info com.tidewright.fp[fp] changes since=4 n=2 more=0\n"
              "error com.tidewright.fp[fp] operação falhou: x\n");
}

TEST(Log, SwappingSinksWhileWritingLosesNoRecord) {
    // Every record reaches exactly one of the two sinks, whichever was installed when it was written.
    std::atomic<int> first{0}, second{0};
    LogSink toFirst = [&](const LogRecord&) { ++first; };
    LogSink toSecond = [&](const LogRecord&) { ++second; };
    LogSink previous = setLogSink(toFirst);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([] {
            for (int i = 0; i < 5'000; ++i)
                Logger("s", "c").info("line");
        });
    for (int i = 0; i < 2'000; ++i)
        setLogSink(i % 2 ? toFirst : toSecond);
    for (auto& writer : writers)
        writer.join();
    setLogSink(previous);
    EXPECT_EQ(first.load() + second.load(), 20'000);
}

}  // namespace
}  // namespace tw
