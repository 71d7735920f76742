#pragma once

// Helpers shared by the request handlers: request bodies, JSON replies, route registration.

#include "server/api_error.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

// Waits `ms` milliseconds, or less when `stopping` turns true.
void sleepUnless(std::int64_t ms, const std::atomic<bool>& stopping);

using RouteHandler = std::function<void(const httplib::Request&, httplib::Response&, RequestBody&)>;

// Registers `handler` for requests with and without a body. ApiError becomes its JSON reply, any other
// exception a 500 "internal"; a reply sent while the body is still unread closes the connection.
void addRoute(httplib::Server& server, const std::string& method, const std::string& pattern,
              RouteHandler handler);

}  // namespace tw::server
