#pragma once

// Rules for the names of nodes and other texts that reach the store.

#include <string>
#include <string_view>

namespace tw::server {

// True for well-formed UTF-8 without overlong forms, surrogates or code points past U+10FFFF.
bool isValidUtf8(std::string_view text);

// A node name: 1 to 255 bytes of valid UTF-8, not "." or "..", holding no "/" and no NUL.
bool isValidName(std::string_view name);

// The n-th alternative of a name for the "rename" conflict policy: "Report (n).pdf", "Notes (n)".
// A leading dot does not start an extension (".profile" becomes ".profile (n)").
std::string numberedName(std::string_view name, int n);

// `text` made safe for a log line or an error message, which are read by a person in a terminal: "\\",
// "\t", "\n", "\r", "\xNN" for other control characters and for bytes that are not UTF-8, "\u{NN}" for
// U+0080 to U+009F. Anything else stays as it is.
std::string escapeText(std::string_view text);

}  // namespace tw::server
