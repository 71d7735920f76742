#include "platform/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/task/task.h"

namespace tw {
namespace {

TEST(Error, FromBridgesEveryKindOfException) {
    struct Case {
        const char* name;
        std::exception_ptr error;
        std::string domain;
        std::int64_t code;
        std::string what;
    };
    const Case cases[] = {
        {"Error with a description", std::make_exception_ptr(Error("com.example", 7, {}, "quota")),
         "com.example", 7, "quota"},
        {"file-provider error", std::make_exception_ptr(fileProviderError(FileProviderErrorCode::noSuchItem)),
         "NSFileProviderErrorDomain", -1005, "no such item"},
        {"Error subclass", std::make_exception_ptr(CancellationError()), "tw.task", 1, "task cancelled"},
        {"system_error, generic",
         std::make_exception_ptr(std::system_error(ECONNREFUSED, std::generic_category(), "connect")),
         "generic", ECONNREFUSED, std::system_error(ECONNREFUSED, std::generic_category(), "connect").what()},
        {"system_error, system", std::make_exception_ptr(std::system_error(ENOSPC, std::system_category())),
         "system", ENOSPC, std::system_error(ENOSPC, std::system_category()).what()},
        {"runtime_error", std::make_exception_ptr(std::runtime_error("disk full")), "tw.exception", 1,
         "disk full"},
        {"not a std::exception", std::make_exception_ptr(42), "tw.exception", 1, "unknown exception"},
        {"no exception", std::exception_ptr(), "tw.exception", 1, "no exception"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Error bridged = Error::from(c.error);
        EXPECT_EQ(bridged.domain(), c.domain);
        EXPECT_EQ(bridged.code(), c.code);
        EXPECT_EQ(std::string(bridged.what()), c.what);
    }
}

TEST(Error, FromKeepsUserInfo) {
    UserInfo info;
    info.localizedDescription = "O espaço está somente leitura.";
    Error bridged = Error::from(
        std::make_exception_ptr(fileProviderError(FileProviderErrorCode::cannotSynchronize, info)));
    EXPECT_EQ(bridged.code(), -2005);
    EXPECT_EQ(bridged.userInfo().localizedDescription, "O espaço está somente leitura.");
    EXPECT_STREQ(bridged.what(), "O espaço está somente leitura.");
}

TEST(Error, WhatPrefersLocalizedDescriptionThenDescriptionThenDomainAndCode) {
    UserInfo localized;
    localized.localizedDescription = "shown";
    EXPECT_STREQ(Error("d", 2, localized, "given").what(), "shown");
    EXPECT_STREQ(Error("d", 2, {}, "given").what(), "given");
    EXPECT_STREQ(Error("d", -2).what(), "d error -2");
}

TEST(Error, HostErrorsCarryTheirDomainCodeAndNoUserInfo) {
    Error cancelled = userCancelledError();
    EXPECT_EQ(cancelled.domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(cancelled.code(), 3072);
    EXPECT_TRUE(cancelled.userInfo().empty());
    Error unauthenticated = fileProviderError(FileProviderErrorCode::notAuthenticated);
    EXPECT_EQ(unauthenticated.domain(), "NSFileProviderErrorDomain");
    EXPECT_EQ(unauthenticated.code(), -1000);
    EXPECT_TRUE(unauthenticated.userInfo().empty());
}

}  // namespace
}  // namespace tw
