// requireSafeId / requireSafeCursor accept exactly what their rules allow, else throw their client error;
// what they accept, put unencoded into an address, libcurl reads back as one whole path segment (an id) or
// the whole last query value (a cursor), with no fragment. An address libcurl refuses is never sent, so it
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

// The client error `rule` throws for `value`, "" when it accepts.
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

void checkStaysInPlace(const std::string& path, const std::string& query) {
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    FUZZ_CHECK(url != nullptr);
    const std::string address = "https://tw.example.com" + path + "?" + query;
    if (curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK) return;
    const auto part = [&](CURLUPart which) -> std::optional<std::string> {
        char* text = nullptr;
        if (curl_url_get(url.get(), which, &text, 0) != CURLUE_OK) return std::nullopt;
        std::string value(text);
        curl_free(text);
        return value;
    };
    FUZZ_CHECK(part(CURLUPART_PATH) == path && part(CURLUPART_QUERY) == query && !part(CURLUPART_FRAGMENT));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool safeId = !text.empty() && text != "." && text != ".." && !holdsControlOr(text, "/\\?#%& ");
    const std::string idRefusal = refusal(tw::Remote::requireSafeId, text);
    FUZZ_CHECK(idRefusal == (safeId ? "" : "bad_id"));
    if (safeId) checkStaysInPlace("/api/v1/nodes/" + std::string(text) + "/restore", "trashed=1");

    const bool safeCursor = !holdsControlOr(text, "&# ");
    const std::string cursorRefusal = refusal(tw::Remote::requireSafeCursor, text);
    FUZZ_CHECK(cursorRefusal == (safeCursor ? "" : "bad_cursor"));
    if (safeCursor) checkStaysInPlace("/api/v1/nodes", "parent=root&limit=500&cursor=" + std::string(text));
    return 0;
}
