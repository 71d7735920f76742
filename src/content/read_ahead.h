#pragma once
// The read-ahead of ranged reads: how far past the asked range a partial fetch reads, and how a long range
// is cut into pieces fetched at once.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "records/records.h"

namespace tw {

inline constexpr std::int64_t firstChunk = 262'144;       // a read that is not sequential
inline constexpr std::int64_t sequentialSlack = 262'144;  // how far past the last fetch a read may start
inline constexpr std::int64_t chunkFloor = 1 * MiB;       // smallest chunk of a sequential read
inline constexpr std::int64_t chunkCap = 32 * MiB;        // largest chunk
inline constexpr std::int64_t splitThreshold = 2 * MiB;   // ranges this long travel as pieces
inline constexpr std::int64_t pieceGranule = 16'384;      // piece lengths are a multiple of this
// An item's read-ahead state is dropped when another item's is stored after this long without a read.
inline constexpr std::chrono::minutes seqIdleLimit{10};

// One item's read-ahead, shared by the extension's table and the call using it; read and written only under
// the extension's lock.
struct SeqState {
    std::int64_t lastStart = -1;  // first byte of the last range fetched; -1 when none
    std::int64_t lastEnd = -1;    // its end (exclusive); -1 when none
    std::int64_t chunk = 0;       // the chunk chosen for the last read
    std::chrono::steady_clock::time_point touched = std::chrono::steady_clock::now();
};

// The chunk for a read at `location` (the asked one, not the aligned one), stored in `state.chunk`: 256 KiB
// unless the read starts within [lastStart, lastEnd + 256 KiB], where the previous chunk doubles from 1 MiB
// up to 32 MiB.
std::int64_t chooseChunk(SeqState& state, std::int64_t location);

// `value` rounded up to a multiple of `multiple` (1 or more); the largest multiple below 2^63 when that would
// overflow.
std::int64_t roundUp(std::int64_t value, std::int64_t multiple);

// [lower, upper) cut into consecutive pieces of (length / 4 rounded up to 16 KiB) bytes, the last one ending
// at `upper`: 4 pieces, or 5 when the rounding leaves a short tail.
std::vector<std::pair<std::int64_t, std::int64_t>> piecesOf(std::int64_t lower, std::int64_t upper);

// Removes the states that no read has touched for `seqIdleLimit` before `now`.
void dropIdle(std::map<std::string, std::shared_ptr<SeqState>>& seqs,
              std::chrono::steady_clock::time_point now);

}  // namespace tw
