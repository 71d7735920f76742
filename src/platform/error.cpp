#include "platform/error.h"

#include <system_error>
#include <utility>

namespace tw {

namespace {

std::string describe(const std::string& domain, std::int64_t code, const UserInfo& userInfo,
                     std::string description) {
    if (userInfo.localizedDescription) return *userInfo.localizedDescription;
    if (!description.empty()) return description;
    return domain + " error " + std::to_string(code);
}

}  // namespace

Error::Error(std::string domain, std::int64_t code, UserInfo userInfo, std::string description)
    : domain_(std::move(domain)),
      code_(code),
      userInfo_(std::move(userInfo)),
      what_(describe(domain_, code_, userInfo_, std::move(description))) {}

Error Error::from(std::exception_ptr error) {
    // A null pointer is a caller's mistake, but it still has to become an error the host can show.
    if (!error) return Error("tw.exception", 1, {}, "no exception");
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e;  // copies the Error part of a subclass: domain, code, user info and text
    } catch (const std::system_error& e) {
        return Error(e.code().category().name(), e.code().value(), {}, e.what());
    } catch (const std::exception& e) {
        return Error("tw.exception", 1, {}, e.what());
    } catch (...) {
        return Error("tw.exception", 1, {}, "unknown exception");
    }
}

bool isFileProviderError(const Error& error, FileProviderErrorCode code) {
    return error.domain() == fileProviderErrorDomain && error.code() == static_cast<std::int64_t>(code);
}

Error fileProviderError(FileProviderErrorCode code, UserInfo userInfo) {
    using C = FileProviderErrorCode;
    const char* text = "file provider error";
    switch (code) {
        case C::notAuthenticated:
            text = "not authenticated: the domain has no usable configuration or token";
            break;
        case C::filenameCollision:
            text = "an item with this name already exists";
            break;
        case C::syncAnchorExpired:
            text = "the sync anchor or page has expired";
            break;
        case C::serverUnreachable:
            text = "the server cannot be reached";
            break;
        case C::noSuchItem:
            text = "no such item";
            break;
        case C::cannotSynchronize:
            text = "cannot synchronize";
            break;
        case C::excludedFromSync:
            text = "the item is excluded from sync";
            break;
    }
    return Error(fileProviderErrorDomain, static_cast<std::int64_t>(code), std::move(userInfo), text);
}

Error userCancelledError() {
    return Error(cocoaErrorDomain, userCancelledErrorCode, {}, "cancelled");
}

}  // namespace tw
