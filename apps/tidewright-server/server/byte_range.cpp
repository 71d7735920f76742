#include "server/byte_range.h"

#include <charconv>

namespace tw::server {
namespace {

std::optional<std::int64_t> digits(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

}  // namespace

RangeRequest resolveRange(std::string_view header, std::int64_t size) {
    RangeRequest whole;
    constexpr std::string_view prefix = "bytes=";
    if (header.substr(0, prefix.size()) != prefix) return whole;
    std::string_view rangeSet = header.substr(prefix.size());
    if (rangeSet.find(',') != std::string_view::npos) return whole;
    auto dash = rangeSet.find('-');
    if (dash == std::string_view::npos) return whole;
    std::string_view first = rangeSet.substr(0, dash);
    std::string_view last = rangeSet.substr(dash + 1);

    RangeRequest result;
    if (first.empty()) {
        auto suffix = digits(last);
        if (!suffix) return whole;
        if (*suffix == 0 || size == 0) return {RangeRequest::Kind::unsatisfiable, {}};
        std::int64_t length = std::min(*suffix, size);
        return {RangeRequest::Kind::partial, {size - length, length}};
    }
    auto start = digits(first);
    if (!start) return whole;
    std::int64_t end = size - 1;
    if (!last.empty()) {
        auto stop = digits(last);
        if (!stop || *stop < *start) return whole;
        end = std::min(*stop, size - 1);
    }
    if (*start >= size) return {RangeRequest::Kind::unsatisfiable, {}};
    return {RangeRequest::Kind::partial, {*start, end - *start + 1}};
}

}  // namespace tw::server
