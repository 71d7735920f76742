#pragma once

// The error every request handler throws to answer with an HTTP error status and a JSON body
// {"error": code, ...extra members}.

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace tw::server {

class ApiError : public std::runtime_error {
public:
    ApiError(int status, std::string code, nlohmann::json extra = nlohmann::json::object())
        : std::runtime_error(code), status_(status), code_(std::move(code)), extra_(std::move(extra)) {}

    int status() const { return status_; }
    const std::string& code() const { return code_; }

    // The reply body: {"error": code} merged with the extra members.
    nlohmann::json body() const {
        nlohmann::json body = extra_.is_object() ? extra_ : nlohmann::json::object();
        body["error"] = code_;
        return body;
    }

    static ApiError badRequest(const std::string& code = "bad_request") { return {400, code}; }
    static ApiError notFound(const std::string& code = "not_found") { return {404, code}; }

private:
    int status_;
    std::string code_;
    nlohmann::json extra_;
};

}  // namespace tw::server
