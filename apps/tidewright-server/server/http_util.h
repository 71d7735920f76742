#pragma once

// Helpers shared by the request handlers: request bodies, JSON replies, route registration.

#include "server/api_error.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace tw::server {

// The body of one request, streamed from the connection at most once.
class RequestBody {
public:
    RequestBody(const httplib::Request& request, const httplib::ContentReader* reader)
        : request_(request), reader_(reader) {}

    // True when the request announced a body (a positive Content-Length, or chunked).
    bool announced() const;
    // Feeds the body to `sink` chunk by chunk; false when the connection broke or `sink` said stop.
    bool stream(const std::function<bool(const char*, std::size_t)>& sink);
    // The whole body, at most `limit` bytes: 413 "too_large" past it, 400 "bad_request" when cut.
    std::string readAll(std::size_t limit);
    bool consumed() const { return consumed_; }

private:
    const httplib::Request& request_;
    const httplib::ContentReader* reader_;
    bool consumed_ = false;
};

// Deepest nesting of arrays and objects accepted in a request body.
inline constexpr int maxJsonDepth = 64;

// True when no array or object in `text` nests deeper than `limit` (strings are skipped; the text
// need not be valid JSON).
bool nestsAtMost(std::string_view text, int limit);

// A JSON object from a request body; throws ApiError 400 "invalid_json" for anything else, including
// nesting deeper than maxJsonDepth.
nlohmann::json parseObject(const std::string& text);

// A decimal signed 64-bit integer with nothing around it.
std::optional<std::int64_t> parseInteger(std::string_view text);

// Writes a JSON reply. A fault with cutAfter or stallMs on the current request shapes the body.
void sendJson(httplib::Response& response, int status, const nlohmann::json& body);
void sendError(httplib::Response& response, const ApiError& error);
void sendNoContent(httplib::Response& response);

// The socket of the connection that carries `request`, or -1 when it cannot be found. Handlers do not
// get it from httplib; the descriptor stays owned by httplib and must not be closed.
int connectionSocket(const httplib::Request& request);

// Shuts the connection that carries `request` down both ways, so the client gets no reply at all.
void dropConnection(const httplib::Request& request);

// Shuts the reading side of every accepted connection on local port `port`, so connections idling
// between requests end at once instead of after the keep-alive timeout. Used when the server stops.
void endConnections(int port);

// Lets the listening socket on `port` queue up to SOMAXCONN connections (httplib asks for 5, so a burst of
// connections would see theirs dropped and retried a second later).
void widenBacklog(int port);

// Ends the connections to local port `port` that take longer than `deadline` to deliver a request head:
// counted from the moment the watch first sees a connection or from the end of its last reply, until
// the head has been read (started). Slow or idle clients then cannot hold the service's threads.
// Connections are known by their full address pair; the watch looks every quarter of the deadline.
class HeadDeadline {
public:
    HeadDeadline(int port, std::chrono::milliseconds deadline);
    ~HeadDeadline();
    HeadDeadline(const HeadDeadline&) = delete;
    HeadDeadline& operator=(const HeadDeadline&) = delete;

    // The head of `request` has been read / its reply has been written.
    void started(const httplib::Request& request);
    void finished(const httplib::Request& request);

private:
    using Clock = std::chrono::steady_clock;
    struct State {
        bool inRequest = false;
        Clock::time_point since;
    };
    void watch();

    int port_;
    Clock::duration deadline_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::unordered_map<std::string, State> connections_;
    std::thread thread_;  // last: it starts once the rest is ready
};

// Waits `ms` milliseconds, or less when `stopping` turns true.
void sleepUnless(std::int64_t ms, const std::atomic<bool>& stopping);

using RouteHandler = std::function<void(const httplib::Request&, httplib::Response&, RequestBody&)>;

// Registers `handler` for requests with and without a body. ApiError becomes its JSON reply, any other
// exception a 500 "internal"; a reply sent while the body is still unread closes the connection.
void addRoute(httplib::Server& server, const std::string& method, const std::string& pattern,
              RouteHandler handler);

}  // namespace tw::server
