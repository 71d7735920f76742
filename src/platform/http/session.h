#pragma once
// The HTTP session: the connection pool and the I/O threads of every request of one API client.
//
// Transfers are received on a few I/O threads (`ioThreads`), each driving connections of its own: a
// transfer goes to the thread with the most room, so transfers that run at once (the pieces of one ranged
// read) arrive on more than one core, and a lone request reuses the first thread's connection.
//
// Each operation blocks its calling thread until the reply has arrived (or the transfer failed) and
// aborts within milliseconds when the calling task is cancelled, failing with URLError `cancelled`.
// Transport failures are URLErrors; any HTTP status is a reply, not an error. The session keeps no cookies
// and no cache, follows redirects (never from https to http, and at most `maxRedirects` of them), and sends
// an "Authorization" header only to the origin of the request's own URL.
//
// Only "http" and "https" URLs go out, and only as written: a URL without a scheme is never completed by
// guessing one, but fails with `unsupportedURL` before anything is looked up or sent, and the placeholder
// for a text that is not a URL (url.h) fails at once with `badURL`.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/http/url_error.h"

namespace tw::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

// The first header of that name (ASCII case-insensitive), if any.
std::optional<std::string> findHeader(const Headers& headers, std::string_view name);

struct Request {
    std::string url;
    std::string method = "GET";
    Headers headers;
    std::optional<std::string> body;   // sent from memory when present
    std::chrono::seconds timeout{60};  // longest wait for the next byte (connecting included)
    // Longest whole transfer; absent: the session's resourceTimeout. Passing it fails with `timedOut`.
    std::optional<std::chrono::milliseconds> deadline;
    // Most bytes of a 2xx reply body held in memory: a longer one fails with `dataLengthExceedsMaximum` (its
    // replyStatus the reply's) as soon as its Content-Length or the bytes received pass it. Bodies streamed
    // to a file are not bounded.
    std::int64_t memoryLimit = std::int64_t{64} << 20;
    // Deliver at most once: the transport never re-sends the request by itself. Such a request gets a fresh
    // connection that is closed after it, so a keep-alive connection that the server closed in the meantime
    // cannot make it reach the server twice. For requests that are not idempotent.
    bool sendOnce = false;

    // Sets `name` to `value`, replacing every header of that name (case-insensitive).
    void setHeader(std::string_view name, std::string value);
    std::optional<std::string> header(std::string_view name) const { return findHeader(headers, name); }
};

struct Response {
    bool isHTTP = true;  // false only for replies of substitute transports that speak no HTTP
    std::int64_t status = 0;
    Headers headers;  // of the final reply, after redirects
    std::string url;  // the final URL

    std::optional<std::string> header(std::string_view name) const { return findHeader(headers, name); }
};

// Told of bytes moving for one transfer. Called on one of the session's I/O threads: it must be quick, must
// not block and must not call into the session.
class TaskDelegate {
public:
    virtual ~TaskDelegate() = default;
    // After request body bytes left for the server. `totalExpected` is the body's size.
    virtual void didSendBodyData(std::int64_t bytesSent, std::int64_t totalSent, std::int64_t totalExpected);
    // After reply body bytes were stored. `totalExpected` is the announced length, or -1 when unknown.
    virtual void didWriteData(std::int64_t bytesWritten, std::int64_t totalWritten,
                              std::int64_t totalExpected);
};

struct DataReply {
    Response response;
    std::string body;
};

// A file that its owner deletes when done with it, unless released. Move-only.
class TemporaryFile {
public:
    TemporaryFile() = default;
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    TemporaryFile(TemporaryFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    TemporaryFile& operator=(TemporaryFile&& other) noexcept;
    ~TemporaryFile();

    const std::filesystem::path& path() const { return path_; }
    // Gives up ownership: the file stays, and the caller answers for it.
    std::filesystem::path release() { return std::exchange(path_, {}); }

private:
    std::filesystem::path path_;
};

struct DownloadReply {
    Response response;
    TemporaryFile file;  // the reply body, whatever the status
};

// A reply whose 2xx body went into the caller's file at an offset.
struct PlacedReply {
    Response response;
    std::string body;          // the body of a reply outside 2xx, as `data` keeps it; empty otherwise
    std::int64_t written = 0;  // bytes of a 2xx body written to the file
};

// A substitute for the network, for tests and other transports: when a session is given a list of them,
// it serves every request through the first that can handle it, and fails the others with
// `unsupportedURL`. Called on the requesting thread.
class Transport {
public:
    virtual ~Transport() = default;
    virtual bool canHandle(const Request& request) const = 0;
    // `body` is the request body, whichever way the caller gave it. Throws URLError for transport failures.
    virtual DataReply perform(const Request& request, std::string_view body) = 0;
};

struct SessionConfiguration {
    Headers additionalHeaders;                // added to every request, before the request's own
    std::int64_t maxConnectionsPerHost = 16;  // further transfers wait in the session's queue
    // Threads receiving transfers, at most one for each connection allowed: one thread copies one socket's
    // bytes at a time, and four at once are what one ranged read's pieces and an upload's parts use.
    std::int64_t ioThreads = 4;
    std::chrono::seconds resourceTimeout{86400};  // longest whole transfer
    long maxRedirects = 10;
    // Most bytes of a reply body held in memory whose status is not 2xx: the rest is not received.
    std::int64_t errorBodyLimit = 16'384;
    long receiveBufferSize = 512 * 1024;      // bytes; libcurl's default 16 KiB halves loopback throughput
    std::filesystem::path downloadDirectory;  // where downloads land; empty: the system's temporary folder
};

class Session {
public:
    explicit Session(SessionConfiguration configuration);
    Session(SessionConfiguration configuration, std::vector<std::shared_ptr<Transport>> substitutes);
    // Aborts the transfers still running. Callers must not use the session while or after it is destroyed.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const SessionConfiguration& configuration() const;

    // The reply body in memory.
    DataReply data(const Request& request, TaskDelegate* delegate = nullptr);
    // Streams the body from `file`, never holding it whole in memory. `request.body` is ignored.
    DataReply upload(const Request& request, const std::filesystem::path& file,
                     TaskDelegate* delegate = nullptr);
    // The body from memory.
    DataReply upload(const Request& request, std::string body, TaskDelegate* delegate = nullptr);
    // The body from memory shared with the caller and never copied, so bytes sent again (a retried part)
    // are held once. They must not change while the call runs.
    DataReply upload(const Request& request, std::shared_ptr<const std::string> body,
                     TaskDelegate* delegate = nullptr);
    // Streams the reply body into a new file in the download directory; the caller owns the file.
    DownloadReply download(const Request& request, TaskDelegate* delegate = nullptr);
    // Writes a 2xx reply body into the open file `fd` from `offset` on (positioned writes: the file's own
    // offset is not used, so several transfers may fill parts of one file at once), at most `limit` bytes:
    // a longer body fails with `dataLengthExceedsMaximum` (its replyStatus the reply's) as soon as its
    // Content-Length or the bytes received pass it, with nothing written past `offset + limit`. The body of
    // any other reply is kept in memory instead. A failed write fails with `cannotWriteToFile`. On any
    // failure, bytes already written stay in the file: the caller discards it. `request.memoryLimit` and
    // `request.body` are ignored.
    PlacedReply downloadAt(const Request& request, int fd, std::int64_t offset, std::int64_t limit,
                           TaskDelegate* delegate = nullptr);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tw::http
