#pragma once
// The byte ranges a cache file holds.

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace tw::mount {

// Disjoint half-open byte ranges [start, end), merged when they touch. Not thread-safe: the content cache
// guards each file's ranges with its own mutex.
class ByteRanges {
public:
    using Range = std::pair<std::int64_t, std::int64_t>;

    void add(std::int64_t start, std::int64_t end);
    // Drops [start, end) (ranges across its ends are cut there).
    void remove(std::int64_t start, std::int64_t end);
    // Drops every byte at or after `end` (a range across it is cut there).
    void truncate(std::int64_t end);
    // The parts of [start, end) that the set lacks, in order.
    std::vector<Range> missing(std::int64_t start, std::int64_t end) const;
    // How many bytes of [start, end) the set holds.
    std::int64_t count(std::int64_t start, std::int64_t end) const;
    // Where the run of present bytes that holds `offset` ends; `offset` itself when that byte is missing.
    std::int64_t presentUntil(std::int64_t offset) const;
    const std::map<std::int64_t, std::int64_t>& ranges() const { return ranges_; }

private:
    std::map<std::int64_t, std::int64_t> ranges_;
};

}  // namespace tw::mount
