#include "mount/reachability.h"

#include <cerrno>
#include <system_error>

#include "mount/mount_log.h"
#include "platform/error.h"
#include "platform/http/url_error.h"

namespace tw::mount {

std::optional<std::string> Reachability::unreachableReason(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& host) {
        // A 503 or a 429 is serverUnreachable too, but without the transport's error: the service answered.
        if (!isFileProviderError(host, FileProviderErrorCode::serverUnreachable)) return std::nullopt;
        const auto& transport = host.userInfo().underlyingError;
        if (!transport || transport->domain() != http::urlErrorDomain) return std::nullopt;
        using C = http::URLError::Code;
        switch (static_cast<C>(transport->code())) {
            case C::timedOut:
            case C::cannotFindHost:
            case C::cannotConnectToHost:
            case C::networkConnectionLost:
                return std::string(transport->what());
            default:
                return std::nullopt;  // a local file, a reply that is not HTTP, a certificate: not the
                                      // network
        }
    } catch (...) {
        return std::nullopt;
    }
}

void Reachability::check() const {
    if (offline_)
        throw std::system_error(EIO, std::generic_category(), "the service cannot be reached (offline)");
}

void Reachability::answered() {
    if (offline_) become(false, {});
}

void Reachability::failed(const std::exception_ptr& error) {
    if (auto reason = unreachableReason(error)) return become(true, *reason);
    try {
        std::rethrow_exception(error);
    } catch (const Error& host) {
        // Any other error of the extension's is an answer of the service's, short of a transport's failure
        // that is not the network's (a download's file that cannot be written): that one says nothing.
        const bool transport = isFileProviderError(host, FileProviderErrorCode::serverUnreachable) &&
                               host.userInfo().underlyingError;
        if (host.domain() == fileProviderErrorDomain && !transport) answered();
    } catch (...) {
    }
}

void Reachability::onChanged(Changed callback) {
    std::scoped_lock lock(mutex_);
    changed_ = std::move(callback);
}

void Reachability::become(bool offline, const std::string& reason) {
    std::scoped_lock lock(mutex_);
    if (offline_ == offline) return;
    offline_ = offline;
    if (offline)
        mountLog().error("offline: the service cannot be reached (" + reason + ")");
    else
        mountLog().info("online again");
    if (changed_) changed_(offline);
}

}  // namespace tw::mount
