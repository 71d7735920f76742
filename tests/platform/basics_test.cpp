// The small platform parts: errors, UUIDs, text, progress, file moves and the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/progress.h"
#include "platform/task/task.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace tw {
namespace {

TEST(Error, FromBridgesEveryKindOfException) {
    const UserInfo readOnly{.localizedDescription =
                                "O espaço está somente leitura."};  // shown before all else
    const std::system_error refused(ECONNREFUSED, std::generic_category(), "connect");
    const std::system_error full(ENOSPC, std::system_category());
    using FP = FileProviderErrorCode;
    const std::tuple<std::exception_ptr, std::string, std::int64_t, std::string> cases[] = {
        {std::make_exception_ptr(Error("com.example", 7, {}, "quota")), "com.example", 7, "quota"},
        {std::make_exception_ptr(Error("d", 2, readOnly, "given")), "d", 2, "O espaço está somente leitura."},
        {std::make_exception_ptr(Error("d", -2)), "d", -2, "d error -2"},
        {std::make_exception_ptr(fileProviderError(FP::noSuchItem)), "NSFileProviderErrorDomain", -1005,
         "no such item"},
        {std::make_exception_ptr(fileProviderError(FP::cannotSynchronize, readOnly)),
         "NSFileProviderErrorDomain", -2005, "O espaço está somente leitura."},
        {std::make_exception_ptr(userCancelledError()), "NSCocoaErrorDomain", 3072, "cancelled"},
        {std::make_exception_ptr(CancellationError()), "tw.task", 1, "task cancelled"},  // a subclass
        {std::make_exception_ptr(refused), "generic", ECONNREFUSED, refused.what()},
        {std::make_exception_ptr(full), "system", ENOSPC, full.what()},
        {std::make_exception_ptr(std::runtime_error("disk full")), "tw.exception", 1, "disk full"},
        {std::make_exception_ptr(42), "tw.exception", 1, "unknown exception"},
        {std::exception_ptr(), "tw.exception", 1, "no exception"},
    };
    for (const auto& [error, domain, code, what] : cases) {
        SCOPED_TRACE(what);
        const Error bridged = Error::from(error);
        EXPECT_EQ(bridged.domain(), domain);
        EXPECT_EQ(bridged.code(), code);
        EXPECT_EQ(std::string(bridged.what()), what);
    }
    EXPECT_EQ(Error::from(std::get<0>(cases[4])).userInfo().localizedDescription,
              readOnly.localizedDescription);
    EXPECT_TRUE(fileProviderError(FP::notAuthenticated).userInfo().empty());
}

TEST(Uuid, IsUpperCaseVersion4AndNeverRepeatsAcrossThreads) {
    std::vector<std::string> made[4];
    std::vector<std::thread> threads;
    for (auto& mine : made)
        threads.emplace_back([&mine] {
            for (int i = 0; i < 10'000; ++i)
                mine.push_back(randomUUID());
        });
    std::set<std::string> seen;
    for (int t = 0; t < 4; ++t) {
        threads[t].join();
        seen.insert(made[t].begin(), made[t].end());
    }
    EXPECT_EQ(seen.size(), 40'000u);
    const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    for (const std::string& uuid : seen)
        ASSERT_TRUE(std::regex_match(uuid, shape)) << uuid;
}

TEST(Utf8Lossy, KeepsValidTextAndReplacesEachIllFormedPart) {
    const std::string r = "\xEF\xBF\xBD";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"}, {"Relat\xC3\xB3rio", "Relat\xC3\xB3rio"}, {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"}, {"", ""},
        {"a\x80z", "a" + r + "z"},  // a lone continuation byte
        {"a\xE2\x82", "a" + r}, {"\xE2\x82z", r + "z"},  // truncated
        {"\xC0\xAF", r + r},  // overlong
        {"\xED\xA0\x80", r + r + r},  // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xFF", r},
    };
    // clang-format on
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        EXPECT_EQ(decodeUTF8Lossy(bytes), text);
    }
}

