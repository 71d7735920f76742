#pragma once
// The content cache at start: what the files left by an earlier run still hold.

#include <memory>
#include <vector>

#include "mount/cache_index.h"

namespace tw::mount {

// Reads the index's folder: adopts each pair of data file and sidecar that agree, and removes the cache's own
// files that do not (a data file without a whole sidecar, a sidecar without its data file or of another
// size, a temporary sidecar). A file holding local changes whose data file is longer than its record is cut
// to it: a size change that had not been recorded when the process ended. Files of other names are not the
// cache's and stay. Returns the adopted entries, least recently written first, not yet inserted.
std::vector<std::shared_ptr<CacheEntry>> recoverEntries(const CacheIndex& index);

}  // namespace tw::mount
