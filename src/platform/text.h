#pragma once
#include <string>
#include <string_view>

namespace tw {

// The bytes read as UTF-8, each invalid sequence replaced by U+FFFD (the maximal-subpart rule of Unicode:
// one replacement per ill-formed subsequence). Valid text comes back unchanged.
std::string decodeUTF8Lossy(std::string_view bytes);

}  // namespace tw
