#include "mount/cache_index.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

#include "mount/cache_sidecar.h"

namespace tw::mount {

CacheIndex::CacheIndex(std::filesystem::path folder, std::int64_t maxBytes)
    : folder_(std::move(folder)), maxBytes_(maxBytes) {}

std::filesystem::path CacheIndex::dataPath(const std::string& stem) const {
    return folder_ / (stem + std::string(dataSuffix));
}

std::filesystem::path CacheIndex::rangesPath(const std::string& stem) const {
    return folder_ / (stem + std::string(rangesSuffix));
}

void CacheIndex::insert(const std::shared_ptr<CacheEntry>& entry) {
    byItem_.emplace(entry->key.identifier, entry);
    entry->lruPosition = lru_.insert(lru_.end(), entry);
    usedBytes_ += entry->dataBytes + entry->rangesBytes;
}

std::vector<std::shared_ptr<CacheEntry>> CacheIndex::entriesOf(const host::ItemIdentifier& identifier) const {
    std::vector<std::shared_ptr<CacheEntry>> entries;
    for (auto [it, last] = byItem_.equal_range(identifier); it != last; ++it)
        entries.push_back(it->second);
    return entries;
}

void CacheIndex::touch(CacheEntry& entry) {
    if (!entry.dropped) lru_.splice(lru_.end(), lru_, entry.lruPosition);
}

void CacheIndex::account(CacheEntry& entry, std::int64_t dataBytes, std::int64_t rangesBytes) {
    if (entry.counted) usedBytes_ += dataBytes + rangesBytes - entry.dataBytes - entry.rangesBytes;
    entry.dataBytes = dataBytes;
    entry.rangesBytes = rangesBytes;
}

void CacheIndex::rekey(const std::shared_ptr<CacheEntry>& entry, CacheKey key) {
    if (!entry->dropped && key.identifier != entry->key.identifier) {
        auto [first, last] = byItem_.equal_range(entry->key.identifier);
        for (auto it = first; it != last; ++it)
            if (it->second == entry) {
                byItem_.erase(it);
                break;
            }
        byItem_.emplace(key.identifier, entry);
    }
    entry->key = std::move(key);
}

void CacheIndex::opened(CacheEntry& entry) {
    ++entry.openHandles;
}

void CacheIndex::closed(CacheEntry& entry) {
    if (--entry.openHandles == 0 && entry.dropped) uncount(entry);
}

void CacheIndex::uncount(CacheEntry& entry) {
    account(entry, 0, 0);
    entry.counted = false;
}

void CacheIndex::drop(const std::shared_ptr<CacheEntry>& entry) {
    if (entry->dropped) return;
    auto [first, last] = byItem_.equal_range(entry->key.identifier);
    for (auto it = first; it != last; ++it) {
        if (it->second == entry) {
            byItem_.erase(it);
            break;
        }
    }
    lru_.erase(entry->lruPosition);
    entry->dropped = true;
    ::unlink(dataPath(*entry).c_str());
    ::unlink(rangesPath(*entry).c_str());
    if (entry->openHandles == 0) uncount(*entry);
}

bool CacheIndex::discard(const host::ItemIdentifier& identifier) {
    bool kept = false;
    for (const auto& entry : entriesOf(identifier)) {
        if (entry->localChanges)
            kept = true;
        else
            drop(entry);
    }
    return kept;
}

bool CacheIndex::evictable(const CacheEntry& entry) const {
    return !entry.localChanges && !entry.dropped && !kept_.contains(entry.key.identifier);
}

void CacheIndex::dropClosed(std::int64_t target) {
    for (auto it = lru_.begin(); usedBytes_ > target && it != lru_.end();) {
        const auto entry = *it++;
        if (entry->openHandles == 0 && evictable(*entry)) drop(entry);
    }
}

void CacheIndex::evict() {
    if (usedBytes_ > highWatermark()) dropClosed(lowWatermark());
}

bool CacheIndex::makeRoom(std::int64_t bytes, std::vector<Punch>& punches) {
    const auto coming = bytes + reserved_;  // what others made room for comes too
    if (usedBytes_ + coming <= highWatermark()) return reserve(bytes);
    const auto target = std::max<std::int64_t>(0, lowWatermark() - coming);
    dropClosed(target);
    std::int64_t freeing = 0;
    for (const auto& entry : lru_) {
        if (usedBytes_ - freeing <= target) break;
        if (entry->openHandles == 0 || !evictable(*entry)) continue;
        auto free = entry->present;
        for (const auto& [start, end] : entry->held)
            free.remove(start, end);
        // Nor bytes being fetched.
        for (const auto& claim : entry->fetching)
            free.remove(claim->start, claim->end);
        for (const auto& [start, end] : free.ranges()) {
            const auto take = std::min(end - start, usedBytes_ - freeing - target);
            // Whole blocks, so that the hole frees what it is counted for.
            const auto stop = take == end - start ? end : start + (take + 4095) / 4096 * 4096;
            const auto claim = std::make_shared<RangeFetch>(RangeFetch{start, std::min(stop, end)});
            entry->fetching.push_back(claim);
            entry->present.remove(claim->start, claim->end);
            ++entry->unpersistedChanges;
            punches.push_back({entry, claim});
            freeing += claim->end - claim->start;
            if (usedBytes_ - freeing <= target) break;
        }
    }
    return usedBytes_ - freeing + coming <= maxBytes_ && reserve(bytes);
}

bool CacheIndex::reserve(std::int64_t bytes) {
    reserved_ += bytes;
    return true;
}

}  // namespace tw::mount
