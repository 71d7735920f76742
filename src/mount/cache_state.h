#pragma once
// What the content cache and its handles share.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <utility>

#include "mount/cache_index.h"
#include "mount/range_persister.h"

namespace tw::mount {

struct CacheState {
    CacheState(std::filesystem::path folder, std::int64_t maxBytes)
        : index(std::move(folder), maxBytes), persister(mutex, index) {}

    // With `mutex` held: the fetch is over (with `error` when it failed) and no longer claims its range; its
    // waiters are woken.
    void finish(CacheEntry& entry, RangeFetch& fetch, std::exception_ptr error) {
        fetch.done = true;
        fetch.error = std::move(error);
        std::erase_if(entry.fetching, [&](const auto& f) { return f.get() == &fetch; });
        fetched.notify_all();
    }

    std::mutex mutex;                     // guards the index and its entries
    std::condition_variable_any fetched;  // notified when a RangeFetch of any entry is done
    CacheIndex index;
    RangePersister persister;  // last: its thread ends before the rest goes
};

}  // namespace tw::mount
