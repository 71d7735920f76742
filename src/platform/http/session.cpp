#include "platform/http/session.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>
#include <unordered_map>

#include "platform/file_descriptor.h"
#include "platform/http/rate_limit.h"
#include "platform/http/url.h"
#include "platform/task/task.h"

namespace tw::http {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
URLError::Code codeFor(CURLcode result) {
    using C = URLError::Code;
    switch (result) {
        case CURLE_UNSUPPORTED_PROTOCOL:
            return C::unsupportedURL;
        case CURLE_URL_MALFORMAT:
            return C::badURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return C::cannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return C::cannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return C::timedOut;
        case CURLE_TOO_MANY_REDIRECTS:
            return C::httpTooManyRedirects;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_BAD_CONTENT_ENCODING:
            return C::badServerResponse;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
            return C::networkConnectionLost;
        case CURLE_SSL_CONNECT_ERROR:
            return C::secureConnectionFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CACERT_BADFILE:
            return C::serverCertificateUntrusted;
        case CURLE_WRITE_ERROR:
            return C::cannotWriteToFile;
        case CURLE_READ_ERROR:
            return C::cannotOpenFile;
        case CURLE_ABORTED_BY_CALLBACK:
            return C::cancelled;
        default:
            return C::unknown;
    }
}

// The most header bytes of one reply: a service's headers take a few KiB, and libcurl keeps no bound.
constexpr std::int64_t headerLimit = 256 << 10;
// libcurl's upload buffer for a body sent from memory (its own default).
constexpr long memoryUploadBufferSize = 64 << 10;

// Where the request body comes from.
struct BodySource {
    std::string memory;
    std::shared_ptr<const std::string> shared;  // when set, the bytes instead of memory (not copied)
    FileDescriptor file;
    bool fromFile = false;
    std::int64_t size = 0;
    std::int64_t offset = 0;  // of the next byte to hand to libcurl (memory only; files use their own offset)
};

// Where the reply body goes.
struct BodySink {
    std::string memory;
    FileDescriptor file;
    bool toFile = false;
    // A 2xx body goes to `placedFd` (not owned) from `placedOffset` on, up to the transfer's memoryLimit.
    int placedFd = -1;
    std::int64_t placedOffset = 0;
    std::int64_t placed = 0;  // bytes written there
    bool failed = false;      // a write to the file failed: the transfer is aborted
    bool tooLarge = false;    // a success body passed its bound: the transfer is aborted
    bool cut = false;  // an error body reached its bound: the transfer ends, what was kept is the reply
};

struct Loop;

// One transfer in flight. Owned by the calling thread, which waits until its loop's I/O thread marks it
// done; that thread touches it only while it is registered with the loop's multi handle.
struct Transfer {
    std::uint64_t id = 0;
    Loop* loop = nullptr;  // the I/O loop that runs it, chosen when it is handed over
    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<curl_slist, SlistDeleter> headerList;
    BodySource source;
    BodySink sink;
    TaskDelegate* delegate = nullptr;
    std::int64_t reportedSent = 0;
    std::int64_t written = 0;
    std::int64_t memoryLimit = 0;     // of a 2xx body in memory or placed in the caller's file
    std::int64_t errorBodyLimit = 0;  // of any other body in memory
    std::int64_t status = 0;          // of the reply being received
    std::int64_t headerBytes = 0;     // of the reply being received
    bool headersTooLarge = false;
    // Paused by libcurl until the shared rate it waits for allows it to move again (loop thread only).
    RateLimit* pausedFor = nullptr;
    Response response;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    std::mutex mutex;
    std::condition_variable doneSignal;
    bool done = false;
    bool aborted = false;
    CURLcode result = CURLE_OK;
};

bool isSuccess(const Transfer& transfer) {
    return transfer.status >= 200 && transfer.status <= 299;
}

// The most bytes of the current reply's body a memory sink keeps: a success body is refused beyond its
// bound, of any other reply only a short prefix is kept.
std::int64_t memoryBound(const Transfer& transfer) {
    return isSuccess(transfer) ? transfer.memoryLimit : transfer.errorBodyLimit;
}

// Whether the current reply's body goes to the caller's file at an offset.
bool isPlaced(const Transfer& transfer) {
    return transfer.sink.placedFd >= 0 && isSuccess(transfer);
}

// Writes all of `data` at `offset`; false (errno set) when the file refuses it.
bool writeAt(int fd, const char* data, size_t length, std::int64_t offset) {
    for (size_t done = 0; done < length;) {
        const ssize_t n = ::pwrite(fd, data + done, length - done,
                                   static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) done += static_cast<size_t>(n);
    }
    return true;
}

size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (transfer.loop && receiveLimit().limited()) {
        // libcurl hands the same bytes again once its loop lets the transfer go on.
        if (!receiveLimit().mayMove()) {
            transfer.pausedFor = &receiveLimit();
            return CURL_WRITEFUNC_PAUSE;
        }
        receiveLimit().moved(static_cast<std::int64_t>(length));
    }
    auto& sink = transfer.sink;
    if (sink.toFile) {
        size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(sink.file.get(), data + done, length - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                sink.failed = true;
                return 0;  // aborts the transfer with CURLE_WRITE_ERROR
            }
            done += static_cast<size_t>(n);
        }
    } else if (isPlaced(transfer)) {
        if (static_cast<std::int64_t>(length) > transfer.memoryLimit - sink.placed) {
            sink.tooLarge = true;
            return 0;  // ends the transfer, with nothing written past the caller's bound
        }
        if (!writeAt(sink.placedFd, data, length, sink.placedOffset + sink.placed)) {
            sink.failed = true;
            return 0;
        }
        sink.placed += static_cast<std::int64_t>(length);
    } else {
        const auto room = static_cast<size_t>(
            std::max<std::int64_t>(0, memoryBound(transfer) - static_cast<std::int64_t>(sink.memory.size())));
        if (length > room) {
            if (isSuccess(transfer)) {
                sink.tooLarge = true;
            } else {
                sink.memory.append(data, room);
                sink.cut = true;
            }
            return 0;  // ends the transfer
        }
        sink.memory.append(data, length);
    }
    transfer.written += static_cast<std::int64_t>(length);
    if (transfer.delegate) {
        curl_off_t expected = -1;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
        transfer.delegate->didWriteData(static_cast<std::int64_t>(length), transfer.written, expected);
    }
    return length;
}

