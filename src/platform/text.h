#pragma once
#include <string>
#include <string_view>

namespace tw {

// The bytes read as UTF-8, each invalid sequence replaced by U+FFFD (the maximal-subpart rule of Unicode:
// one replacement per ill-formed subsequence). Valid text comes back unchanged.
std::string decodeUTF8Lossy(std::string_view bytes);

// Whether two texts are the same under Unicode canonical equivalence: "e" followed by U+0301 equals "é"
// (U+00E9), as a name typed on one system equals the same name stored by another. Bytes that are not valid
// UTF-8 are compared as bytes: two different invalid names never compare equal through replacement
// characters. Throws std::runtime_error only when the Unicode normalisation data cannot be loaded.
bool canonicallyEqual(std::string_view a, std::string_view b);

}  // namespace tw
