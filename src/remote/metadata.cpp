// The service's operations on node metadata: each a fixed request, the send loop with its own retry
// choice, and the decoding of the reply.
#include <string>

#include "remote/remote.h"

namespace tw {
namespace {

constexpr bool withRetry = true;
constexpr bool once = false;

// Decodes a 2xx reply; a body that is not the expected record is the service's fault, reported as 502
// "bad_response" and not sent again.
template <typename Decode>
auto decoded(const std::string& body, Decode decode) {
    try {
        return decode(body);
    } catch (const DecodeError&) {
        throw RemoteError::http(502, "bad_response");
    }
}

std::string idPath(std::string_view prefix, std::string_view id, std::string_view suffix = {}) {
    Remote::requireSafeId(id);
    std::string path(prefix);
    path += id;
    path += suffix;
    return path;
}

http::Headers ifMatchHeader(std::int64_t version) {
    return {{"If-Match", std::to_string(version)}};
}

}  // namespace

Changes Remote::changes(std::int64_t since, std::int64_t limit) const {
    const auto path = "/changes?since=" + std::to_string(since) + "&limit=" + std::to_string(limit);
    return decoded(send(request("GET", path), withRetry), decodeChanges);
}

Node Remote::node(std::string_view id, bool includeTrashed) const {
    const auto path = idPath("/nodes/", id, includeTrashed ? "?trashed=1" : "");
    return decoded(send(request("GET", path), withRetry), decodeNode);
}

Listing Remote::list(const std::optional<std::string>& parent,
                     const std::optional<std::string>& cursor) const {
    if (parent) requireSafeId(*parent);
    std::string path = "/nodes?parent=" + parent.value_or("root") + "&limit=500";
    if (cursor) {
        requireSafeCursor(*cursor);
        path += "&cursor=" + *cursor;
    }
    return decoded(send(request("GET", path), withRetry), decodeListing);
}

std::vector<Node> Remote::trash() const {
    return decoded(send(request("GET", "/trash"), withRetry), decodeListing).items;
}

Node Remote::createFolder(const std::string& name, const std::optional<std::string>& parent) const {
    requireValidName(name);
    nlohmann::json body = {{"name", name}};
    if (parent) {
        requireSafeId(*parent);
        body["parent"] = *parent;
    }
    return decoded(send(request("POST", "/nodes", {}, json(body)), once), decodeNode);
}

Node Remote::patch(std::string_view id, const std::optional<std::string>& name,
                   const std::optional<std::optional<std::string>>& parent, std::int64_t ifMatch) const {
    const auto path = idPath("/nodes/", id);
    if (name) requireValidName(*name);
    nlohmann::json body = nlohmann::json::object();
    if (name) body["name"] = *name;
    if (parent) {
        if (*parent) requireSafeId(**parent);
        body["parent"] = parent->value_or("root");
    }
    return decoded(send(request("PATCH", path, ifMatchHeader(ifMatch), json(body)), once), decodeNode);
}

void Remote::trashNode(std::string_view id, std::int64_t ifMatch) const {
    send(request("DELETE", idPath("/nodes/", id), ifMatchHeader(ifMatch)), once);
}

Node Remote::restore(std::string_view id) const {
    return decoded(send(request("POST", idPath("/nodes/", id, "/restore")), once), decodeNode);
}

void Remote::purge(std::string_view id) const {
    send(request("DELETE", idPath("/trash/", id)), once);
}

Opened Remote::open(std::string_view id) const {
    return decoded(send(request("POST", idPath("/nodes/", id, "/open")), withRetry), decodeOpened);
}

}  // namespace tw