// Up to `capacity` bytes of the body into `buffer`: their count, or CURL_READFUNC_ABORT.
size_t readBody(BodySource& source, char* buffer, size_t capacity) {
    if (source.fromFile) {
        for (;;) {
            const ssize_t n = ::read(source.file.get(), buffer, capacity);
            if (n >= 0) return static_cast<size_t>(n);
            if (errno != EINTR) return CURL_READFUNC_ABORT;
        }
    }
    const auto remaining = static_cast<size_t>(source.size - source.offset);
    const size_t n = std::min(capacity, remaining);
    const char* bytes = source.shared ? source.shared->data() : source.memory.data();
    std::memcpy(buffer, bytes + source.offset, n);
    source.offset += static_cast<std::int64_t>(n);
    return n;
}

size_t onRead(char* buffer, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    size_t capacity = size * count;
    if (sendLimit().limited()) {
        // libcurl asks again once its loop lets the transfer go on.
        if (!sendLimit().mayMove()) {
            transfer.pausedFor = &sendLimit();
            return CURL_READFUNC_PAUSE;
        }
        capacity = std::min(capacity, static_cast<size_t>(sendLimit().step()));
    }
    const size_t n = readBody(transfer.source, buffer, capacity);
    if (n != CURL_READFUNC_ABORT) sendLimit().moved(static_cast<std::int64_t>(n));
    return n;
}

