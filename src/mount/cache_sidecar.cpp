#include "mount/cache_sidecar.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <span>
#include <stdexcept>
#include <vector>

namespace tw::mount {

namespace {

constexpr std::string_view sidecarHeader = "tidewright cache ranges 2";
// Written before files could hold local changes: no flag line, no end line.
constexpr std::string_view firstSidecarHeader = "tidewright cache ranges 1";
constexpr std::string_view localChangesLine = "local-changes 1";
constexpr std::string_view noLocalChangesLine = "local-changes 0";
constexpr std::string_view endLine = "end";

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

std::string encodeSidecar(const SidecarRecord& record) {
    const auto& key = record.key;
    std::string text(sidecarHeader);
    text +=
        '\n' + hex(key.identifier) + '\n' + hex(key.contentVersion) + '\n' + std::to_string(key.size) + '\n';
    text += record.localChanges ? localChangesLine : noLocalChangesLine;
    text += '\n';
    for (const auto& [start, end] : record.present.ranges())
        text += std::to_string(start) + ' ' + std::to_string(end) + '\n';
    text += endLine;
    text += '\n';
    return text;
}

std::optional<SidecarRecord> decodeSidecar(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        if (newline == std::string_view::npos) return std::nullopt;  // a torn last line
        lines.push_back(text.substr(0, newline));
        text.remove_prefix(newline + 1);
    }
    if (lines.size() < 4) return std::nullopt;
    const bool first = lines[0] == firstSidecarHeader;
    if (!first && lines[0] != sidecarHeader) return std::nullopt;
    const auto identifier = unhex(lines[1]);
    const auto version = unhex(lines[2]);
    const auto size = parseNumber(lines[3]);
    if (!identifier || !version || !size) return std::nullopt;
    SidecarRecord record{CacheKey{*identifier, *version, *size}, {}, false};
    auto rangeLines = std::span(lines).subspan(4);
    if (!first) {
        if (rangeLines.size() < 2 || rangeLines.back() != endLine) return std::nullopt;
        if (rangeLines.front() == localChangesLine)
            record.localChanges = true;
        else if (rangeLines.front() != noLocalChangesLine)
            return std::nullopt;
        rangeLines = rangeLines.subspan(1, rangeLines.size() - 2);
    }
    for (const auto line : rangeLines) {
        const auto space = line.find(' ');
        if (space == std::string_view::npos) return std::nullopt;
        const auto start = parseNumber(line.substr(0, space));
        const auto end = parseNumber(line.substr(space + 1));
        if (!start || !end || *start >= *end || *end > *size) return std::nullopt;
        record.present.add(*start, *end);
    }
    if (record.localChanges && !record.present.missing(0, *size).empty()) return std::nullopt;
    return record;
}

}  // namespace tw::mount
