// Remote::failure(status, body) from "STATUS\nBODY": never throws; status kept; code the body's string
// "error", else "http_<status>"; details the body's object (when at most 32 levels deep) or empty; survives a
// throw.

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "remote/remote.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = std::min(input.find('\n'), input.size());
    const std::string_view body = input.substr(std::min(newline + 1, input.size()));
    std::int64_t status = 0;
    std::from_chars(input.data(), input.data() + newline, status);

    const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    std::string code = "http_" + std::to_string(status);
    if (parsed.is_object() && parsed.contains("error") && parsed["error"].is_string()) code = parsed["error"];
    try {
        const tw::RemoteError error = tw::Remote::failure(status, body);
        FUZZ_CHECK(error.kind() == tw::RemoteError::Case::http && error.status() == status);
        FUZZ_CHECK(error.code() == code && error.body().is_object());
        if (parsed.is_object() && depthOf(parsed) <= 32) FUZZ_CHECK(error.body() == parsed);
        if (!parsed.is_object()) FUZZ_CHECK(error.body().empty());
        try {
            throw error;
        } catch (const tw::RemoteError& caught) {
            const tw::RemoteError copy = caught;
            FUZZ_CHECK(copy.code() == code && copy.body() == error.body());
            (void)copy.what(), (void)copy.isTransient(), (void)copy.isReadOnly();
            (void)copy.isSpaceUnavailable(), (void)copy.neutralMessage();
        }
    } catch (const std::exception& error) {
        fuzzUnexpected("Remote::failure", &error);
    }
    return 0;
}
