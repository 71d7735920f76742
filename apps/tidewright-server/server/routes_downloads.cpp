// Opening a file for download (POST /api/v1/nodes/ID/open) and the download itself (GET /blobs/TOKEN).
//
// The open record's url carries a random token stored with the node's revision and an expiry; the GET
// needs nothing else. Contents stream from the file: with sendfile(2) straight to the connection's
// socket, or in 1 MiB reads when a fault shapes the body. A file is never held in memory.

#include "server/byte_range.h"
#include "server/http_util.h"
#include "server/request_params.h"
#include "server/routes.h"
#include "server/util.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <memory>
#include <vector>

namespace tw::server {
namespace {

constexpr std::size_t chunkSize = 1 << 20;

// Writes [start, start + length) of the open file through the sink, shaped by the fault of the request
// (cut after K bytes, stall once after K bytes). `offset` counts from the first byte of the reply body.
bool provide(int fd, std::int64_t start, std::size_t offset, std::size_t length, httplib::DataSink& sink,
             const std::optional<FaultRule>& fault, bool& stalled, const std::atomic<bool>& stopping) {
    static thread_local std::vector<char> buffer(chunkSize);
    auto at = static_cast<std::int64_t>(offset);
    std::int64_t want = static_cast<std::int64_t>(std::min(length, chunkSize));
    if (fault) {
        if (fault->cutAfter) {
            if (at >= *fault->cutAfter) return false;
            want = std::min(want, *fault->cutAfter - at);
        }
        if (fault->stallMs > 0 && !stalled) {
            if (at >= fault->stallAfter) {
                sleepUnless(fault->stallMs, stopping);
                stalled = true;
            } else {
                want = std::min(want, fault->stallAfter - at);
            }
        }
    }
    if (stopping) return false;
    ssize_t n = ::pread(fd, buffer.data(), static_cast<std::size_t>(want), start + at);
    if (n <= 0) return false;  // the file shrank or failed: end the connection rather than send junk
    return sink.write(buffer.data(), static_cast<std::size_t>(n));
}

// Sends [start, start + length) of the file with sendfile(2) on the connection's socket, bypassing
// httplib's stream (which has written the headers, unbuffered, before the body provider runs).
bool sendFile(int socket, int fd, std::int64_t start, std::int64_t length,
              const std::atomic<bool>& stopping) {
    off_t offset = start;
    std::int64_t left = length;
    while (left > 0) {
        if (stopping) return false;
        ssize_t n =
            ::sendfile(socket, fd, &offset, static_cast<std::size_t>(std::min<std::int64_t>(left, 8 * MiB)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // peer gone, send timeout, or the file shrank
        left -= n;
    }
    return true;
}

}  // namespace

void addDownloadRoutes(httplib::Server& http, Service& service) {
    addRoute(http, "POST", R"(/api/v1/nodes/([^/]+)/open)",
             [&service](const auto& request, auto& response, auto&) {
                 Node node = service.store->get(nodeNum(request.matches[1]), true);
                 if (node.folder || !node.rev) throw ApiError(409, "not_a_file");
                 Link link{randomHex(24), node.num, *node.rev, nowMs() + service.openTtlMs.load()};
                 service.store->addLink(link);
                 nlohmann::json body = toJson(node);
                 body["url"] = "/blobs/" + link.token;
                 body["expiresAt"] = link.expiresAt;
                 sendJson(response, 200, body);
             });

    addRoute(http, "GET", R"(/blobs/([^/]+))", [&service](const auto& request, auto& response, auto&) {
        auto link = service.store->link(request.matches[1]);
        if (!link) throw ApiError::notFound();
        if (nowMs() >= link->expiresAt) throw ApiError(403, "link_expired");
        auto node = service.store->find(link->num);
        if (!node || node->purged || node->rev != link->rev) throw ApiError::notFound();

        auto path = service.blobs->blobPath(link->rev);
        auto fd = std::make_shared<FileDescriptor>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (!*fd || ::fstat(fd->get(), &info) != 0) throw ApiError::notFound();
        std::int64_t size = info.st_size;
        ::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);

        const auto& fault = currentFault();
        bool ignoreRange = fault && fault->ignoreRange;
        RangeRequest range;
        if (!ignoreRange && request.has_header("Range"))
            range = resolveRange(request.get_header_value("Range"), size);
        if (range.kind == RangeRequest::Kind::unsatisfiable) {
            response.set_header("Content-Range", "bytes */" + std::to_string(size));
            throw ApiError(416, "range_not_satisfiable");
        }
        ByteRange body{0, size};
        response.status = 200;
        if (range.kind == RangeRequest::Kind::partial) {
            body = range.range;
            response.status = 206;
            response.set_header("Content-Range", "bytes " + std::to_string(body.start) + "-" +
                                                     std::to_string(body.start + body.length - 1) + "/" +
                                                     std::to_string(size));
        }
        std::int64_t sent = body.length;
        if (fault && fault->shortBy > 0) sent = std::max<std::int64_t>(0, sent - fault->shortBy);
        response.set_header("Accept-Ranges", "bytes");
        response.set_header("ETag", "\"" + link->rev + "\"");
        std::string mime = node->mime.value_or("application/octet-stream");
        if (sent == 0) {
            response.set_content("", mime);
            return;
        }
        bool shaped = fault && (fault->cutAfter || fault->stallMs > 0);
        int socket = shaped ? -1 : connectionSocket(request);
        if (socket >= 0) {
            // Without a length httplib sends no Content-Length and lets the provider say when it is done;
            // the header is set here so the connection stays usable for the next request.
            response.set_header("Content-Length", std::to_string(sent));
            response.set_content_provider(
                mime, [fd, socket, start = body.start, sent, &stopping = service.stopping](
                          std::size_t, httplib::DataSink& sink) {
                    if (!sendFile(socket, fd->get(), start, sent, stopping)) return false;
                    sink.done();
                    return true;
                });
            return;
        }
        response.set_content_provider(
            static_cast<std::size_t>(sent), mime,
            [fd, start = body.start, rule = fault, stalled = false, &stopping = service.stopping](
                std::size_t offset, std::size_t length, httplib::DataSink& sink) mutable {
                return provide(fd->get(), start, offset, length, sink, rule, stalled, stopping);
            });
    });
}

}  // namespace tw::server
