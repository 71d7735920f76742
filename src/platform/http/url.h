#pragma once
#include <string_view>

namespace tw::http {

// True when `text` is made only of the characters a URL reference may hold (RFC 3986: unreserved,
// reserved and well-formed %HH escapes) and holds at most one '#'. Text that passes is used exactly as it
// stands: nothing is encoded, trimmed or inserted.
bool isValidURL(std::string_view text);

// The address used in place of a text that is not a URL. Requests to it fail in the transport.
inline constexpr const char* placeholderURL = "http://unparseable-url.invalid/";

}  // namespace tw::http