// libcurl rewinds the body to send it again after a redirect that keeps the method (307, 308).
int onSeek(void* user, curl_off_t offset, int origin) {
    auto& transfer = *static_cast<Transfer*>(user);
    auto& source = transfer.source;
    if (origin != SEEK_SET || offset < 0 || offset > source.size) return CURL_SEEKFUNC_FAIL;
    if (source.fromFile) {
        if (::lseek(source.file.get(), offset, SEEK_SET) < 0) return CURL_SEEKFUNC_FAIL;
    } else {
        source.offset = offset;
    }
    transfer.reportedSent = 0;
    return CURL_SEEKFUNC_OK;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    auto& response = transfer.response;
    const size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    const bool statusLine = line.starts_with("HTTP/");
    if (statusLine) {
        response.headers.clear();  // a new reply: a redirect's or an interim one's headers are not kept
        transfer.headerBytes = 0;
        transfer.status = 0;
        if (const auto space = line.find(' '); space != std::string_view::npos)
            std::from_chars(line.data() + space + 1, line.data() + line.size(), transfer.status);
    }
    transfer.headerBytes += static_cast<std::int64_t>(length);
    if (transfer.headerBytes > headerLimit) {
        transfer.headersTooLarge = true;
        return 0;  // ends the transfer
    }
    if (statusLine) return length;
    if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        const std::string_view name = line.substr(0, colon);
        // A body kept in memory gets its room at once rather than growing (and being copied) step by step;
        // a success body announced larger than its bound (in memory or placed) is refused before it arrives.
        if (!transfer.sink.toFile && equalsIgnoringCase(name, "Content-Length")) {
            std::int64_t announced = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), announced);
            if (error == std::errc() && announced > transfer.memoryLimit && isSuccess(transfer)) {
                transfer.sink.tooLarge = true;
                return 0;  // ends the transfer
            }
            if (error == std::errc() && announced > 0 && !isPlaced(transfer))
                transfer.sink.memory.reserve(static_cast<size_t>(std::min(announced, memoryBound(transfer))));
        }
        response.headers.emplace_back(std::string(name), std::string(value));
    }
    return length;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.delegate && uploaded > transfer.reportedSent) {
        const auto delta = static_cast<std::int64_t>(uploaded) - transfer.reportedSent;
        transfer.reportedSent = uploaded;
        transfer.delegate->didSendBodyData(delta, transfer.reportedSent, transfer.source.size);
    }
    return 0;
}

// One libcurl multi handle and the I/O thread that drives it. A transfer stays on the loop it was handed to,
// so its connection is that loop's own; the loops share nothing but the session's transfer numbering.
struct Loop {
    CURLM* multi = nullptr;
    // Most of this loop's connections to one host at once: the loops' caps add up to the session's.
    long connectionCap = 1;
    std::thread thread;

    std::atomic<long> load = 0;  // transfers handed over and not yet complete

    std::mutex mutex;  // guards the three members below
    std::deque<Transfer*> toAdd;
    std::vector<std::uint64_t> toAbort;
    bool stopping = false;

    void wake() { curl_multi_wakeup(multi); }
};

}  // namespace

std::optional<std::string> findHeader(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name)) return value;
    return std::nullopt;
}

void Request::setHeader(std::string_view name, std::string value) {
    std::erase_if(headers, [&](const auto& header) { return equalsIgnoringCase(header.first, name); });
    headers.emplace_back(std::string(name), std::move(value));
}

void TaskDelegate::didSendBodyData(std::int64_t, std::int64_t, std::int64_t) {}
void TaskDelegate::didWriteData(std::int64_t, std::int64_t, std::int64_t) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
    if (this != &other) {
        TemporaryFile discarded(std::move(*this));
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

TemporaryFile::~TemporaryFile() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
}

