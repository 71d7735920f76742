#include "remote/fp_error.h"

#include "remote/remote_error.h"

namespace tw {
namespace {

Error map(const RemoteError& error) {
    using C = FileProviderErrorCode;
    switch (error.kind()) {
        case RemoteError::Case::cancelled:
            return userCancelledError();
        case RemoteError::Case::network:
            // The transport's own error goes with it: a host tells a service it cannot reach from one that
            // answered with a failure (a 503 is serverUnreachable too), and says why.
            return fileProviderError(
                C::serverUnreachable,
                UserInfo{.underlyingError = std::make_shared<const Error>(Error::from(error.underlying()))});
        case RemoteError::Case::http:
            break;
    }
    if (auto message = error.neutralMessage())
        return fileProviderError(C::cannotSynchronize, UserInfo{.localizedDescription = std::move(message)});
    const auto status = error.status();
    if (status == 403 || status == 404) return fileProviderError(C::noSuchItem);
    if (status == 410) return fileProviderError(C::syncAnchorExpired);
    if (status == 401) return fileProviderError(C::notAuthenticated);
    if (status > 499 || status == 429) return fileProviderError(C::serverUnreachable);
    if (status == 409 && error.code() == "name_conflict") return fileProviderError(C::filenameCollision);
    if (status == 408) return fileProviderError(C::serverUnreachable);
    return fileProviderError(C::cannotSynchronize);
}

}  // namespace

Error fpError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const RemoteError& remote) {
        return map(remote);
    } catch (...) {
        return Error::from(std::current_exception());
    }
}

}  // namespace tw
