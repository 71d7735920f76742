#pragma once

// Keeps apart the requests that write into one multipart upload's content file. Parts are written in
// place, so two requests for the same part must not write at once (the earlier one's late bytes could
// land over the later one's), and the completion must not take the file away while a part is being
// written into it. A wait lasts as long as the request it waits for, which the connection's read timeout
// bounds. Thread-safe.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

namespace tw::server {

class UploadGates {
public:
    // Held while a part is written or an upload completes; released on destruction.
    class Claim {
    public:
        Claim(Claim&& other) noexcept;
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        Claim& operator=(Claim&&) = delete;
        ~Claim();

    private:
        friend class UploadGates;
        Claim(UploadGates* gates, std::string uploadId, std::optional<std::int64_t> part)
            : gates_(gates), uploadId_(std::move(uploadId)), part_(part) {}
        UploadGates* gates_;
        std::string uploadId_;
        std::optional<std::int64_t> part_;  // absent: the completion
    };

    // Waits until no other request writes this part and the upload is not completing.
    Claim claimPart(const std::string& uploadId, std::int64_t part);
    // Waits until no part of the upload is being written and no other completion runs; parts that arrive
    // meanwhile wait for this one.
    Claim claimCompletion(const std::string& uploadId);

private:
    struct State {
        std::set<std::int64_t> parts;  // being written
        bool completing = false;
    };
    void release(const std::string& uploadId, std::optional<std::int64_t> part);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<std::string, State> uploads_;  // only uploads with a claim
};

}  // namespace tw::server