class Session::Impl {
public:
    Impl(SessionConfiguration configuration,
         std::optional<std::vector<std::shared_ptr<Transport>>> substitutes)
        : configuration_(std::move(configuration)), substitutes_(std::move(substitutes)) {
        if (configuration_.downloadDirectory.empty()) {
            // Without a temporary folder (TMPDIR naming a missing one) only downloads fail, when they start.
            std::error_code missing;
            configuration_.downloadDirectory = std::filesystem::temp_directory_path(missing);
        }
        if (substitutes_) return;  // no network: no multi handle, no I/O thread
        initCurlOnce();
        // The connections to one host are shared out between the loops, so that together they keep the
        // session's cap; there are never more loops than connections.
        const auto cap = std::max<std::int64_t>(1, configuration_.maxConnectionsPerHost);
        const auto count = std::clamp<std::int64_t>(configuration_.ioThreads, 1, cap);
        for (std::int64_t i = 0; i < count; ++i) {
            auto& loop = *loops_.emplace_back(std::make_unique<Loop>());
            loop.connectionCap = static_cast<long>(cap / count + (i < cap % count ? 1 : 0));
            loop.multi = curl_multi_init();
            curl_multi_setopt(loop.multi, CURLMOPT_MAX_HOST_CONNECTIONS, loop.connectionCap);
            curl_multi_setopt(loop.multi, CURLMOPT_MAXCONNECTS, 4 * loop.connectionCap);
        }
        for (auto& loop : loops_)
            loop->thread = std::thread([this, &loop = *loop] { runLoop(loop); });
    }

    ~Impl() {
        for (auto& loop : loops_) {
            {
                std::scoped_lock lock(loop->mutex);
                loop->stopping = true;
            }
            loop->wake();
        }
        for (auto& loop : loops_) {
            loop->thread.join();
            curl_multi_cleanup(loop->multi);
        }
    }

    const SessionConfiguration& configuration() const { return configuration_; }

    // Runs one transfer to its end on the calling thread's behalf.
    void perform(const Request& request, Transfer& transfer) {
        if (isCurrentTaskCancelled()) throw URLError(URLError::Code::cancelled);
        // Fails here, with nothing looked up or sent: a name in ".invalid" is still handed to the system's
        // resolver, and whoever answers it would be sent the request and its headers.
        if (request.url == placeholderURL) throw URLError(URLError::Code::badURL, "not a URL");
        transfer.memoryLimit = request.memoryLimit;
        transfer.errorBodyLimit = configuration_.errorBodyLimit;
        if (substitutes_) return performSubstitute(request, transfer);

        configure(request, transfer);
        Loop& loop = leastBusyLoop();
        transfer.loop = &loop;
        transfer.id = ++lastId_;
        {
            std::scoped_lock lock(loop.mutex);
            loop.toAdd.push_back(&transfer);
        }
        loop.wake();
        {
            const auto id = transfer.id;
            std::stop_callback abortOnCancel(currentStopToken(), [&loop, id] {
                {
                    std::scoped_lock lock(loop.mutex);
                    loop.toAbort.push_back(id);
                }
                loop.wake();
            });
            std::unique_lock lock(transfer.mutex);
            transfer.doneSignal.wait(lock, [&] { return transfer.done; });
        }
        finish(transfer);
    }

private:
    // The loop with the most room under its connection cap (the first of them when several have as much):
    // transfers that run at once, like the pieces of one ranged read, are received on threads of their own
    // and so on more than one core, while a lone request goes to the first loop and finds its connection
    // there. Loads are read without a lock: a choice made on a stale count only balances less well.
    Loop& leastBusyLoop() {
        Loop* best = loops_.front().get();
        long bestRoom = best->connectionCap - best->load.load();
        for (auto& loop : loops_) {
            const long room = loop->connectionCap - loop->load.load();
            if (room > bestRoom) best = loop.get(), bestRoom = room;
        }
        best->load.fetch_add(1);
        return *best;
    }

