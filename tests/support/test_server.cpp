#include "support/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

#include "support/bytes.h"

namespace tw::test {

namespace {

constexpr std::int64_t keptBodyLimit = 16 * 1048576;
constexpr std::size_t maxLineLength = 1 << 20;  // a longer request or header line ends the connection
constexpr std::size_t ioChunk = 256 * 1024;
constexpr auto patternPeriod = static_cast<std::size_t>(periodicPeriod);

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// A run of the body pattern long enough to send ioChunk bytes from any phase of it.
const std::string& patternRun() {
    static const std::string run = [] {
        std::string bytes(ioChunk + patternPeriod, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i % patternPeriod);
        return bytes;
    }();
    return run;
}

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void keep(RecordedRequest& request, const char* data, std::size_t size) {
    request.bodySize += static_cast<std::int64_t>(size);
    const auto room =
        static_cast<std::size_t>(keptBodyLimit) - std::min<std::size_t>(request.body.size(), keptBodyLimit);
    request.body.append(data, std::min(size, room));
}

// The incoming side of one connection; false (or nullopt) once the peer closed or the connection failed.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd) {}

    // One line without its line end (CRLF, or a lone LF).
    std::optional<std::string> line() {
        std::size_t scanned = 0;  // bytes after pos_ known to hold no line end; fill() may move pos_
        for (;;) {
            const auto end = buffer_.find('\n', pos_ + scanned);
            if (end != std::string::npos) {
                std::string text = buffer_.substr(pos_, end - pos_);
                pos_ = end + 1;
                if (!text.empty() && text.back() == '\r') text.pop_back();
                return text;
            }
            scanned = buffer_.size() - pos_;
            if (scanned > maxLineLength || !fill()) return std::nullopt;
        }
    }

