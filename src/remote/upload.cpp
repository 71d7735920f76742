// The file-content upload: one streamed request up to directMax bytes, a multipart upload above.
#include "remote/upload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/content_type.h"
#include "platform/file_descriptor.h"
#include "platform/task/task.h"
#include "platform/task/task_group.h"
#include "platform/text.h"
#include "remote/remote.h"

namespace tw {
namespace {

bool isValidUTF8(std::string_view text) {
    return decodeUTF8Lossy(text) == text;
}

// A 2xx reply that is not a node is the service's fault, reported as 502 "bad_response".
Node nodeOf(const std::string& body) {
    try {
        return decodeNode(body);
    } catch (const DecodeError&) {
        throw RemoteError::http(502, "bad_response");
    }
}

// Reads up to `length` bytes of the file from `offset` into `bytes`: fewer only when the file ends first.
// The file is opened for reading alone and closed before returning (a failure to close is of no interest to
// a reader).
void readPart(const std::filesystem::path& file, std::int64_t offset, std::int64_t length,
              std::string& bytes) {
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw std::system_error(errno, std::generic_category(), "cannot open the file to upload");
    bytes.resize(
        static_cast<std::size_t>(length));  // within the capacity of the lane's buffer after its first part
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = ::pread(fd.get(), bytes.data() + filled, bytes.size() - filled,
                                  static_cast<off_t>(offset) + static_cast<off_t>(filled));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::system_error(errno, std::generic_category(), "cannot read the file to upload");
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
}

}  // namespace

Started decodeStarted(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) throw DecodeError("expected an object");
    const auto id = json.find("uploadId");
    if (id == json.end() || id->is_null()) throw DecodeError("key \"uploadId\": missing");
    if (!id->is_string()) throw DecodeError("key \"uploadId\": expected string");
    const auto partSize = json.find("partSize");
    if (partSize == json.end() || partSize->is_null()) throw DecodeError("key \"partSize\": missing");
    const bool fits =
        partSize->is_number_integer() &&
        !(partSize->is_number_unsigned() &&
          partSize->get<std::uint64_t>() > std::uint64_t{std::numeric_limits<std::int64_t>::max()});
    if (!fits) throw DecodeError("key \"partSize\": expected integer");
    return {id->get<std::string>(), partSize->get<std::int64_t>()};
}

void Progressor::didSendBodyData(std::int64_t, std::int64_t totalSent, std::int64_t) {
    if (progress) progress->setCompletedUnitCount(totalSent);
}

Node Remote::upload(const std::filesystem::path& file, std::int64_t size, const std::string& name,
                    const std::optional<std::string>& parent, const std::string& mime,
                    const std::optional<Replace>& replace, const std::string& conflict,
                    const std::shared_ptr<Progress>& progress) const {
    requireValidName(name);
    if (!isValidUTF8(mime)) throw RemoteError::http(0, "bad_mime");
    if (parent) requireSafeId(*parent);
    if (replace) requireSafeId(replace->id);

    if (size <= directMax) {
        std::string path = "/files?name=" + ency(name) + "&mime=" + ency(mime) + "&conflict=" + conflict;
        if (parent) path += "&parent=" + *parent;
        if (replace) path += "&replace=" + replace->id;
        http::Headers headers = {{"Content-Type", "application/octet-stream"}};
        if (replace) headers.emplace_back("If-Match", std::to_string(replace->version));
        http::Request post = request("POST", path, headers);
        post.sendOnce = true;
        Progressor progressor(progress);
        try {
            auto reply = session_->upload(post, file, &progressor);
            return nodeOf(check(std::move(reply.body), reply.response));
        } catch (...) {
            throw wrap(std::current_exception());
        }
    }

    nlohmann::json body = {
        {"name", name}, {"size", size}, {"mime", mime}, {"conflict", conflict}, {"partSize", partSizeAsked}};
    if (parent) body["parent"] = *parent;
    if (replace) {
        body["replace"] = replace->id;
        body["ifMatch"] = replace->version;
    }
    Started started;
    try {
        started = decodeStarted(send(request("POST", "/uploads", {}, json(body))));
    } catch (const DecodeError&) {
        throw RemoteError::http(502, "bad_response");
    }
    try {
        // The id goes into paths as it is: one that could address something else is never used, not even to
        // abort.
        requireSafeId(started.uploadId);
    } catch (const RemoteError&) {
        throw RemoteError::http(502, "bad_response");
    }
    try {
        // Each part is held in memory: a service's part size must not make the client allocate without bound.
        if (started.partSize < 1 || started.partSize > partSizeMax)
            throw RemoteError::http(502, "bad_response");
        return sendParts(file, size, started, progress);
    } catch (...) {
        RemoteError error = wrap(std::current_exception());
        abortUpload(started.uploadId);
        throw error;
    }
}

