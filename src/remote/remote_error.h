#pragma once
// Every failure that leaves the API client.
//
// - `http`: the service answered with an error status, or the client judged a reply (or an argument)
//   unusable. Carries the status, a code ("not_found", "http_404", "bad_response", ...) and the reply's
//   JSON object, kept whole (unless it nests too deep) so callers can read further keys ("reason",
//   "existing").
// - `network`: no usable HTTP reply (transport failure, time-out, a reply that is not HTTP, or any error
//   not otherwise classified). Carries the underlying error.
// - `cancelled`: the request was cancelled.
//
// Callers retry only what `isTransient()` allows; the host sees these errors only through fpError().

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tw {

class RemoteError : public std::exception {
public:
    enum class Case { http, network, cancelled };

    static constexpr std::string_view readOnlyMessage =
        "Este espaço está somente leitura no momento: dá para ver e baixar os arquivos, mas não enviar nem "
        "alterar. Veja o estado da conta na web.";
    static constexpr std::string_view spaceUnavailableMessage =
        "Este espaço está indisponível no momento. Seus arquivos continuam guardados; se isso persistir, "
        "veja "
        "o estado da conta na web.";

    // `body` must be a JSON object (empty when the reply had none).
    static RemoteError http(std::int64_t status, std::string code,
                            nlohmann::json body = nlohmann::json::object());
    static RemoteError network(std::exception_ptr underlying);
    static RemoteError cancelled();

    Case kind() const { return case_; }
    std::int64_t status() const { return status_; }                // 0 unless http
    const std::string& code() const { return code_; }              // empty unless http
    const nlohmann::json& body() const { return body_; }           // empty object unless http
    std::exception_ptr underlying() const { return underlying_; }  // null unless network

    // A network failure, or a service error of status 408, 429 or above 499: sending again may help.
    bool isTransient() const;
    // The space may be read but not changed (402 "payment_required"; 403 "account_deleting"; 403 "forbidden"
    // whose body says "reason": "account_deleting").
    bool isReadOnly() const;
    // The space cannot be reached at all (410 "space_unavailable"; 403 "space_suspended").
    bool isSpaceUnavailable() const;
    // The user-facing text for a read-only or unavailable space; absent otherwise.
    std::optional<std::string> neutralMessage() const;

    // Describes the error for logs; never holds a credential.
    const char* what() const noexcept override { return description_.c_str(); }

private:
    RemoteError(Case kind, std::int64_t status, std::string code, nlohmann::json body,
                std::exception_ptr underlying);

    Case case_;
    std::int64_t status_;
    std::string code_;
    nlohmann::json body_;
    std::exception_ptr underlying_;
    std::string description_;
};

}  // namespace tw
