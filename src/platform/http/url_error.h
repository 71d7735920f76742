#pragma once
// Transport failures of the HTTP session, in the URL-loading error domain.

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace tw::http {

inline constexpr const char* urlErrorDomain = "NSURLErrorDomain";

class URLError : public Error {
public:
    // Values of the desktop platform's URL error codes, so a host sees familiar numbers.
    enum class Code : std::int64_t {
        unknown = -1,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        unsupportedURL = -1002,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        httpTooManyRedirects = -1007,
        badServerResponse = -1011,
        dataLengthExceedsMaximum = -1103,
        secureConnectionFailed = -1200,
        serverCertificateUntrusted = -1202,
        cannotCreateFile = -3000,
        cannotOpenFile = -3001,
        cannotWriteToFile = -3003,
    };

    // `detail` says what happened in words; it must never hold a credential.
    explicit URLError(Code code, std::string detail = {}, std::int64_t replyStatus = 0);

    Code urlCode() const { return static_cast<Code>(code()); }
    // The status of the reply whose receipt failed, when its headers had arrived; 0 otherwise.
    std::int64_t replyStatus() const { return replyStatus_; }

private:
    std::int64_t replyStatus_;
};

const char* toString(URLError::Code code);

}  // namespace tw::http
