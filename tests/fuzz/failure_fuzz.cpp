// Remote::failure(status, body): the error made from any non-2xx reply, whatever its body. The input is the
// status in decimal on the first line (0 when that line is not a number) and the body after it.
//
// failure never throws. Its error is a service error with that status; its code is the body's string
// "error" when the body is a JSON object holding one, else "http_<status>"; its details are an object, the
// body's own object when that is not deeply nested (deeper details may be cut down, never the code). The
// error is then copied, thrown and caught as every caller does.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "remote/remote.h"

namespace {

// Nesting depth of a JSON value (a scalar is 0, an empty object 1), without recursion.
std::size_t depthOf(const nlohmann::json& root) {
    std::size_t deepest = 0;
    std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&root, 0}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured()) continue;
        deepest = std::max(deepest, depth + 1);
        for (const auto& child : *value)
            pending.emplace_back(&child, depth + 1);
    }
    return deepest;
}

// Details at most this deep are kept whole. The client bounds what it keeps somewhat deeper than this.
constexpr std::size_t keptWholeDepth = 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string_view statusText = input.substr(0, newline);
    const std::string_view body =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    std::int64_t status = 0;
    std::from_chars(statusText.data(), statusText.data() + statusText.size(), status);

    const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    std::string code = "http_" + std::to_string(status);
    if (parsed.is_object())
        if (const auto error = parsed.find("error"); error != parsed.end() && error->is_string())
            code = error->get<std::string>();

    try {
        const tw::RemoteError error = tw::Remote::failure(status, body);
        FUZZ_CHECK(error.kind() == tw::RemoteError::Case::http);
        FUZZ_CHECK(error.status() == status);
        FUZZ_CHECK(error.code() == code);
        FUZZ_CHECK(error.body().is_object());
        if (parsed.is_object() && depthOf(parsed) <= keptWholeDepth) FUZZ_CHECK(error.body() == parsed);
        if (!parsed.is_object()) FUZZ_CHECK(error.body().empty());
        try {
            throw error;
        } catch (const tw::RemoteError& caught) {
            const tw::RemoteError copy = caught;
            FUZZ_CHECK(copy.code() == code && copy.body() == error.body());
            (void)copy.what();
            (void)copy.isTransient();
            (void)copy.isReadOnly();
            (void)copy.isSpaceUnavailable();
            (void)copy.neutralMessage();
        }
    } catch (const std::exception& error) {
        fuzzUnexpected("Remote::failure", &error);
    }
    return 0;
}
