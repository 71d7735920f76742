#include "mount/byte_ranges.h"

#include <algorithm>
#include <iterator>

namespace tw::mount {

void ByteRanges::add(std::int64_t start, std::int64_t end) {
    if (start >= end) return;
    auto it = ranges_.upper_bound(start);
    if (it != ranges_.begin() && std::prev(it)->second >= start) {
        --it;
        start = it->first;
        end = std::max(end, it->second);
        it = ranges_.erase(it);
    }
    while (it != ranges_.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = ranges_.erase(it);
    }
    ranges_.emplace(start, end);
}

void ByteRanges::remove(std::int64_t start, std::int64_t end) {
    if (start >= end) return;
    auto it = ranges_.upper_bound(start);
    if (it != ranges_.begin() && std::prev(it)->second > start) {
        --it;
        const auto [from, to] = *it;
        it->second = start;
        if (to > end) ranges_.emplace(end, to);
        if (from == start) ranges_.erase(from);
        it = ranges_.upper_bound(start);
    }
    while (it != ranges_.end() && it->first < end) {
        const auto to = it->second;
        it = ranges_.erase(it);
        if (to > end) {
            ranges_.emplace(end, to);
            break;
        }
    }
}

void ByteRanges::truncate(std::int64_t end) {
    ranges_.erase(ranges_.lower_bound(end), ranges_.end());
    if (!ranges_.empty()) {
        auto& last = std::prev(ranges_.end())->second;
        last = std::min(last, end);
    }
}

std::vector<ByteRanges::Range> ByteRanges::missing(std::int64_t start, std::int64_t end) const {
    std::vector<Range> gaps;
    auto it = ranges_.upper_bound(start);
    if (it != ranges_.begin()) --it;
    auto cursor = start;
    for (; it != ranges_.end() && it->first < end && cursor < end; ++it) {
        if (it->second <= cursor) continue;
        if (it->first > cursor) gaps.emplace_back(cursor, it->first);
        cursor = it->second;
    }
    if (cursor < end) gaps.emplace_back(cursor, end);
    return gaps;
}

std::int64_t ByteRanges::count(std::int64_t start, std::int64_t end) const {
    auto held = std::max<std::int64_t>(0, end - start);
    for (const auto& [from, to] : missing(start, end))
        held -= to - from;
    return held;
}

std::int64_t ByteRanges::presentUntil(std::int64_t offset) const {
    auto it = ranges_.upper_bound(offset);
    if (it == ranges_.begin()) return offset;
    --it;
    return std::max(offset, it->second);
}

}  // namespace tw::mount
