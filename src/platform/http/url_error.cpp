#include "platform/http/url_error.h"

namespace tw::http {

const char* toString(URLError::Code code) {
    using C = URLError::Code;
    switch (code) {
        case C::unknown:
            return "unknown";
        case C::cancelled:
            return "cancelled";
        case C::badURL:
            return "badURL";
        case C::timedOut:
            return "timedOut";
        case C::unsupportedURL:
            return "unsupportedURL";
        case C::cannotFindHost:
            return "cannotFindHost";
        case C::cannotConnectToHost:
            return "cannotConnectToHost";
        case C::networkConnectionLost:
            return "networkConnectionLost";
        case C::httpTooManyRedirects:
            return "httpTooManyRedirects";
        case C::badServerResponse:
            return "badServerResponse";
        case C::dataLengthExceedsMaximum:
            return "dataLengthExceedsMaximum";
        case C::secureConnectionFailed:
            return "secureConnectionFailed";
        case C::serverCertificateUntrusted:
            return "serverCertificateUntrusted";
        case C::cannotCreateFile:
            return "cannotCreateFile";
        case C::cannotOpenFile:
            return "cannotOpenFile";
        case C::cannotWriteToFile:
            return "cannotWriteToFile";
    }
    return "unknown";
}

URLError::URLError(Code code, std::string detail, std::int64_t replyStatus)
    : Error(urlErrorDomain, static_cast<std::int64_t>(code), {},
            std::string("URL error ") + toString(code) + (detail.empty() ? "" : ": " + detail)),
      replyStatus_(replyStatus) {}

}  // namespace tw::http
