#pragma once
// What a running mount says of itself: the changes made on it that the service does not have yet, whether
// the service answers, and when the change feed was last followed to its end.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tw::mount {

// The state of one file's changes, as the xattr user.tidewright.state and `tidewright status` name it.
enum class UploadState { uploaded, pending, uploading, failed, localOnly };

// "uploaded", "pending", "uploading", "failed", "local-only".
const char* nameOf(UploadState state);

struct PendingEntry {
    std::string path;  // on the mount, from its root, without a leading "/"
    UploadState state = UploadState::pending;
    int attempts = 0;       // uploads tried and failed so far
    std::string lastError;  // the last failure in words; empty when none
};

struct MountStatus {
    // Every change not uploaded yet, and every item kept on this machine only (local-only); in path order.
    std::vector<PendingEntry> entries;
    bool reachable = true;  // the service answered the last call made to it
    bool offline = false;   // the service cannot be reached: what needs it fails at once until it answers
    std::optional<std::chrono::system_clock::time_point> lastSync;
    std::int64_t cacheBytes = 0;  // the disk space the content cache's files take
    std::int64_t cacheLimit = 0;  // what it keeps at most of files no one has open (0: not said)

    // Nothing waits to be uploaded (local-only items never are).
    bool allUploaded() const;
    // How many entries wait to be uploaded (pending, uploading or failed).
    int waiting() const;
};

}  // namespace tw::mount
