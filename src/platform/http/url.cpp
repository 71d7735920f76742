#include "platform/http/url.h"

#include <string_view>

namespace tw::http {
namespace {

bool isAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool isValidURL(std::string_view text) {
    // unreserved (besides letters and digits), gen-delims, sub-delims
    static constexpr std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=";
    int hashes = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (isAsciiAlnum(c)) continue;
        if (c == '%') {
            if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return false;
            i += 2;
            continue;
        }
        if (allowed.find(c) == std::string_view::npos) return false;
        if (c == '#' && ++hashes > 1) return false;
    }
    return true;
}

}  // namespace tw::http
