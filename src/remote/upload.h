#pragma once
// The values an upload exchanges besides the file itself: what it replaces, the service's answer to a
// multipart start, and the delegate that reports a direct upload's bytes.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/http/session.h"
#include "platform/progress.h"

namespace tw {

// Existing content being replaced: its node and the version the caller last saw (sent as "If-Match").
struct Replace {
    std::string id;
    std::int64_t version = 0;
};

// The service's answer to a multipart start.
struct Started {
    std::string uploadId;       // "uploadId"
    std::int64_t partSize = 0;  // "partSize": governs the split, whatever was asked
};

// Decodes a start reply: an object with string "uploadId" and integer "partSize" (64 signed bits), both
// required; unknown keys are ignored. Checks types only. Throws DecodeError.
Started decodeStarted(std::string_view json);

// The delegate of one upload task: sets the progress's completed count to the bytes sent so far (not an
// increment). Callbacks may come on any thread; they only store a number.
class Progressor : public http::TaskDelegate {
public:
    explicit Progressor(std::shared_ptr<Progress> progress) : progress(std::move(progress)) {}

    void didSendBodyData(std::int64_t bytesSent, std::int64_t totalSent, std::int64_t totalExpected) override;

    const std::shared_ptr<Progress> progress;  // none: nothing is reported
};

}  // namespace tw
