// seqOf never throws, agrees with the anchor rule computed another way, and reads back what anchorFor writes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "enumeration/working_set_enumerator.h"
#include "fuzz_check.h"

namespace {

// An optional sign, then ASCII digits only, within the signed 64-bit range; anything else is 0.
std::int64_t expectedPosition(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return 0;
    const std::uint64_t limit = (std::uint64_t{1} << 63) - (negative ? 0 : 1);
    std::uint64_t magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) return 0;
        magnitude = magnitude * 10 + digit;
    }
    return static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string anchor(reinterpret_cast<const char*>(data), size);
    std::int64_t position = 0;
    try {
        position = tw::seqOf(anchor);
    } catch (const std::exception& error) {
        fuzzUnexpected("seqOf", &error);
    }
    FUZZ_CHECK(position == expectedPosition(anchor));
    FUZZ_CHECK(tw::seqOf(tw::anchorFor(position)) == position);

    // The input's first eight bytes as a value: its decimal text reads back as that value.
    std::int64_t value = 0;
    std::memcpy(&value, data, std::min(size, sizeof value));
    FUZZ_CHECK(tw::seqOf(tw::anchorFor(value)) == value);
    FUZZ_CHECK(tw::seqOf(std::to_string(value)) == value);
    if (value >= 0) FUZZ_CHECK(tw::seqOf("+" + std::to_string(value)) == value);
    return 0;
}