    void configure(const Request& request, Transfer& transfer) {
        transfer.easy.reset(curl_easy_init());
        if (!transfer.easy) throw URLError(URLError::Code::unknown, "cannot make a transfer");
        CURL* easy = transfer.easy.get();
        const auto timeout = static_cast<long>(request.timeout.count());
        // libcurl would complete a URL without a scheme to "http://..." and send its token in clear: such a
        // URL, like any other that is not http or https, fails here before any name is looked up.
        const bool secure = schemeOf(request.url) == Scheme::https;
        const auto deadline = request.deadline.value_or(configuration_.resourceTimeout);

        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        // Never downgrade from https; libcurl already keeps a custom "Authorization" to the first origin.
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, configuration_.maxRedirects);
        // The path goes out exactly as given: dot segments are not folded into another resource.
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeout);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, timeout);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(deadline.count()));
        // A body sent from memory (a request record, an upload part) is answered with a short record: the
        // large receive buffer would only cost memory, once per part in flight.
        const bool sendsFromMemory = transfer.source.size > 0 && !transfer.source.fromFile;
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE,
                         sendsFromMemory ? long{CURL_MAX_WRITE_SIZE} : configuration_.receiveBufferSize);
        // A body in memory is copied into this buffer piece by piece: a larger one only costs memory, once
        // per transfer running (parts of an upload run four at a time).
        curl_easy_setopt(
            easy, CURLOPT_UPLOAD_BUFFERSIZE,
            transfer.source.fromFile ? configuration_.receiveBufferSize : memoryUploadBufferSize);
        if (request.sendOnce) {
            curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
            curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        }

        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onWrite);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);

        const bool hasBody = transfer.source.fromFile || request.body.has_value();
        if (hasBody) {
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
        }
        if (request.method == "GET" && !hasBody) {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (request.method == "POST") {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            if (hasBody) {
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                 static_cast<curl_off_t>(transfer.source.size));
            } else {
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
                curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
            }
        } else if (hasBody) {
            curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(transfer.source.size));
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        } else {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }

        // The session's headers, then the request's; a later one replaces an earlier one of the same name.
        Headers headers = configuration_.additionalHeaders;
        for (const auto& [name, value] : request.headers) {
            std::erase_if(headers, [&key = name](const auto& h) { return equalsIgnoringCase(h.first, key); });
            headers.emplace_back(name, value);
        }
        curl_slist* list = nullptr;
        auto append = [&list](const std::string& line) {
            if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
        };
        for (const auto& [name, value] : headers)
            append(name + ": " + value);
        // Headers libcurl would add on its own, which the service is not to see.
        for (const char* name : {"Accept", "Expect", "Content-Type"})
            if (!findHeader(headers, name)) append(std::string(name) + ":");
        transfer.headerList.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    }

    void finish(Transfer& transfer) {
        if (transfer.aborted) throw URLError(URLError::Code::cancelled);
        if (transfer.sink.tooLarge)
            throw URLError(URLError::Code::dataLengthExceedsMaximum,
                           "reply body larger than " + std::to_string(transfer.memoryLimit) + " bytes",
                           transfer.status);
        if (transfer.headersTooLarge)
            throw URLError(URLError::Code::badServerResponse,
                           "reply headers larger than " + std::to_string(headerLimit) + " bytes");
        if (transfer.result != CURLE_OK && !transfer.sink.cut) {
            auto code = codeFor(transfer.result);
            if (transfer.sink.failed) code = URLError::Code::cannotWriteToFile;
            std::string detail =
                transfer.errorBuffer[0] ? transfer.errorBuffer : curl_easy_strerror(transfer.result);
            throw URLError(code, std::move(detail));
        }
        long status = 0;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &status);
        char* finalURL = nullptr;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_EFFECTIVE_URL, &finalURL);
        transfer.response.status = status;
        transfer.response.url = finalURL ? finalURL : "";
    }

    void performSubstitute(const Request& request, Transfer& transfer) {
        auto found = std::find_if(substitutes_->begin(), substitutes_->end(),
                                  [&](const auto& transport) { return transport->canHandle(request); });
        if (found == substitutes_->end())
            throw URLError(URLError::Code::unsupportedURL, "no transport for it");
        std::string body = std::move(transfer.source.memory);
        if (transfer.source.shared) body = *transfer.source.shared;
        if (transfer.source.fromFile) {
            body.resize(static_cast<size_t>(transfer.source.size));
            if (::pread(transfer.source.file.get(), body.data(), body.size(), 0) !=
                static_cast<ssize_t>(body.size()))
                throw URLError(URLError::Code::cannotOpenFile, "cannot read the body file");
        }
        DataReply reply = (*found)->perform(request, body);
        if (transfer.delegate && !body.empty())
            transfer.delegate->didSendBodyData(static_cast<std::int64_t>(body.size()),
                                               static_cast<std::int64_t>(body.size()),
                                               static_cast<std::int64_t>(body.size()));
        transfer.response = std::move(reply.response);
        transfer.status = transfer.response.status;
        if (!reply.body.empty()) onWrite(reply.body.data(), 1, reply.body.size(), &transfer);
        if (transfer.sink.failed) throw URLError(URLError::Code::cannotWriteToFile);
        if (transfer.sink.tooLarge)
            throw URLError(URLError::Code::dataLengthExceedsMaximum, {}, transfer.status);
        if (isCurrentTaskCancelled()) throw URLError(URLError::Code::cancelled);
    }

    void runLoop(Loop& loop) {
        std::unordered_map<std::uint64_t, Transfer*> active;
        for (;;) {
            std::deque<Transfer*> adding;
            std::vector<std::uint64_t> aborting;
            bool stopping;
            {
                std::scoped_lock lock(loop.mutex);
                adding.swap(loop.toAdd);
                aborting.swap(loop.toAbort);
                stopping = loop.stopping;
            }
            for (Transfer* transfer : adding) {
                active.emplace(transfer->id, transfer);
                curl_multi_add_handle(loop.multi, transfer->easy.get());
            }
            if (stopping) {
                for (auto& [id, transfer] : active)
                    complete(*transfer, CURLE_ABORTED_BY_CALLBACK, true);
                return;
            }
            for (const auto id : aborting) {
                if (auto found = active.find(id); found != active.end()) {
                    complete(*found->second, CURLE_ABORTED_BY_CALLBACK, true);
                    active.erase(found);
                }
            }

            int running = 0;
            curl_multi_perform(loop.multi, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(loop.multi, &queued)) {
                if (message->msg != CURLMSG_DONE) continue;
                Transfer* transfer = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
                const CURLcode result = message->data.result;
                active.erase(transfer->id);
                complete(*transfer, result, false);
            }
            curl_multi_poll(loop.multi, nullptr, 0, resumePaused(active), nullptr);
        }
    }

    // Lets the paused transfers whose rate allows it go on; returns how long the loop may wait for its
    // sockets before one of the others can (in milliseconds, at most a second).
    static int resumePaused(const std::unordered_map<std::uint64_t, Transfer*>& active) {
        auto wait = std::chrono::milliseconds(1000);
        for (const auto& [id, transfer] : active) {
            if (!transfer->pausedFor) continue;
            const auto until = transfer->pausedFor->untilFree();
            if (until > RateLimit::Clock::duration::zero()) {
                wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(until));
                continue;
            }
            transfer->pausedFor = nullptr;
            curl_easy_pause(transfer->easy.get(), CURLPAUSE_CONT);  // may pause it again at once
            if (transfer->pausedFor) wait = std::chrono::milliseconds(1);
        }
        return static_cast<int>(std::max<std::int64_t>(wait.count(), 1));
    }

    // Hands a transfer back to its caller. After this its loop never touches it again.
    void complete(Transfer& transfer, CURLcode result, bool aborted) {
        Loop& loop = *transfer.loop;
        curl_multi_remove_handle(loop.multi, transfer.easy.get());
        loop.load.fetch_sub(1);
        std::scoped_lock lock(transfer.mutex);
        transfer.result = result;
        transfer.aborted = aborted;
        transfer.done = true;
        transfer.doneSignal.notify_all();
    }

    SessionConfiguration configuration_;
    std::optional<std::vector<std::shared_ptr<Transport>>> substitutes_;
    std::vector<std::unique_ptr<Loop>> loops_;  // none when the substitutes serve every request
    std::atomic<std::uint64_t> lastId_ = 0;
};

