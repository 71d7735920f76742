#pragma once
// The delegate of one whole-file download: reports the bytes written so far to the host's progress.

#include <memory>

#include "platform/http/session.h"
#include "platform/progress.h"

namespace tw {

class DownloadProgress : public http::TaskDelegate {
public:
    explicit DownloadProgress(std::shared_ptr<Progress> progress) : progress(std::move(progress)) {}

    // Called on one of the session's I/O threads: sets the completed count to `totalWritten`, nothing else.
    void didWriteData(std::int64_t, std::int64_t totalWritten, std::int64_t) override {
        progress->setCompletedUnitCount(totalWritten);
    }

    const std::shared_ptr<Progress> progress;
};

}  // namespace tw
