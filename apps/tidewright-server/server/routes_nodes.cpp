// Node reads and mutations: /api/v1/nodes, /api/v1/trash, /api/v1/changes.

#include "server/http_util.h"
#include "server/request_params.h"
#include "server/routes.h"

namespace tw::server {
namespace {

nlohmann::json listingJson(const ListingPage& page) {
    nlohmann::json items = nlohmann::json::array();
    for (const auto& node : page.items)
        items.push_back(toJson(node));
    nlohmann::json body = {{"items", std::move(items)}};
    if (page.next) body["nextCursor"] = std::to_string(*page.next);
    return body;
}

// "parent" of a request body: absent leaves it, "root" or null is the top level, else a folder id.
std::optional<std::int64_t> parentMember(const nlohmann::json& body) {
    if (!body.contains("parent")) return std::nullopt;
    const auto& value = body.at("parent");
    if (value.is_null()) return 0;
    if (!value.is_string()) throw ApiError(400, "invalid_parent");
    return parentNum(value.get<std::string>());
}

}  // namespace

void addNodeRoutes(httplib::Server& http, Service& service) {
    Store& store = *service.store;

    addRoute(http, "GET", R"(/api/v1/nodes/([^/]+))", [&store](const auto& request, auto& response, auto&) {
        std::string trashed = request.get_param_value("trashed");
        bool includeTrashed = trashed == "1" || trashed == "true";
        sendJson(response, 200, toJson(store.get(nodeNum(request.matches[1]), includeTrashed)));
    });

    addRoute(http, "GET", "/api/v1/nodes", [&store](const auto& request, auto& response, auto&) {
        std::int64_t parent = request.has_param("parent") ? parentNum(request.get_param_value("parent")) : 0;
        auto limit = integerParam(request, "limit", 500, 1, 1000, "invalid_limit");
        std::int64_t after = cursorParam(request);
        try {
            sendJson(response, 200, listingJson(store.children(parent, after, static_cast<int>(limit))));
        } catch (const ApiError& error) {
            if (error.status() == 404) throw ApiError(404, "parent_not_found");
            throw;
        }
    });

    addRoute(http, "GET", "/api/v1/trash", [&store](const auto& request, auto& response, auto&) {
        auto limit = integerParam(request, "limit", 10000, 1, 10000, "invalid_limit");
        sendJson(response, 200, listingJson(store.trash(cursorParam(request), static_cast<int>(limit))));
    });

    addRoute(http, "GET", "/api/v1/changes", [&store](const auto& request, auto& response, auto&) {
        auto since = integerParam(request, "since", 0, INT64_MIN, INT64_MAX, "invalid_since");
        auto limit = integerParam(request, "limit", 500, 1, 5000, "invalid_limit");
        ChangesPage page = store.changes(since, static_cast<int>(limit));
        nlohmann::json changes = nlohmann::json::array();
        for (const auto& node : page.changes)
            changes.push_back(toJson(node));
        sendJson(response, 200,
                 {{"changes", std::move(changes)},
                  {"cursor", page.cursor},
                  {"latest", page.latest},
                  {"hasMore", page.hasMore}});
    });

    addRoute(http, "POST", "/api/v1/nodes", [&store](const auto&, auto& response, RequestBody& body) {
        auto json = parseObject(body.readAll(maxJsonBody));
        auto name = stringMember(json, "name", "invalid_name");
        if (!name) throw ApiError(400, "invalid_name");
        auto kind = stringMember(json, "kind", "invalid_kind");
        if (kind && *kind != "folder") throw ApiError(400, "invalid_kind");
        std::int64_t parent = parentMember(json).value_or(0);
        sendJson(response, 201, toJson(store.createFolder(checkedName(*name), parent)));
    });

    addRoute(http, "PATCH", R"(/api/v1/nodes/([^/]+))",
             [&store](const auto& request, auto& response, RequestBody& body) {
                 std::int64_t num = nodeNum(request.matches[1]);
                 auto version = ifMatch(request);
                 auto json = parseObject(body.readAll(maxJsonBody));
                 auto name = stringMember(json, "name", "invalid_name");
                 if (name) checkedName(*name);
                 auto parent = parentMember(json);
                 sendJson(response, 200, toJson(store.patch(num, name, parent, version)));
             });

    addRoute(http, "DELETE", R"(/api/v1/nodes/([^/]+))",
             [&store](const auto& request, auto& response, auto&) {
                 std::int64_t num = nodeNum(request.matches[1]);
                 sendJson(response, 200, toJson(store.trash(num, ifMatch(request))));
             });

    addRoute(http, "POST", R"(/api/v1/nodes/([^/]+)/restore)",
             [&store](const auto& request, auto& response, auto&) {
                 sendJson(response, 200, toJson(store.restore(nodeNum(request.matches[1]))));
             });

    addRoute(http, "DELETE", R"(/api/v1/trash/([^/]+))",
             [&service](const auto& request, auto& response, auto&) {
                 for (const auto& rev : service.store->purge(nodeNum(request.matches[1])))
                     service.blobs->removeBlob(rev);
                 sendNoContent(response);
             });
}

}  // namespace tw::server
