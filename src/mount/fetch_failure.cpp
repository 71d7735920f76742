#include "mount/fetch_failure.h"

#include <string>
#include <system_error>

#include "platform/error.h"

namespace tw::mount {

namespace {

// A std::system_error whose text is a copy of its own (the library's may share it with the original).
class SystemErrorCopy : public std::system_error {
public:
    explicit SystemErrorCopy(const std::system_error& original)
        : std::system_error(original.code()), what_(original.what()) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

}  // namespace

void throwCopyOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        throw SystemErrorCopy(e);
    } catch (...) {
    }
    throw Error::from(error);
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e.domain() == cocoaErrorDomain && e.code() == userCancelledErrorCode;
    } catch (...) {
        return false;
    }
}

}  // namespace tw::mount
