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
        auto records = inner.records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].level, LogLevel::info);
        EXPECT_EQ(records[0].subsystem, "com.tidewright.fp");
        EXPECT_EQ(records[0].category, "fp");
        EXPECT_EQ(records[0].message, "init domain=d1 configured=1");
        EXPECT_EQ(records[1].level, LogLevel::error);
        EXPECT_EQ(records[1].message, "operação falhou: bad_response");
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
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([] {
            Logger log("s", "c");
            for (int i = 0; i < 5'000; ++i)
                log.info("line");
        });
    }
    for (int i = 0; i < 2'000; ++i)
        setLogSink(i % 2 ? toFirst : toSecond);
    for (auto& writer : writers)
        writer.join();
    setLogSink(previous);
    EXPECT_EQ(first.load() + second.load(), 20'000);
}

}  // namespace
}  // namespace tw
