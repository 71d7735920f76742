#pragma once
// The "Content-Range" header of a 206 reply (RFC 9110, section 14.4).

#include <cstdint>
#include <optional>
#include <string_view>

namespace tw::http {

// A satisfied byte range: "bytes FIRST-LAST/COMPLETE" or "bytes FIRST-LAST/*".
struct ContentRange {
    std::int64_t first = 0;
    std::int64_t last = 0;                       // inclusive
    std::optional<std::int64_t> completeLength;  // absent for "*"
    bool operator==(const ContentRange&) const = default;
};

// Absent for anything else: another unit, an unsatisfied range ("bytes */N"), a sign, a space out of place,
// a number beyond 63 bits, LAST before FIRST, or LAST at or past COMPLETE. The unit is case-insensitive.
std::optional<ContentRange> parseContentRange(std::string_view value);

}  // namespace tw::http
