#include "server/http_util.h"

#include "server/faults.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tw::server {
namespace {

// One end of a TCP connection, written as httplib writes Request::local_addr and remote_addr.
struct Endpoint {
    std::string address;
    int port = -1;
};

Endpoint endpointOf(const sockaddr_storage& address, socklen_t size) {
    Endpoint end;
    if (address.ss_family == AF_INET) {
        end.port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    } else if (address.ss_family == AF_INET6) {
        end.port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    } else {
        return end;
    }
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), size, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) == 0)
        end.address = host;
    return end;
}

// The connection's full address pair: local and peer address and port. Unique among open connections.
std::string connectionKey(const Endpoint& local, const Endpoint& peer) {
    return local.address + " " + std::to_string(local.port) + " " + peer.address + " " +
           std::to_string(peer.port);
}

std::string connectionKey(const httplib::Request& request) {
    return connectionKey({request.local_addr, request.local_port},
                         {request.remote_addr, request.remote_port});
}

}  // namespace

bool RequestBody::announced() const {
    if (request_.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos) return true;
    auto length = parseInteger(request_.get_header_value("Content-Length"));
    return length && *length > 0;
}

bool RequestBody::stream(const std::function<bool(const char*, std::size_t)>& sink) {
    consumed_ = true;
    if (reader_) return (*reader_)([&](const char* data, std::size_t size) { return sink(data, size); });
    return request_.body.empty() || sink(request_.body.data(), request_.body.size());
}

std::string RequestBody::readAll(std::size_t limit) {
    std::string text;
    bool tooLarge = false;
    bool complete = stream([&](const char* data, std::size_t size) {
        if (text.size() + size > limit) {
            tooLarge = true;
            return false;
        }
        text.append(data, size);
        return true;
    });
    if (tooLarge) {
        consumed_ = false;  // the rest is still on the connection
        throw ApiError(413, "too_large");
    }
    if (!complete) throw ApiError(400, "bad_request");
    return text;
}

bool nestsAtMost(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

nlohmann::json parseObject(const std::string& text) {
    // Deeper documents are refused before parsing: the parsed value is written back out recursively
    // (fault rules are listed), and a deep enough one would exhaust the stack there.
    if (!nestsAtMost(text, maxJsonDepth)) throw ApiError(400, "invalid_json");
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw ApiError(400, "invalid_json");
    return json;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    std::int64_t value = 0;
    if (text.empty()) return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

void sendJson(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    // Replacement of invalid UTF-8 is a safety net: stored texts are validated on the way in.
    auto text =
        std::make_shared<std::string>(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    const auto& fault = currentFault();
    if (!fault || (!fault->cutAfter && fault->stallMs == 0)) {
        response.set_content(*text, "application/json");
        return;
    }
    auto rule = *fault;
    response.set_content_provider(
        text->size(), "application/json",
        [text, rule, stalled = false](std::size_t offset, std::size_t length,
                                      httplib::DataSink& sink) mutable {
            auto end = static_cast<std::int64_t>(offset + length);
            if (rule.cutAfter) {
                if (static_cast<std::int64_t>(offset) >= *rule.cutAfter) return false;
                end = std::min(end, *rule.cutAfter);
            }
            if (rule.stallMs > 0 && !stalled) {
                if (static_cast<std::int64_t>(offset) >= rule.stallAfter) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(rule.stallMs));
                    stalled = true;
                } else {
                    end = std::min(end, rule.stallAfter);
                }
            }
            return sink.write(text->data() + offset, static_cast<std::size_t>(end) - offset);
        });
}

void sendError(httplib::Response& response, const ApiError& error) {
    sendJson(response, error.status(), error.body());
}

void sendNoContent(httplib::Response& response) {
    response.status = 204;
}

namespace {

// The local and peer ends of socket `fd`; false when it is not a connected socket.
bool endsOf(int fd, Endpoint& local, Endpoint& peer) {
    sockaddr_storage localAddress{}, peerAddress{};
    socklen_t localSize = sizeof localAddress, peerSize = sizeof peerAddress;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&localAddress), &localSize) != 0) return false;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peerAddress), &peerSize) != 0) return false;
    local = endpointOf(localAddress, localSize);
    peer = endpointOf(peerAddress, peerSize);
    return true;
}

// Calls `found` with every connected socket descriptor of this process and its local and peer ends.
template <class F>
void eachSocket(F&& found) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
    if (!dir) return;
    while (dirent* entry = readdir(dir.get())) {
        int fd = std::atoi(entry->d_name);
        Endpoint local, peer;
        if (fd <= 2 || !endsOf(fd, local, peer)) continue;
        if (found(fd, local, peer)) return;
    }
}

}  // namespace

