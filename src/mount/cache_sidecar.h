#pragma once
// How the content cache names its files and records what each holds across restarts: the stem of a key's
// files, and the text of its sidecar (the key, whether the file holds local changes, the ranges present).

#include <optional>
#include <string>
#include <string_view>

#include "mount/byte_ranges.h"
#include "mount/content_cache.h"

namespace tw::mount {

// What a sidecar records of its cache file.
struct SidecarRecord {
    CacheKey key;  // `size` is the file's size, which local changes may have moved from the version's
    ByteRanges present;
    // The file holds bytes the service does not have: it is never evicted nor discarded, and it is whole
    // (every byte of [0, size) present).
    bool localChanges = false;
};

// A cache file's names: its stem, then one of these. A sidecar is written as "<stem>.ranges.<n>.tmp" and
// renamed into place.
inline constexpr std::string_view dataSuffix = ".data";
inline constexpr std::string_view rangesSuffix = ".ranges";
inline constexpr std::string_view temporarySuffix = ".tmp";

// The stem of a key's files: 64 hex digits of SHA-256 over the identifier and the version, so that no byte of
// either reaches a path. The size takes no part: a file keeps its names when its size changes.
std::string stemFor(const CacheKey& key);
bool isStem(std::string_view text);

// The sidecar's text: a header line, the key (bytes hex-encoded), the local-changes flag, one line per range
// and an end line, so that a sidecar cut at any byte is told from a whole one.
std::string encodeSidecar(const SidecarRecord& record);
// Nothing when the text is not a whole sidecar (this format, or the earlier one without the flag and the
// end line), a range lies outside the file, or a file with local changes is not whole.
std::optional<SidecarRecord> decodeSidecar(std::string_view text);

}  // namespace tw::mount
