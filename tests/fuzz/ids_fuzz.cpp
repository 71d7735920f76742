// requireSafeId / requireSafeCursor accept exactly what their rules allow, else throw their client error;
// what they accept, put unencoded into an address, libcurl reads back as one whole path segment (an id) or
// the whole last query value (a cursor), with no fragment. An address libcurl refuses is never sent, so it
// passes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "remote/remote.h"
#include "url_parts.h"

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
    const UrlParts url("https://tw.example.com" + path + "?" + query);
    if (!url.valid()) return;
    FUZZ_CHECK(url[CURLUPART_PATH] == path && url[CURLUPART_QUERY] == query && !url[CURLUPART_FRAGMENT]);
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