TEST(CanonicalEquivalence, SameTextInAnyNormalisationFormIsEqualAndInvalidBytesAreNot) {
    const std::tuple<const char*, std::string, std::string, bool> cases[] = {
        {"precomposed and decomposed", "Relat\xC3\xB3rio", "Relato\xCC\x81rio", true},
        {"combining marks in either order", "a\xCC\x81\xCC\xA3", "a\xCC\xA3\xCC\x81", true},
        {"Hangul syllable and its jamo", "\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1", true},
        {"compatibility is not canonical", "\xEF\xAC\x81", "fi", false},
        {"case differs", "Relatorio", "relatorio", false},
        {"two different invalid names", "a\xFF", "a\xFE", false},
        {"an invalid name and its replacement", "a\xFF", "a\xEF\xBF\xBD", false},
        {"the same invalid bytes", "a\xFF", "a\xFF", true},
        {"empty", "", "", true},
    };
    for (const auto& [name, a, b, equal] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(canonicallyEqual(a, b), equal);
    }
}

TEST(Progress, ConcurrentAdditionsAndCancelsAreNeitherLostNorRepeated) {
    auto progress = Progress::make(400'000);
    std::atomic<int> replacedRuns{0}, runs{0};
    progress->setCancellationHandler([&] { ++replacedRuns; });
    progress->setCancellationHandler([&] { ++runs; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100'000; ++i)
                progress->addCompletedUnitCount(1);
            progress->cancel();
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(progress->completedUnitCount(), 400'000);
    EXPECT_TRUE(progress->isCancelled());
    EXPECT_EQ(runs.load(), 1) << "the latest handler runs once however often cancelled";
    EXPECT_EQ(replacedRuns.load(), 0);
}

// Would deadlock if a handler ran under the progress's own lock.
TEST(Progress, HandlerMayCallBackInAndOneSetAfterCancelRunsAtOnce) {
    auto progress = Progress::make(1);
    bool innerRan = false;
    progress->setCancellationHandler([&] {
        progress->setCompletedUnitCount(1);
        progress->cancel();
        progress->setCancellationHandler([&] { innerRan = true; });
    });
    progress->cancel();
    EXPECT_EQ(progress->completedUnitCount(), 1);
    EXPECT_TRUE(innerRan);
}

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// On one file system and across two (/dev/shm is a tmpfs of its own).
TEST(MoveFile, MovesWithinAndAcrossFileSystemsReplacingOnlyWhenAsked) {
    const auto freshFolder = [](std::string pattern) {
        return ::mkdtemp(pattern.data()) ? std::filesystem::path(pattern) : std::filesystem::path();
    };
    const auto here = freshFolder(std::filesystem::temp_directory_path() / "tw-files-XXXXXX");
    const auto elsewhere = freshFolder("/dev/shm/tw-files-XXXXXX");
    if (elsewhere.empty()) GTEST_SKIP() << "no /dev/shm";
    const auto to = here / "b";
    for (const auto& from : {here / "a", elsewhere / "a"}) {
        SCOPED_TRACE(from);
        std::ofstream(from) << "payload";
        ::chmod(from.c_str(), 0600);
        std::ofstream(to) << "old";
        EXPECT_THAT([&] { moveFile(from, to, /*replace=*/false); },
                    testing::Throws<std::system_error>(testing::Property(
                        &std::system_error::code, testing::Property(&std::error_code::value, EEXIST))));
        EXPECT_EQ(contentsOf(to), "old");
        EXPECT_TRUE(std::filesystem::exists(from));
        moveFile(from, to, /*replace=*/true);
        EXPECT_EQ(contentsOf(to), "payload");
        EXPECT_FALSE(std::filesystem::exists(from));
        EXPECT_EQ(std::filesystem::status(to).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(here), {}), 1);  // no staging file left
        std::filesystem::remove(to);
    }
    std::ofstream(elsewhere / "c") << "x";
    EXPECT_THROW(moveFile(elsewhere / "c", here / "missing" / "c", true), std::system_error);
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "c"));
    std::filesystem::remove_all(here);
    std::filesystem::remove_all(elsewhere);
}

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

// Every record reaches exactly one sink, whichever was installed when it was written.
TEST(Log, SwappingSinksWhileWritingLosesNoRecord) {
    std::atomic<int> written{0};
    const LogSink counting = [&](const LogRecord&) { ++written; };
    const LogSink previous = setLogSink(counting);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([] {
            for (int i = 0; i < 5'000; ++i)
                Logger("s", "c").info("line");
        });
    for (int i = 0; i < 2'000; ++i)
        setLogSink(counting);
    for (auto& writer : writers)
        writer.join();
    setLogSink(previous);
    EXPECT_EQ(written.load(), 20'000);
}

}  // namespace
}  // namespace tw
