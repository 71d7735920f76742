#pragma once
// The client of the service's HTTP API: one per configured domain, shared by every task of the extension.
//
// Immutable after construction and safe to use from any number of threads at once. Every failure that
// leaves it is a RemoteError, except the task-cancellation error of a retry pause that was interrupted.

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/http/session.h"
#include "platform/progress.h"
#include "records/config.h"
#include "records/records.h"
#include "remote/remote_error.h"
#include "remote/upload.h"

namespace tw {

// A device identity issued by the service when a device is paired.
struct Device {
    std::string id;
    std::string token;  // the device's access token; never written to a log or an error message
};

class Remote {
public:
    static constexpr std::string_view apiPath = "/api/v1";
    static constexpr std::string_view userAgent = "Tidewright-macOS/0.1";
    static constexpr std::int64_t directMax = 8'388'608;      // largest direct upload, in bytes
    static constexpr std::int64_t partSizeAsked = 8'388'608;  // part size proposed for multipart uploads
    static constexpr int maxAttempts = 3;                     // of a request sent with retry
    static constexpr std::string_view cloudRevokePath = "/api/cloud/auth/app/revoke";
    static constexpr std::chrono::seconds cloudRevokeTimeout{10};

    // Throws std::invalid_argument when the base or the token holds a control character: such a value could
    // forge a header or a URL, and is never sent.
    explicit Remote(Config config);
    // The same, with every request served only by `protocolClasses` instead of the network.
    Remote(Config config, std::vector<std::shared_ptr<http::Transport>> protocolClasses);

    const Config& config() const { return config_; }
    http::Session& session() const { return *session_; }

    // `config.base` followed by `path`, as text; a text that is not a URL gives a placeholder address on
    // which every request fails as a network failure. Never fails itself.
    std::string url(std::string_view path) const;

    // The download address of an open record's `url`: url(path), once it is sure to reach the API's own
    // origin. Refused before anything is sent, with the client error (status 0) "bad_url", never retried:
    // a path that does not start with exactly one '/', or that holds a '\\', a control character or an '@'
    // before its query, or whose address is not a URL or does not keep the base's scheme, host and port.
    std::string downloadURL(std::string_view path) const;

    // A request for "/api/v1" + `path` (query included): 60-second timeout, "Authorization" when `auth`,
    // "Content-Type: application/json" when a body is given, then `headers`, each replacing one set before.
    http::Request request(std::string method, std::string_view path, const http::Headers& headers = {},
                          std::optional<std::string> body = std::nullopt, bool auth = true) const;

    // Sends the request and returns the body of a 2xx reply. With `retry`, a transient failure is sent
    // again, at most three times in all, after pauses of 0.6 s and 1.2 s; without it the request is sent
    // exactly once (the transport never re-sends it). Throws RemoteError, or CancellationError when the
    // task is cancelled during a pause. Each attempt ends with a time-out after the request's deadline, 5
    // minutes unless it sets one; a 2xx body larger than the request's memoryLimit fails at once, never
    // sent again, with 502 "too_large".
    std::string send(const http::Request& request, bool retry = false) const;

    // Compact JSON text of an object.
    static std::string json(const nlohmann::json& object);
    // The body of an HTTP 2xx reply; throws the matching RemoteError for anything else.
    static std::string check(std::string body, const http::Response& response);
    // The error for a non-2xx reply: code from the body's string "error", else "http_<status>"; the body's
    // JSON object (empty when the body is not one) as details. Of a body nested more than 64 levels deep
    // only the top level's members that are neither arrays nor objects are kept.
    static RemoteError failure(std::int64_t status, std::string_view body);
    // (These two settle the choice between a body text and a body file for string arguments.)
    static RemoteError failure(std::int64_t status, const std::string& body) {
        return failure(status, std::string_view(body));
    }
    static RemoteError failure(std::int64_t status, const char* body) {
        return failure(status, std::string_view(body));
    }
    // The same from a reply body in a file, of which at most the first 16,384 bytes are read.
    static RemoteError failure(std::int64_t status, const std::filesystem::path& bodyFile);
    // Any error as a RemoteError: a RemoteError unchanged; task cancellation or a cancelled URL request as
    // `cancelled`; anything else as `network`.
    static RemoteError wrap(std::exception_ptr error);

    // --- Metadata endpoints. Reads are sent with retry; the five mutations exactly once. A 2xx reply that
    // does not decode fails at once with the service error 502 "bad_response" (empty details). Ids and
    // cursors are inserted unencoded, after requireSafeId / requireSafeCursor; a name that is not UTF-8 is
    // refused by requireValidName.

    // GET /changes?since=SINCE&limit=LIMIT
    Changes changes(std::int64_t since, std::int64_t limit = 500) const;
    // GET /nodes/ID, with "?trashed=1" when `includeTrashed`.
    Node node(std::string_view id, bool includeTrashed = true) const;
    // GET /nodes?parent=PARENT|root&limit=500[&cursor=CURSOR]: one page of a folder's children.
    Listing list(const std::optional<std::string>& parent, const std::optional<std::string>& cursor) const;
    // GET /trash: the first page only; its "nextCursor" is not followed.
    std::vector<Node> trash() const;
    // POST /nodes {"name"[, "parent"]}
    Node createFolder(const std::string& name, const std::optional<std::string>& parent) const;
    // PATCH /nodes/ID with "If-Match". `parent`: absent leaves the parent alone; present and empty moves to
    // the top level ("root" on the wire); present with an id moves into that folder.
    Node patch(std::string_view id, const std::optional<std::string>& name,
               const std::optional<std::optional<std::string>>& parent, std::int64_t ifMatch) const;
    // DELETE /nodes/ID with "If-Match": to the trash. The reply body is not read.
    void trashNode(std::string_view id, std::int64_t ifMatch) const;
    // POST /nodes/ID/restore
    Node restore(std::string_view id) const;
    // DELETE /trash/ID: gone for good. The reply body is not read.
    void purge(std::string_view id) const;
    // POST /nodes/ID/open: fresh metadata and a short-lived download address.
    Opened open(std::string_view id) const;

