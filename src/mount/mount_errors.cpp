#include "mount/mount_errors.h"

#include <cerrno>
#include <system_error>

#include "mount/mount_log.h"
#include "platform/error.h"

namespace tw::mount {

int errnoFor(std::exception_ptr error) {
    int value = EIO;
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& system) {
        const auto& category = system.code().category();
        if (category == std::generic_category() || category == std::system_category())
            value = system.code().value();
    } catch (const Error& host) {
        using C = FileProviderErrorCode;
        if (host.domain() == cocoaErrorDomain && host.code() == userCancelledErrorCode) {
            value = EINTR;
        } else if (host.domain() == fileProviderErrorDomain) {
            switch (static_cast<C>(host.code())) {
                case C::noSuchItem:
                    value = ENOENT;
                    break;
                case C::filenameCollision:
                    value = EEXIST;
                    break;
                case C::notAuthenticated:
                    value = EACCES;
                    break;
                case C::excludedFromSync:
                    value = EINVAL;
                    break;
                case C::cannotSynchronize:
                    // Only a read-only or unavailable space carries a message for the user.
                    if (const auto& message = host.userInfo().localizedDescription) {
                        mountLog().error("the space refuses changes: " + *message);
                        value = EROFS;
                    }
                    break;
                default:
                    break;
            }
        }
    } catch (...) {
    }
    return value <= 0 || value == ENOTCONN ? EIO : value;
}

}  // namespace tw::mount