Session::Session(SessionConfiguration configuration)
    : impl_(std::make_unique<Impl>(std::move(configuration), std::nullopt)) {}

Session::Session(SessionConfiguration configuration, std::vector<std::shared_ptr<Transport>> substitutes)
    : impl_(std::make_unique<Impl>(std::move(configuration), std::move(substitutes))) {}

Session::~Session() = default;

const SessionConfiguration& Session::configuration() const {
    return impl_->configuration();
}

DataReply Session::data(const Request& request, TaskDelegate* delegate) {
    if (request.body) return upload(request, *request.body, delegate);
    Transfer transfer;
    transfer.delegate = delegate;
    impl_->perform(request, transfer);
    return {std::move(transfer.response), std::move(transfer.sink.memory)};
}

DataReply Session::upload(const Request& request, std::string body, TaskDelegate* delegate) {
    Transfer transfer;
    transfer.delegate = delegate;
    transfer.source.size = static_cast<std::int64_t>(body.size());
    transfer.source.memory = std::move(body);
    Request withBody = request;
    withBody.body.emplace();  // marks the request as carrying a body; the bytes come from the source
    impl_->perform(withBody, transfer);
    return {std::move(transfer.response), std::move(transfer.sink.memory)};
}

DataReply Session::upload(const Request& request, std::shared_ptr<const std::string> body,
                          TaskDelegate* delegate) {
    Transfer transfer;
    transfer.delegate = delegate;
    transfer.source.size = static_cast<std::int64_t>(body->size());
    transfer.source.shared = std::move(body);
    Request withBody = request;
    withBody.body.emplace();
    impl_->perform(withBody, transfer);
    return {std::move(transfer.response), std::move(transfer.sink.memory)};
}

