#include "remote/remote_error.h"

#include <utility>

namespace tw {

RemoteError::RemoteError(Case kind, std::int64_t status, std::string code, nlohmann::json body,
                         std::exception_ptr underlying)
    : case_(kind),
      status_(status),
      code_(std::move(code)),
      body_(std::move(body)),
      underlying_(std::move(underlying)) {
    switch (case_) {
        case Case::http:
            description_ = "service error " + std::to_string(status_) + " " + code_;
            break;
        case Case::cancelled:
            description_ = "cancelled";
            break;
        case Case::network:
            description_ = "network failure";
            try {
                if (underlying_) std::rethrow_exception(underlying_);
            } catch (const std::exception& error) {
                description_ += std::string(": ") + error.what();
            } catch (...) {
            }
            break;
    }
}

RemoteError RemoteError::http(std::int64_t status, std::string code, nlohmann::json body) {
    if (!body.is_object()) body = nlohmann::json::object();
    return RemoteError(Case::http, status, std::move(code), std::move(body), nullptr);
}

RemoteError RemoteError::network(std::exception_ptr underlying) {
    return RemoteError(Case::network, 0, {}, nlohmann::json::object(), std::move(underlying));
}

RemoteError RemoteError::cancelled() {
    return RemoteError(Case::cancelled, 0, {}, nlohmann::json::object(), nullptr);
}

bool RemoteError::isTransient() const {
    switch (case_) {
        case Case::network:
            return true;
        case Case::cancelled:
            return false;
        case Case::http:
            return status_ == 408 || status_ == 429 || status_ > 499;
    }
    return false;
}

bool RemoteError::isReadOnly() const {
    if (case_ != Case::http) return false;
    if (status_ == 402 && code_ == "payment_required") return true;
    if (status_ == 403 && code_ == "account_deleting") return true;
    if (status_ == 403 && code_ == "forbidden") {
        const auto reason = body_.find("reason");
        return reason != body_.end() && reason->is_string() &&
               reason->get_ref<const std::string&>() == "account_deleting";
    }
    return false;
}

bool RemoteError::isSpaceUnavailable() const {
    if (case_ != Case::http) return false;
    return (status_ == 410 && code_ == "space_unavailable") || (status_ == 403 && code_ == "space_suspended");
}

std::optional<std::string> RemoteError::neutralMessage() const {
    if (isReadOnly()) return std::string(readOnlyMessage);
    if (isSpaceUnavailable()) return std::string(spaceUnavailableMessage);
    return std::nullopt;
}

}  // namespace tw
