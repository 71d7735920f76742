#pragma once
// The files and folders the kernel holds open on the mount, each under the number its fuse_file_info::fh
// carries. A handle is shared: a request under way keeps it alive while the kernel releases it on another
// thread. The registry owns what the kernel never releases (a file still open when the mount ends).
//
// Thread-safe.

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "mount/content_cache.h"
#include "mount/write_back.h"
#include "platform/host/item.h"

namespace tw::mount {

// A .trashinfo that a file manager writes into the trash's info folder, kept in memory.
struct Draft {
    std::mutex mutex;
    std::string bytes;
};

// An open file: a cache handle on one content version of an item, its local file when it holds changes made
// here (then `contents` is the local file's and its size moves), the text of a generated .trashinfo, or a
// draft.
struct OpenFile {
    host::ItemIdentifier identifier;
    host::ItemVersion version;
    std::int64_t size = 0;
    std::shared_ptr<ContentCache::Handle> contents;  // none for a generated file
    std::shared_ptr<LocalFile> local;
    bool writable = false;  // opened for writing: a writer of `local` (or of `draft`)
    std::string text;
    std::shared_ptr<Draft> draft;
};

// An open folder: its entries as they were when it was opened, so that offsets stay stable while it is read.
struct OpenFolder {
    struct Entry {
        std::string name;
        host::ItemIdentifier identifier;  // empty for "." and ".."
        mode_t type = S_IFDIR;            // as readdir's d_type shows it
    };
    std::vector<Entry> entries;
};

template <typename Object>
class OpenHandles {
public:
    // The number the kernel will hand back; never 0, never given twice.
    std::uint64_t add(std::shared_ptr<const Object> object) {
        std::scoped_lock lock(mutex_);
        const auto number = next_++;
        open_.emplace(number, std::move(object));
        return number;
    }
    // Null for a number that is not open.
    std::shared_ptr<const Object> find(std::uint64_t number) const {
        std::scoped_lock lock(mutex_);
        const auto found = open_.find(number);
        return found == open_.end() ? nullptr : found->second;
    }
    void remove(std::uint64_t number) {
        std::shared_ptr<const Object>
            object;  // destroyed outside the lock (a cache handle waits for its fetches)
        std::scoped_lock lock(mutex_);
        if (const auto found = open_.find(number); found != open_.end()) {
            object = std::move(found->second);
            open_.erase(found);
        }
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::uint64_t, std::shared_ptr<const Object>> open_;
    std::uint64_t next_ = 1;
};

}  // namespace tw::mount
