#pragma once
// The error value handed to a host: a domain, an integer code and a user-info record, in the manner of the
// desktop platform's error objects. Platform facilities that fail with errors of their own (URL errors, the
// task-cancellation error) derive from it, so any of them reaches a host with its own domain and code.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace tw {

namespace host {
class Item;
}

class Error;

// What an error carries besides its domain and code. Only the three entries this system uses exist.
struct UserInfo {
    std::optional<std::string> localizedDescription;  // a user-facing text, shown as is
    std::shared_ptr<const host::Item> collidingItem;  // the existing item of a filename collision
    // The failure this one stands for: the transport's error of a server that could not be reached (a
    // serverUnreachable without one is an answer of the service's, such as a 503).
    std::shared_ptr<const Error> underlyingError;

    bool empty() const { return !localizedDescription && !collidingItem && !underlyingError; }
};

class Error : public std::exception {
public:
    Error(std::string domain, std::int64_t code, UserInfo userInfo = {}, std::string description = {});

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const UserInfo& userInfo() const { return userInfo_; }

    // The localized description when there is one, else the description given at construction, else
    // "<domain> error <code>".
    const char* what() const noexcept override { return what_.c_str(); }

    // Bridges any caught exception into an Error: an Error (or a subclass) keeps its domain, code and user
    // info; a std::system_error keeps its category's name as domain and its value as code; any other
    // std::exception becomes domain "tw.exception", code 1, with its what() as description.
    static Error from(std::exception_ptr error);

private:
    std::string domain_;
    std::int64_t code_;
    UserInfo userInfo_;
    std::string what_;
};

inline constexpr const char* fileProviderErrorDomain = "NSFileProviderErrorDomain";
inline constexpr const char* cocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::int64_t userCancelledErrorCode = 3072;  // NSUserCancelledError

// The host's file-provider error codes.
enum class FileProviderErrorCode : std::int64_t {
    notAuthenticated = -1000,
    filenameCollision = -1001,
    syncAnchorExpired = -1002,
    pageExpired = -1002,
    serverUnreachable = -1004,
    noSuchItem = -1005,
    cannotSynchronize = -2005,
    excludedFromSync = -2010,
};

Error fileProviderError(FileProviderErrorCode code, UserInfo userInfo = {});
// Whether `error` is the host's file-provider error `code`.
bool isFileProviderError(const Error& error, FileProviderErrorCode code);
Error userCancelledError();

}  // namespace tw
