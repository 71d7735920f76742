// The Content-Range parser: parseContentRange accepts exactly "bytes FIRST-LAST/COMPLETE" or ".../*" (the
// unit in any case, numbers of digits only within 63 bits, FIRST <= LAST < COMPLETE), checked against the
// same rule written as a regular expression; what it accepts reads back the same from its decimal form.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>

#include "fuzz_check.h"
#include "platform/http/content_range.h"

namespace {

// A decimal number of any length that fits 63 bits.
std::optional<std::int64_t> decimal(const std::string& digits) {
    std::int64_t value = 0;
    for (const char c : digits)
        if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, c - '0', &value))
            return std::nullopt;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    static const std::regex rule("[bB][yY][tT][eE][sS] ([0-9]+)-([0-9]+)/([0-9]+|\\*)");
    std::optional<tw::http::ContentRange> expected;
    std::smatch match;
    if (std::regex_match(text, match, rule)) {
        const auto first = decimal(match[1]), last = decimal(match[2]);
        const auto complete = match[3] == "*" ? std::optional<std::int64_t>() : decimal(match[3]);
        if (first && last && *first <= *last && (match[3] == "*" || (complete && *last < *complete)))
            expected = tw::http::ContentRange{*first, *last, complete};
    }
    const auto parsed = tw::http::parseContentRange(text);
    FUZZ_CHECK(parsed == expected);
    if (parsed) {
        const std::string written = "bytes " + std::to_string(parsed->first) + "-" +
                                    std::to_string(parsed->last) + "/" +
                                    (parsed->completeLength ? std::to_string(*parsed->completeLength) : "*");
        FUZZ_CHECK(tw::http::parseContentRange(written) == parsed);
    }
    return 0;
}
