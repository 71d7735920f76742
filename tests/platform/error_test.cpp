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
    UserInfo readOnly;
    readOnly.localizedDescription = "O espaço está somente leitura.";  // shown before any other description
    const std::system_error refused(ECONNREFUSED, std::generic_category(), "connect");
    const std::system_error full(ENOSPC, std::system_category());
    struct Case {
        const char* name;
        std::exception_ptr error;
        std::string domain;
        std::int64_t code;
        std::string what;
    };
    // clang-format off
    const Case cases[] = {
        {"Error with a description", std::make_exception_ptr(Error("com.example", 7, {}, "quota")), "com.example", 7,
         "quota"},
        {"Error with both descriptions", std::make_exception_ptr(Error("d", 2, readOnly, "given")), "d", 2,
         "O espaço está somente leitura."},
        {"Error without a description", std::make_exception_ptr(Error("d", -2)), "d", -2, "d error -2"},
        {"file-provider error", std::make_exception_ptr(fileProviderError(FileProviderErrorCode::noSuchItem)),
         "NSFileProviderErrorDomain", -1005, "no such item"},
        {"with a localized description", std::make_exception_ptr(fileProviderError(
             FileProviderErrorCode::cannotSynchronize, readOnly)), "NSFileProviderErrorDomain", -2005,
         "O espaço está somente leitura."},
        {"user cancelled", std::make_exception_ptr(userCancelledError()), "NSCocoaErrorDomain", 3072, "cancelled"},
        {"Error subclass", std::make_exception_ptr(CancellationError()), "tw.task", 1, "task cancelled"},
        {"system_error, generic", std::make_exception_ptr(refused), "generic", ECONNREFUSED, refused.what()},
        {"system_error, system", std::make_exception_ptr(full), "system", ENOSPC, full.what()},
        {"runtime_error", std::make_exception_ptr(std::runtime_error("disk full")), "tw.exception", 1, "disk full"},
        {"not a std::exception", std::make_exception_ptr(42), "tw.exception", 1, "unknown exception"},
        {"no exception", std::exception_ptr(), "tw.exception", 1, "no exception"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Error bridged = Error::from(c.error);
        EXPECT_EQ(bridged.domain(), c.domain);
        EXPECT_EQ(bridged.code(), c.code);
        EXPECT_EQ(std::string(bridged.what()), c.what);
    }
    EXPECT_EQ(Error::from(cases[4].error).userInfo().localizedDescription, readOnly.localizedDescription);
    EXPECT_TRUE(fileProviderError(FileProviderErrorCode::notAuthenticated).userInfo().empty());
}

}  // namespace
}  // namespace tw