DataReply Session::upload(const Request& request, const std::filesystem::path& file, TaskDelegate* delegate) {
    Transfer transfer;
    transfer.delegate = delegate;
    transfer.source.fromFile = true;
    transfer.source.file.reset(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (transfer.source.file.get() < 0 || ::fstat(transfer.source.file.get(), &info) != 0)
        throw URLError(URLError::Code::cannotOpenFile,
                       "cannot open " + file.string() + ": " + std::strerror(errno));
    transfer.source.size = info.st_size;
    Request withoutBody = request;
    withoutBody.body.reset();
    impl_->perform(withoutBody, transfer);
    return {std::move(transfer.response), std::move(transfer.sink.memory)};
}

DownloadReply Session::download(const Request& request, TaskDelegate* delegate) {
    if (impl_->configuration().downloadDirectory.empty())
        throw URLError(URLError::Code::cannotCreateFile, "no temporary folder for downloads");
    std::string pattern = (impl_->configuration().downloadDirectory / "download-XXXXXX").string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        throw URLError(URLError::Code::cannotCreateFile, "cannot create a file in the download folder");
    TemporaryFile file{std::filesystem::path(pattern)};

    Transfer transfer;
    transfer.delegate = delegate;
    transfer.sink.toFile = true;
    transfer.sink.file.reset(fd);
    if (request.body) {
        transfer.source.size = static_cast<std::int64_t>(request.body->size());
        transfer.source.memory = *request.body;
    }
    impl_->perform(request, transfer);
    if (::close(transfer.sink.file.release()) != 0) throw URLError(URLError::Code::cannotWriteToFile);
    return {std::move(transfer.response), std::move(file)};
}

PlacedReply Session::downloadAt(const Request& request, int fd, std::int64_t offset, std::int64_t limit,
                                TaskDelegate* delegate) {
    if (fd < 0 || offset < 0 || limit < 0)
        throw URLError(URLError::Code::cannotWriteToFile, "no file, or a negative offset or limit");
    Transfer transfer;
    transfer.delegate = delegate;
    transfer.sink.placedFd = fd;
    transfer.sink.placedOffset = offset;
    Request bounded = request;
    bounded.body.reset();
    bounded.memoryLimit = limit;  // the bound of the placed body
    impl_->perform(bounded, transfer);
    return {std::move(transfer.response), std::move(transfer.sink.memory), transfer.sink.placed};
}

}  // namespace tw::http
