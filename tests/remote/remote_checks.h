#pragma once
// What the API client's tests read off a failure.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/http/url_error.h"
#include "remote/remote.h"

namespace tw::test {

inline Config configFor(const std::string& base) {
    return Config(base, "tok-123", "", std::nullopt);
}

// The RemoteError that `call` throws; a failure of the test when it throws none.
inline RemoteError errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const RemoteError& error) {
        return error;
    }
    ADD_FAILURE() << "expected a RemoteError";
    return RemoteError::http(0, "none thrown");
}

// "STATUS CODE", e.g. "502 bad_response": what a caller of the client decides on.
inline std::string statusCode(const RemoteError& error) {
    return std::to_string(error.status()) + " " + error.code();
}
inline std::string statusCodeOf(const std::function<void()>& call) {
    return statusCode(errorOf(call));
}

// The URL error under a network failure; a failure of the test for any other error.
inline http::URLError::Code urlCodeOf(const RemoteError& error) {
    try {
        if (error.underlying()) std::rethrow_exception(error.underlying());
    } catch (const http::URLError& urlError) {
        return urlError.urlCode();
    } catch (...) {
    }
    ADD_FAILURE() << "not a URL error: " << error.what();
    return http::URLError::Code::unknown;
}

}  // namespace tw::test