    // Reads exactly count bytes into the request's body, a buffer at a time.
    bool body(std::int64_t count, RecordedRequest& request) {
        while (count > 0) {
            if (pos_ == buffer_.size() && !fill()) return false;
            const auto take = std::min<std::int64_t>(count, static_cast<std::int64_t>(buffer_.size() - pos_));
            keep(request, buffer_.data() + pos_, static_cast<std::size_t>(take));
            pos_ += static_cast<std::size_t>(take);
            count -= take;
        }
        return true;
    }

private:
    bool fill() {
        buffer_.erase(0, pos_);  // keeps the buffer to the unread part: a long body never grows it
        pos_ = 0;
        const std::size_t kept = buffer_.size();
        buffer_.resize(kept + ioChunk);
        ssize_t got;
        do {
            got = ::recv(fd_, buffer_.data() + kept, ioChunk, 0);
        } while (got < 0 && errno == EINTR);
        buffer_.resize(kept + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        return got > 0;
    }

    int fd_;
    std::string buffer_;
    std::size_t pos_ = 0;
};

// The rest of a request after its request line; false (dropped unrecorded) when it is cut or not understood.
bool readRequest(Reader& reader, RecordedRequest& request) {
    for (;;) {
        const auto line = reader.line();
        if (!line) return false;
        if (line->empty()) break;
        const auto colon = line->find(':');
        if (colon == std::string::npos || colon == 0) return false;
        const auto first = std::min(line->find_first_not_of(" \t", colon + 1), line->size());
        request.headers.emplace_back(line->substr(0, colon),
                                     line->substr(first, line->find_last_not_of(" \t") + 1 - first));
    }
    if (const auto length = request.header("Content-Length")) {
        std::int64_t size = -1;
        const auto [end, error] = std::from_chars(length->data(), length->data() + length->size(), size);
        if (error != std::errc() || end != length->data() + length->size() || size < 0) return false;
        return reader.body(size, request);
    }
    return true;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoreCase(key, name)) return value;
    return std::nullopt;
}

TestServer::TestServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::system_error(errno, std::system_category(), "test server: socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, SOMAXCONN) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(listenFd_);
        throw std::system_error(error, std::system_category(), "test server: bind");
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestServer::~TestServer() {
    {
        std::scoped_lock lock(mutex_);
        stopping_ = true;
        for (const int fd : openFds_)
            ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    acceptThread_.join();
    ::close(listenFd_);
    // The accept thread, now joined, was the only one adding threads.
    for (std::thread& thread : connectionThreads_)
        thread.join();
}

void TestServer::script(const std::string& target, std::vector<Reply> replies) {
    std::scoped_lock lock(mutex_);
    if (replies.empty())
        scripts_.erase(target);
    else
        scripts_[target] = Script{std::move(replies), 0};
}

void TestServer::setHandler(std::function<Reply(const RecordedRequest&)> handler) {
    std::scoped_lock lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> TestServer::requests() const {
    std::scoped_lock lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> TestServer::requests(const std::string& target) const {
    std::scoped_lock lock(mutex_);
    std::vector<RecordedRequest> matching;
    for (const RecordedRequest& request : requests_)
        if (request.target == target) matching.push_back(request);
    return matching;
}

double TestServer::gapSeconds(std::size_t i, std::size_t j) const {
    std::scoped_lock lock(mutex_);
    return std::chrono::duration<double>(requests_.at(j).arrival - requests_.at(i).arrival).count();
}

void TestServer::acceptLoop() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (fd < 0) return;  // the listening socket was shut down, or is beyond use
        const int one = 1;   // no Nagle pause between header and body
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::scoped_lock lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        openFds_.insert(fd);
        ++accepted_;
        peakOpen_ = std::max(peakOpen_, ++open_);
        connectionThreads_.emplace_back([this, fd] { serve(fd); });
    }
}

void TestServer::serve(int fd) {
    Reader reader(fd);
    for (;;) {
        const auto requestLine = reader.line();
        if (!requestLine) break;
        if (requestLine->empty()) continue;  // a stray line end between requests is allowed
        RecordedRequest request;
        request.arrival = std::chrono::steady_clock::now();
        bool keepOpen = false;
        const auto firstSpace = requestLine->find(' ');
        const auto lastSpace = requestLine->rfind(' ');
        if (firstSpace != std::string::npos && lastSpace > firstSpace + 1) {
            request.method = requestLine->substr(0, firstSpace);
            request.target = requestLine->substr(firstSpace + 1, lastSpace - firstSpace - 1);
            if (readRequest(reader, request)) {
                record(request);
                keepOpen = answer(fd, replyFor(request));
            }
        }
        if (!keepOpen) break;
    }
    std::scoped_lock lock(mutex_);
    openFds_.erase(fd);
    ::close(fd);
    --open_;
}

bool TestServer::answer(int fd, const Reply& reply) {
    if (reply.delay.count() > 0 && !pause(reply.delay)) return false;
    if (reply.cut == Reply::Cut::beforeReply) return false;

    const std::int64_t size =
        reply.generatedBodySize ? *reply.generatedBodySize : static_cast<std::int64_t>(reply.body.size());
    std::string head =
        "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\n";  // clients ignore the phrase
    bool hasLength = false;
    for (const auto& [name, value] : reply.headers) {
        head += name + ": " + value + "\r\n";
        hasLength = hasLength || equalsIgnoreCase(name, "Content-Length");
    }
    const bool bodyless = reply.status < 200 || reply.status == 204;
    if (!hasLength && !bodyless && !reply.closeDelimited)
        head += "Content-Length: " + std::to_string(size) + "\r\n";
    head += "\r\n";

    std::int64_t toSend = bodyless ? 0 : size;
    const bool cut = reply.cut == Reply::Cut::afterBodyBytes;
    if (cut) toSend = std::clamp<std::int64_t>(reply.cutAfter, 0, toSend);

    if (reply.stallAfterHeaders.count() > 0) {
        if (!sendAll(fd, head.data(), head.size()) || !pause(reply.stallAfterHeaders)) return false;
        head.clear();
    }
    if (!reply.generatedBodySize) {
        head.append(reply.body, 0, static_cast<std::size_t>(toSend));  // one send for head and body
        if (!sendAll(fd, head.data(), head.size())) return false;
    } else {
        if (!sendAll(fd, head.data(), head.size())) return false;
        const std::string& run = patternRun();
        for (std::int64_t offset = 0; offset < toSend;) {
            const auto count = static_cast<std::size_t>(std::min<std::int64_t>(toSend - offset, ioChunk));
            if (!sendAll(fd, run.data() + offset % patternPeriod, count)) return false;
            offset += static_cast<std::int64_t>(count);
        }
    }
    return !cut && !reply.closeDelimited;
}

Reply TestServer::replyFor(const RecordedRequest& request) {
    std::function<Reply(const RecordedRequest&)> handler;
    {
        std::scoped_lock lock(mutex_);
        auto found = scripts_.find(request.target);
        if (found == scripts_.end()) {
            const auto query = request.target.find('?');
            if (query != std::string::npos) found = scripts_.find(request.target.substr(0, query));
        }
        if (found != scripts_.end()) {
            Script& script = found->second;
            const Reply& reply = script.replies[std::min(script.next, script.replies.size() - 1)];
            if (script.next < script.replies.size()) ++script.next;
            return reply;
        }
        handler = handler_;
    }
    return handler ? handler(request) : Reply{404};
}

void TestServer::record(RecordedRequest request) {
    std::scoped_lock lock(mutex_);
    // Concurrent connections finish reading in any order: keep the order in which the requests began.
    const auto place =
        std::upper_bound(requests_.begin(), requests_.end(), request.arrival,
                         [](auto arrival, const RecordedRequest& r) { return arrival < r.arrival; });
    requests_.insert(place, std::move(request));
}

bool TestServer::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, duration, [this] { return stopping_; });
}

}  // namespace tw::test
