#pragma once
// How the content cache keeps its files: the byte ranges a cache file holds, the name of its files, and the
// sidecar text that records its key and ranges across restarts.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mount/content_cache.h"

namespace tw::mount {

// Disjoint half-open byte ranges [start, end), merged when they touch.
class ByteRanges {
public:
    using Range = std::pair<std::int64_t, std::int64_t>;

    void add(std::int64_t start, std::int64_t end);
    // The parts of [start, end) that the set lacks, in order.
    std::vector<Range> missing(std::int64_t start, std::int64_t end) const;
    // Where the run of present bytes that holds `offset` ends; `offset` itself when that byte is missing.
    std::int64_t presentUntil(std::int64_t offset) const;
    const std::map<std::int64_t, std::int64_t>& ranges() const { return ranges_; }

private:
    std::map<std::int64_t, std::int64_t> ranges_;
};

// The stem of a key's files: 64 hex digits of SHA-256 over the identifier and the version, so that no byte of
// either reaches a path.
std::string stemFor(const CacheKey& key);
bool isStem(std::string_view text);

// The sidecar's text: the key (bytes hex-encoded) and one line per range.
std::string encodeSidecar(const CacheKey& key, const ByteRanges& present);
// Nothing when the text is not a whole sidecar of this format, or a range lies outside the file.
std::optional<std::pair<CacheKey, ByteRanges>> decodeSidecar(std::string_view text);

}  // namespace tw::mount
