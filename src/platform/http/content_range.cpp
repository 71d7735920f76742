#include "platform/http/content_range.h"

#include <cctype>
#include <charconv>

namespace tw::http {
namespace {

// The decimal number at the front of `text` (digits only), consumed; absent without one or on overflow.
std::optional<std::int64_t> number(std::string_view& text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    std::int64_t value = 0;
    if (digits == 0 || std::from_chars(text.data(), text.data() + digits, value).ec != std::errc())
        return std::nullopt;
    text.remove_prefix(digits);
    return value;
}

bool take(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::optional<ContentRange> parseContentRange(std::string_view value) {
    constexpr std::string_view unit = "bytes ";
    if (value.size() < unit.size()) return std::nullopt;
    for (std::size_t i = 0; i < unit.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(value[i])) != unit[i]) return std::nullopt;
    value.remove_prefix(unit.size());
    ContentRange range;
    const auto first = number(value);
    if (!first || !take(value, '-')) return std::nullopt;
    const auto last = number(value);
    if (!last || !take(value, '/') || *last < *first) return std::nullopt;
    range.first = *first;
    range.last = *last;
    if (value == "*") return range;
    range.completeLength = number(value);
    if (!range.completeLength || !value.empty() || *last >= *range.completeLength) return std::nullopt;
    return range;
}

}  // namespace tw::http
