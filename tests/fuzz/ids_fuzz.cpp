// The id and cursor rules, on the same bytes: Remote::requireSafeId and Remote::requireSafeCursor either
// accept or throw their client error (status 0, "bad_id" / "bad_cursor"), exactly as their rules say.
//
// What they accept must stay in its place once inserted, unencoded, into a request address. Read back by
// libcurl's URL parser (the one the transport uses), an accepted id is one whole path segment — not
// normalised away as "." or "..", not cut by a '?' or '#' — and an accepted cursor is the whole value of
// the last query parameter, with no fragment after it. An address libcurl refuses is never sent, so it
// passes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "fuzz_check.h"
#include "remote/remote.h"

namespace {

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// Which client error the rule throws for `value`, empty when it accepts.
template <class Rule>
std::string refusal(Rule rule, std::string_view value) {
    try {
        rule(value);
        return {};
    } catch (const tw::RemoteError& error) {
        FUZZ_CHECK(error.kind() == tw::RemoteError::Case::http && error.status() == 0 &&
                   !error.code().empty());
        return error.code();
    } catch (const std::exception& error) {
        fuzzUnexpected("rule", &error);
    }
}

struct Parts {
    std::string path;
    std::optional<std::string> query;
    bool hasFragment = false;
};

// The parts of `address` as libcurl reads it, or nullopt when libcurl refuses it.
std::optional<Parts> parsed(const std::string& address) {
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    FUZZ_CHECK(url != nullptr);
    if (curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK) return std::nullopt;
    const auto part = [&](CURLUPart which) -> std::optional<std::string> {
        char* text = nullptr;
        if (curl_url_get(url.get(), which, &text, 0) != CURLUE_OK) return std::nullopt;
        std::string value(text);
        curl_free(text);
        return value;
    };
    return Parts{part(CURLUPART_PATH).value_or(""), part(CURLUPART_QUERY),
                 part(CURLUPART_FRAGMENT).has_value()};
}

constexpr std::string_view base = "https://tw.example.com";

void checkId(std::string_view id) {
    bool expectSafe = !id.empty() && id != "." && id != "..";
    for (const char c : id)
        if (isControl(c) || std::string_view("/\\?#%& ").find(c) != std::string_view::npos)
            expectSafe = false;
    const std::string code = refusal(tw::Remote::requireSafeId, id);
    FUZZ_CHECK(code == (expectSafe ? "" : "bad_id"));
    if (!code.empty()) return;

    const std::string path = "/api/v1/nodes/" + std::string(id) + "/restore";
    if (const auto parts = parsed(std::string(base) + path + "?trashed=1")) {
        FUZZ_CHECK(parts->path == path);
        FUZZ_CHECK(parts->query == "trashed=1");
        FUZZ_CHECK(!parts->hasFragment);
    }
}

void checkCursor(std::string_view cursor) {
    bool expectSafe = true;
    for (const char c : cursor)
        if (isControl(c) || c == '&' || c == '#' || c == ' ') expectSafe = false;
    const std::string code = refusal(tw::Remote::requireSafeCursor, cursor);
    FUZZ_CHECK(code == (expectSafe ? "" : "bad_cursor"));
    if (!code.empty()) return;

    const std::string query = "parent=root&limit=500&cursor=" + std::string(cursor);
    if (const auto parts = parsed(std::string(base) + "/api/v1/nodes?" + query)) {
        FUZZ_CHECK(parts->path == "/api/v1/nodes");
        FUZZ_CHECK(parts->query == query);
        FUZZ_CHECK(!parts->hasFragment);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkId(text);
    checkCursor(text);
    return 0;
}
