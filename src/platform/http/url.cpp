#include "platform/http/url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

#include "platform/http/url_error.h"

namespace tw::http {
namespace {

bool isAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

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

Scheme schemeOf(const std::string& url) {
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed) throw URLError(URLError::Code::unknown, "cannot parse a URL");
    // Without CURLU_GUESS_SCHEME or CURLU_DEFAULT_SCHEME: a text without a scheme fails here.
    const CURLUcode result = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0);
    if (result == CURLUE_BAD_SCHEME || result == CURLUE_UNSUPPORTED_SCHEME)
        throw URLError(URLError::Code::unsupportedURL, "only http and https URLs are used");
    if (result != CURLUE_OK) throw URLError(URLError::Code::badURL, curl_url_strerror(result));
    char* scheme = nullptr;
    curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0);
    const std::string name = scheme ? scheme : "";
    curl_free(scheme);
    if (name == "http") return Scheme::http;
    if (name == "https") return Scheme::https;
    throw URLError(URLError::Code::unsupportedURL, "only http and https URLs are used");
}

std::optional<Origin> originOf(const std::string& url) {
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto part = [&](CURLUPart which, unsigned flags) -> std::optional<std::string> {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), which, &text, flags) != CURLUE_OK || !text) return std::nullopt;
        std::string value(text);
        curl_free(text);
        std::transform(value.begin(), value.end(), value.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return value;
    };
    auto scheme = part(CURLUPART_SCHEME, 0);
    auto host = part(CURLUPART_HOST, 0);
    auto port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!scheme || !host || !port || (*scheme != "http" && *scheme != "https")) return std::nullopt;
    return Origin{*scheme, *host, std::stol(*port)};
}

}  // namespace tw::http
