#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace tw::http {

// True when `text` is made only of the characters a URL reference may hold (RFC 3986: unreserved,
// reserved and well-formed %HH escapes) and holds at most one '#'. Text that passes is used exactly as it
// stands: nothing is encoded, trimmed or inserted.
bool isValidURL(std::string_view text);

enum class Scheme { http, https };

// The scheme of `url`, read as written: a scheme is never guessed, so "host:port/path" and "host/path" are
// not taken for "http://...". Throws URLError `unsupportedURL` for anything but an http or https URL and
// `badURL` for a text that does not parse.
Scheme schemeOf(const std::string& url);

// Where a URL's requests go: its scheme, host and port (the scheme's default port when it names none), as
// libcurl reads them, the scheme and host in lower case.
struct Origin {
    std::string scheme;
    std::string host;
    long port = 0;
    bool operator==(const Origin&) const = default;
};

// The origin of an http or https `url`; absent when libcurl does not parse it, or for another scheme.
std::optional<Origin> originOf(const std::string& url);

// The address used in place of a text that is not a URL. Requests to it fail in the transport.
inline constexpr const char* placeholderURL = "http://unparseable-url.invalid/";

}  // namespace tw::http