    // --- Devices.

    // Pairs a new device: POST base + "/api/v1/auth/device" {"secret","name","kind":"macos"}, sent once
    // without "Authorization" on a session of its own. Any 2xx whose body is an object with string "id" and
    // "token" gives the device; another 2xx fails with 502 "bad_response". A base that does not make an
    // http or https URL fails as a network failure without a request. Every error is a RemoteError (wrap);
    // none of them quotes the secret.
    static Device registerDevice(const std::string& base, const std::string& secret, const std::string& name);
    // Withdraws the configured device, sent once: POST cloudRevokePath {} (10 s) for a cloud configuration,
    // else DELETE /devices/DEVICEID. True only for a 2xx reply; never throws, logs nothing. A device id that
    // requireSafeId refuses (the empty one included) sends nothing and gives false: the request would
    // address the whole collection, or another path.
    bool revokeDevice() const;
    // The same request, answering why it failed: the reply's status (200 for any 2xx), or 0 when there was
    // no HTTP reply or nothing was sent.
    std::int64_t revokeDeviceStatus() const;

    // --- Upload (upload.cpp).

    static constexpr int partsInFlight = 4;
    static constexpr int partRetries = 3;  // further attempts after a part's first
    static constexpr std::chrono::milliseconds partRetryPauseStep{800};  // 0.8 s, 1.6 s, 2.4 s
    // Largest part size taken from the service: each part is held in memory, partsInFlight at once.
    static constexpr std::int64_t partSizeMax = 1024 * MiB;
    // An abort is also sent for a cancelled call, which must not wait on it for long.
    static constexpr std::chrono::seconds abortTimeout{10};

    // Sends the first `size` bytes of `file` as `name` and returns the node the service made or replaced.
    // The file is only read, never changed.
    //
    // Up to directMax bytes (inclusive): POST /files?name=&mime=&conflict=[&parent=][&replace=] (name and
    // mime percent-encoded by ency, the rest as they are), the body streamed from the file, "If-Match" when
    // replacing; progress's completed count follows the bytes sent. Above: POST /uploads, then the parts
    // with the service's part size (PUT /uploads/ID/parts/N, ascending, at most partsInFlight at once, each
    // read from the file once and, after a transient failure, sent again up to partRetries times after
    // 0.8, 1.6 and 2.4 s), then POST /uploads/ID/complete; progress grows by a part's length when the part
    // has succeeded. After any failure past the start, DELETE /uploads/ID is sent (also when the call was
    // cancelled; its outcome is ignored) and the failed step's error is thrown. Apart from part retries,
    // every request reaches the service at most once.
    //
    // Throws RemoteError: before any request, 0 "bad_name" for a name that is not UTF-8, 0 "bad_mime" for
    // such a mime, "bad_id" for an unsafe parent or replace id; 0 "file_changed" when the file is shorter
    // than `size`; 502 "bad_response" for a reply that is not the expected record, which includes a start
    // whose "partSize" is not within 1..partSizeMax or whose "uploadId" requireSafeId refuses (no abort is
    // sent to such an id).
    Node upload(const std::filesystem::path& file, std::int64_t size, const std::string& name,
                const std::optional<std::string>& parent, const std::string& mime,
                const std::optional<Replace>& replace = std::nullopt, const std::string& conflict = "fail",
                const std::shared_ptr<Progress>& progress = nullptr) const;

    // The text with every byte outside RFC 3986's unreserved characters (letters, digits, "-._~") written
    // as "%" and two upper-case hexadecimal digits.
    static std::string ency(std::string_view text);
    // The preferred MIME type of the name's extension (pathExtension) in the system's content-type
    // registry, among the types that conform to data; "application/octet-stream" when there is none.
    static std::string mimeType(std::string_view name);

    // A name travels as UTF-8 text (JSON, query); one that is not valid UTF-8 (a Linux file name is any
    // bytes) is refused before anything is sent, with the client error (status 0) "bad_name".
    static void requireValidName(std::string_view name);

    // An id goes into a path (or a "parent"/"replace" query value) as it is, so one that could leave its
    // place is refused before anything is sent, with the client error (status 0) "bad_id": empty, "." or
    // "..", or holding '/', '\\', '?', '#', a space or a control character; also '%' (a server that
    // decodes the path would read "%2e%2e" or "%2f" as a way out) and '&' (it would add a query parameter).
    static void requireSafeId(std::string_view id);
    // A cursor goes into a query as it is; one holding '&', '#', a space or a control character is refused
    // with "bad_cursor".
    static void requireSafeCursor(std::string_view cursor);

private:
    // One part: reads it from the file once into `buffer`, then sends it with the part retries. The session
    // shares the buffer only while a request runs. Throws the part's error unwrapped when it is the file's
    // (or a pause's CancellationError); the caller wraps it.
    void putPart(const std::string& uploadId, std::int64_t number, const std::filesystem::path& file,
                 std::int64_t offset, std::int64_t length, const std::shared_ptr<std::string>& buffer) const;
    // Throws the wrapped failure of a part or of the completion.
    Node sendParts(const std::filesystem::path& file, std::int64_t size, const Started& started,
                   const std::shared_ptr<Progress>& progress) const;
    // DELETE /uploads/ID once, even on a cancelled task; never throws.
    void abortUpload(const std::string& uploadId) const noexcept;

    Config config_;
    std::unique_ptr<http::Session> session_;
};

}  // namespace tw
