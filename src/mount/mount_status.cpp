#include "mount/mount_status.h"

#include <algorithm>

namespace tw::mount {

const char* nameOf(UploadState state) {
    switch (state) {
        case UploadState::uploaded:
            return "uploaded";
        case UploadState::pending:
            return "pending";
        case UploadState::uploading:
            return "uploading";
        case UploadState::failed:
            return "failed";
        case UploadState::localOnly:
            return "local-only";
        case UploadState::pinned:
            return "pinned";
    }
    return "pending";
}

int MountStatus::waiting() const {
    return static_cast<int>(std::count_if(entries.begin(), entries.end(), [](const PendingEntry& entry) {
        return entry.state == UploadState::pending || entry.state == UploadState::uploading ||
               entry.state == UploadState::failed;
    }));
}

bool MountStatus::allUploaded() const {
    return waiting() == 0;
}

}  // namespace tw::mount