int connectionSocket(const httplib::Request& request) {
    // The one with the request's full address pair: ports alone could name another client's connection
    // (from another local address, with the same port number).
    int socket = -1;
    auto key = connectionKey(request);
    eachSocket([&](int fd, const Endpoint& local, const Endpoint& peer) {
        if (connectionKey(local, peer) != key) return false;
        socket = fd;
        return true;
    });
    return socket;
}

void dropConnection(const httplib::Request& request) {
    int fd = connectionSocket(request);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void endConnections(int port) {
    eachSocket([&](int fd, const Endpoint& local, const Endpoint&) {
        if (local.port == port) ::shutdown(fd, SHUT_RD);
        return false;
    });
}

void widenBacklog(int port) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
    if (!dir) return;
    while (dirent* entry = readdir(dir.get())) {
        int fd = std::atoi(entry->d_name);
        int listening = 0;
        socklen_t size = sizeof listening;
        sockaddr_storage local{};
        socklen_t localSize = sizeof local;
        if (fd <= 2 || getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
            continue;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) continue;
        if (endpointOf(local, localSize).port == port) ::listen(fd, SOMAXCONN);
    }
}

HeadDeadline::HeadDeadline(int port, std::chrono::milliseconds deadline)
    : port_(port), deadline_(deadline), thread_([this] { watch(); }) {}

HeadDeadline::~HeadDeadline() {
    {
        std::scoped_lock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HeadDeadline::started(const httplib::Request& request) {
    std::scoped_lock lock(mutex_);
    connections_[connectionKey(request)] = {true, Clock::now()};
}

void HeadDeadline::finished(const httplib::Request& request) {
    if (request.remote_addr.empty()) return;  // a head that could not be read: httplib closes it
    std::scoped_lock lock(mutex_);
    connections_[connectionKey(request)] = {false, Clock::now()};
}

void HeadDeadline::watch() {
    auto period = std::clamp<Clock::duration>(deadline_ / 4, std::chrono::milliseconds(10),
                                              std::chrono::milliseconds(250));
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, period, [&] { return stopping_; })) {
        lock.unlock();
        std::vector<std::pair<int, std::string>> open;
        eachSocket([&](int fd, const Endpoint& local, const Endpoint& peer) {
            if (local.port == port_) open.emplace_back(fd, connectionKey(local, peer));
            return false;
        });
        lock.lock();
        auto now = Clock::now();
        std::unordered_map<std::string, State> seen;
        for (const auto& [fd, key] : open) {
            auto it = connections_.find(key);
            State state = it == connections_.end() ? State{false, now} : it->second;
            // The descriptor may have been closed and reused since the scan: it must still be this
            // connection.
            Endpoint local, peer;
            if (!state.inRequest && now - state.since > deadline_ && endsOf(fd, local, peer) &&
                connectionKey(local, peer) == key)
                ::shutdown(fd, SHUT_RDWR);
            seen[key] = state;
        }
        connections_ = std::move(seen);  // closed connections are forgotten
    }
}

void sleepUnless(std::int64_t ms, const std::atomic<bool>& stopping) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(20), until - std::chrono::steady_clock::now()));
    }
}

void addRoute(httplib::Server& server, const std::string& method, const std::string& pattern,
              RouteHandler handler) {
    auto run = [handler](const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader* reader) {
        RequestBody body(request, reader);
        try {
            handler(request, response, body);
        } catch (const ApiError& error) {
            sendError(response, error);
        } catch (const std::exception&) {
            sendError(response, ApiError(500, "internal"));
        }
        if (body.announced() && !body.consumed()) response.set_header("Connection", "close");
    };
    auto plain = [run](const httplib::Request& request, httplib::Response& response) {
        run(request, response, nullptr);
    };
    auto streamed = [run](const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& reader) { run(request, response, &reader); };
    if (method == "GET") {
        server.Get(pattern, plain);
    } else if (method == "POST") {
        server.Post(pattern, plain);
        server.Post(pattern, streamed);
    } else if (method == "PUT") {
        server.Put(pattern, plain);
        server.Put(pattern, streamed);
    } else if (method == "PATCH") {
        server.Patch(pattern, plain);
        server.Patch(pattern, streamed);
    } else if (method == "DELETE") {
        server.Delete(pattern, plain);
        server.Delete(pattern, streamed);
    }
}

}  // namespace tw::server