Node Remote::sendParts(const std::filesystem::path& file, std::int64_t size, const Started& started,
                       const std::shared_ptr<Progress>& progress) const {
    const std::int64_t partSize = started.partSize;
    const std::int64_t count = size / partSize + (size % partSize != 0 ? 1 : 0);
    {
        // A window of partsInFlight parts: each lane takes the next number once its own part has succeeded,
        // so part partsInFlight + 1 starts only after one of the first ones succeeded. A failure stops the
        // group's token, so no lane takes another number, and the running parts are cancelled. Each lane
        // reads its parts into one buffer of its own: the upload holds partsInFlight part buffers however
        // many parts there are, and the allocator never has to find room for a new one.
        std::atomic<std::int64_t> next{1};
        TaskGroup group;
        for (std::int64_t lane = 0; lane < std::min<std::int64_t>(partsInFlight, count); ++lane) {
            group.spawn([&] {
                const auto buffer = std::make_shared<std::string>();
                for (;;) {
                    checkCancellation();
                    const std::int64_t number = next.fetch_add(1);
                    if (number > count) return;
                    const std::int64_t offset = (number - 1) * partSize;
                    const std::int64_t length = std::min(partSize, size - offset);
                    putPart(started.uploadId, number, file, offset, length, buffer);
                    if (progress) progress->addCompletedUnitCount(length);
                }
            });
        }
        group.wait();
    }
    return nodeOf(send(request("POST", "/uploads/" + started.uploadId + "/complete", {}, "{}")));
}

void Remote::putPart(const std::string& uploadId, std::int64_t number, const std::filesystem::path& file,
                     std::int64_t offset, std::int64_t length,
                     const std::shared_ptr<std::string>& buffer) const {
    // Read once, however often it is sent.
    readPart(file, offset, length, *buffer);
    if (static_cast<std::int64_t>(buffer->size()) < length) throw RemoteError::http(0, "file_changed");
    const std::shared_ptr<const std::string> bytes = buffer;
    const std::string path = "/uploads/" + uploadId + "/parts/" + std::to_string(number);
    for (int retry = 0;; ++retry) {
        std::exception_ptr failed;
        try {
            http::Request put = request("PUT", path, {{"Content-Type", "application/octet-stream"}});
            put.sendOnce = true;  // the retries below are the only repeats
            auto reply = session_->upload(put, bytes);
            check(std::move(reply.body), reply.response);
            return;
        } catch (...) {
            failed = std::current_exception();
        }
        RemoteError error = wrap(failed);
        if (!error.isTransient() || retry == partRetries) throw error;
        sleepFor(partRetryPauseStep * (retry + 1));  // a cancelled pause throws CancellationError as it is
    }
}

void Remote::abortUpload(const std::string& uploadId) const noexcept {
    try {
        // Sent also when the call was cancelled, so the service drops the parts it holds; bounded in time
        // instead.
        detail::CurrentTokenScope uncancelled{std::stop_token()};
        http::Request del = request("DELETE", "/uploads/" + uploadId);
        del.deadline = abortTimeout;
        send(del);
    } catch (...) {
        // The failed step's error is what the caller learns; the abort's own outcome is of no use to it.
    }
}

std::string Remote::ency(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                                byte == '~';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string Remote::mimeType(std::string_view name) {
    if (const auto type = ContentType::fromFilenameExtension(pathExtension(name), ContentType::data()))
        if (auto mime = type->preferredMIMEType()) return *mime;
    return "application/octet-stream";
}

void Remote::requireValidName(std::string_view name) {
    if (!isValidUTF8(name)) throw RemoteError::http(0, "bad_name");
}

}  // namespace tw
