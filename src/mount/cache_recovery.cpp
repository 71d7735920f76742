#include "mount/cache_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <system_error>

#include "mount/cache_io.h"
#include "mount/cache_sidecar.h"
#include "mount/mount_log.h"

namespace tw::mount {

namespace {

namespace fs = std::filesystem;

// The entry a sidecar describes, when its data file agrees with it.
std::shared_ptr<CacheEntry> adopt(const CacheIndex& index, const std::string& stem, const fs::path& sidecar) {
    const auto text = readSmallFile(sidecar);
    auto record = text ? decodeSidecar(*text) : std::nullopt;
    if (!record || stemFor(record->key) != stem) return nullptr;
    auto entry = std::make_shared<CacheEntry>();
    entry->name = stem;
    const auto dataFile = index.dataPath(*entry);
    std::error_code error;
    const auto dataSize = static_cast<std::int64_t>(fs::file_size(dataFile, error));
    if (error) return nullptr;
    if (dataSize != record->key.size) {
        if (!record->localChanges || dataSize < record->key.size) return nullptr;
        if (::truncate(dataFile.c_str(), record->key.size) != 0) return nullptr;
        cacheLog().info("a cache file with local changes is cut back to its recorded size: " + stem);
    }
    entry->key = std::move(record->key);
    entry->present = std::move(record->present);
    entry->localChanges = record->localChanges;
    entry->dataBytes = diskBytesOf(dataFile);
    entry->rangesBytes = diskBytesOf(sidecar);
    return entry;
}

}  // namespace

std::vector<std::shared_ptr<CacheEntry>> recoverEntries(const CacheIndex& index) {
    struct Adopted {
        std::shared_ptr<CacheEntry> entry;
        fs::file_time_type written;
    };
    std::vector<Adopted> adopted;
    std::vector<fs::path> removed;
    std::vector<std::string> dataStems;
    for (const auto& item : fs::directory_iterator(index.folder())) {
        const auto name = item.path().filename().string();
        const auto stem = name.substr(0, std::min<std::size_t>(64, name.size()));
        if (!isStem(stem)) continue;
        const std::string_view suffix = std::string_view(name).substr(64);
        if (suffix == dataSuffix) {
            dataStems.push_back(stem);
        } else if (suffix == rangesSuffix) {
            if (auto entry = adopt(index, stem, item.path())) {
                std::error_code ignored;
                adopted.push_back({std::move(entry), fs::last_write_time(index.dataPath(stem), ignored)});
            } else {
                removed.push_back(item.path());
            }
        } else if (suffix.starts_with(rangesSuffix) && suffix.ends_with(temporarySuffix)) {
            removed.push_back(item.path());
        }
    }
    std::sort(adopted.begin(), adopted.end(),
              [](const auto& a, const auto& b) { return a.written < b.written; });
    std::vector<std::shared_ptr<CacheEntry>> entries;
    for (auto& [entry, written] : adopted) {
        std::erase(dataStems, entry->name);
        entries.push_back(std::move(entry));
    }
    for (const auto& stem : dataStems)
        removed.push_back(index.dataPath(stem));
    for (const auto& file : removed) {
        cacheLog().info("removing a cache file that is incomplete or damaged: " + file.filename().string());
        std::error_code ignored;
        fs::remove(file, ignored);
    }
    return entries;
}

}  // namespace tw::mount
