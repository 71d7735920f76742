#include "server/upload_gates.h"

namespace tw::server {

UploadGates::Claim::Claim(Claim&& other) noexcept
    : gates_(other.gates_), uploadId_(std::move(other.uploadId_)), part_(other.part_) {
    other.gates_ = nullptr;
}

UploadGates::Claim::~Claim() {
    if (gates_) gates_->release(uploadId_, part_);
}

UploadGates::Claim UploadGates::claimPart(const std::string& uploadId, std::int64_t part) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        auto found = uploads_.find(uploadId);
        return found == uploads_.end() || (!found->second.completing && !found->second.parts.count(part));
    });
    uploads_[uploadId].parts.insert(part);
    return Claim(this, uploadId, part);
}

UploadGates::Claim UploadGates::claimCompletion(const std::string& uploadId) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !uploads_[uploadId].completing; });
    uploads_[uploadId].completing = true;
    changed_.wait(lock, [&] { return uploads_[uploadId].parts.empty(); });
    return Claim(this, uploadId, std::nullopt);
}

void UploadGates::release(const std::string& uploadId, std::optional<std::int64_t> part) {
    {
        std::scoped_lock lock(mutex_);
        auto found = uploads_.find(uploadId);
        if (found == uploads_.end()) return;
        if (part) {
            found->second.parts.erase(*part);
        } else {
            found->second.completing = false;
        }
        if (!found->second.completing && found->second.parts.empty()) uploads_.erase(found);
    }
    changed_.notify_all();
}

}  // namespace tw::server
