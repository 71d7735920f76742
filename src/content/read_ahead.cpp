#include "content/read_ahead.h"

#include <algorithm>
#include <limits>

namespace tw {

std::int64_t chooseChunk(SeqState& state, std::int64_t location) {
    const bool sequential =
        state.lastEnd >= 0 && state.lastStart <= location && location <= state.lastEnd + sequentialSlack;
    state.chunk = sequential ? std::min(chunkCap, std::max(chunkFloor, 2 * state.chunk)) : firstChunk;
    return state.chunk;
}

std::int64_t roundUp(std::int64_t value, std::int64_t multiple) {
    const std::int64_t remainder = value % multiple;
    if (remainder == 0) return value;
    std::int64_t rounded = 0;
    if (__builtin_add_overflow(value, multiple - remainder, &rounded)) {
        const auto max = std::numeric_limits<std::int64_t>::max();
        return max - max % multiple;
    }
    return rounded;
}

std::vector<std::pair<std::int64_t, std::int64_t>> piecesOf(std::int64_t lower, std::int64_t upper) {
    const std::int64_t piece = roundUp((upper - lower) / 4, pieceGranule);
    std::vector<std::pair<std::int64_t, std::int64_t>> pieces;
    for (std::int64_t start = lower; start < upper; start += piece)
        pieces.emplace_back(start, std::min(upper, start + piece));
    return pieces;
}

void dropIdle(std::map<std::string, std::shared_ptr<SeqState>>& seqs,
              std::chrono::steady_clock::time_point now) {
    std::erase_if(seqs, [now](const auto& entry) { return now - entry.second->touched >= seqIdleLimit; });
}

}  // namespace tw
