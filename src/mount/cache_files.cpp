#include "mount/cache_files.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <stdexcept>

namespace tw::mount {

namespace {

constexpr std::string_view sidecarHeader = "tidewright cache ranges 1";

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::optional<std::string> unhex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc() || end != text.data() + i + 2) return std::nullopt;
        bytes += static_cast<char>(value);
    }
    return bytes;
}

std::optional<std::int64_t> parseNumber(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

}  // namespace

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

std::int64_t ByteRanges::presentUntil(std::int64_t offset) const {
    auto it = ranges_.upper_bound(offset);
    if (it == ranges_.begin()) return offset;
    --it;
    return std::max(offset, it->second);
}

std::string stemFor(const CacheKey& key) {
    std::string input = std::to_string(key.identifier.size()) + ':' + key.identifier + key.contentVersion;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return hex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

bool isStem(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string encodeSidecar(const CacheKey& key, const ByteRanges& present) {
    std::string text(sidecarHeader);
    text +=
        '\n' + hex(key.identifier) + '\n' + hex(key.contentVersion) + '\n' + std::to_string(key.size) + '\n';
    for (const auto& [start, end] : present.ranges())
        text += std::to_string(start) + ' ' + std::to_string(end) + '\n';
    return text;
}

std::optional<std::pair<CacheKey, ByteRanges>> decodeSidecar(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        if (newline == std::string_view::npos) return std::nullopt;  // a torn last line
        lines.push_back(text.substr(0, newline));
        text.remove_prefix(newline + 1);
    }
    if (lines.size() < 4 || lines[0] != sidecarHeader) return std::nullopt;
    const auto identifier = unhex(lines[1]);
    const auto version = unhex(lines[2]);
    const auto size = parseNumber(lines[3]);
    if (!identifier || !version || !size) return std::nullopt;
    std::pair<CacheKey, ByteRanges> result{CacheKey{*identifier, *version, *size}, {}};
    for (std::size_t i = 4; i < lines.size(); ++i) {
        const auto space = lines[i].find(' ');
        if (space == std::string_view::npos) return std::nullopt;
        const auto start = parseNumber(lines[i].substr(0, space));
        const auto end = parseNumber(lines[i].substr(space + 1));
        if (!start || !end || *start >= *end || *end > *size) return std::nullopt;
        result.second.add(*start, *end);
    }
    return result;
}

}  // namespace tw::mount
