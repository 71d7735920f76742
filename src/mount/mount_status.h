#pragma once
// What a running mount says of itself: the changes made on it that the service does not have yet, whether
// the service answers, and when the change feed was last followed to its end.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tw::mount {

// The state of one file's changes, as the xattr user.tidewright.state and `tidewright status` name it; a
// file with none that is pinned and wholly downloaded is `pinned`.
enum class UploadState { uploaded, pending, uploading, failed, localOnly, pinned };

// "uploaded", "pending", "uploading", "failed", "local-only", "pinned".
const char* nameOf(UploadState state);

struct PendingEntry {
    std::string path;  // on the mount, from its root, without a leading "/"
    UploadState state = UploadState::pending;
    int attempts = 0;       // uploads tried and failed so far
    std::string lastError;  // the last failure in words; empty when none
};

// How far the pinned items are downloaded.
struct PinProgress {
    int pins = 0;   // items pinned (files and folders)
    int files = 0;  // the files they hold
    std::int64_t pinnedBytes = 0;
    std::int64_t presentBytes = 0;  // of those, in the cache at their latest version
    // Every pinned file is wholly present at the version last heard of, and no walk of them is due.
    bool complete = true;
    std::string lastError;  // why the last walk did not end; empty when it did
};

struct MountStatus {
    // Every change not uploaded yet, and every item kept on this machine only (local-only); in path order.
    std::vector<PendingEntry> entries;
    bool reachable = true;  // the service answered the last call made to it
    bool offline = false;   // the service cannot be reached: what needs it fails at once until it answers
    std::optional<std::chrono::system_clock::time_point> lastSync;
    std::int64_t cacheBytes = 0;  // the disk space the content cache's files take
    std::int64_t cacheLimit = 0;  // what it keeps at most of files no one has open (0: not said)
    PinProgress pinned;

    // Nothing waits to be uploaded (local-only items never are).
    bool allUploaded() const;
    // How many entries wait to be uploaded (pending, uploading or failed).
    int waiting() const;
};

}  // namespace tw::mount
