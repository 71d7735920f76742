// The control endpoint for tests, present only with --allow-faults. No token is needed.
//
//   POST   /_control/faults    body: one fault rule (see faults.h)  -> 201 {"id": N}
//   GET    /_control/faults                                         -> 200 {"faults": [rule + "hits"...]}
//   DELETE /_control/faults    removes every rule                   -> 204
//   POST   /_control/space     {"state": "normal" | "read_only" | "suspended" | "unavailable",
//                               "reason": "payment_required" | "account_deleting"}  (reason: read_only)
//                                                                   -> 200 {"state", "reason"}
//   GET    /_control/space                                          -> 200 {"state", "reason"}
//   POST   /_control/settings  {"partSize": bytes, "openTtlMs": ms} (either)  -> 200 the settings
//   GET    /_control/settings                                       -> 200 {"partSize", "openTtlMs"}

#include "server/http_util.h"
#include "server/request_params.h"
#include "server/routes.h"

namespace tw::server {
namespace {

nlohmann::json spaceJson(SpaceState state) {
    return {{"state", nameOf(state)}, {"reason", reasonOf(state)}};
}

nlohmann::json settingsJson(const Service& service) {
    return {{"partSize", service.partSize.load()}, {"openTtlMs", service.openTtlMs.load()}};
}

}  // namespace

void addControlRoutes(httplib::Server& http, Service& service) {
    addRoute(http, "POST", "/_control/faults", [&service](const auto&, auto& response, RequestBody& body) {
        int id = service.faults.add(faultFromJson(parseObject(body.readAll(maxJsonBody))));
        sendJson(response, 201, {{"id", id}});
    });
    addRoute(http, "GET", "/_control/faults", [&service](const auto&, auto& response, auto&) {
        sendJson(response, 200, {{"faults", service.faults.list()}});
    });
    addRoute(http, "DELETE", "/_control/faults", [&service](const auto&, auto& response, auto&) {
        service.faults.clear();
        sendNoContent(response);
    });

    addRoute(http, "POST", "/_control/space", [&service](const auto&, auto& response, RequestBody& body) {
        auto json = parseObject(body.readAll(maxJsonBody));
        auto state = spaceStateFrom(stringMember(json, "state", "invalid_state").value_or(""),
                                    stringMember(json, "reason", "invalid_state").value_or(""));
        if (!state) throw ApiError(400, "invalid_state");
        service.space = *state;
        sendJson(response, 200, spaceJson(*state));
    });
    addRoute(http, "GET", "/_control/space", [&service](const auto&, auto& response, auto&) {
        sendJson(response, 200, spaceJson(service.space.load()));
    });

    addRoute(http, "POST", "/_control/settings", [&service](const auto&, auto& response, RequestBody& body) {
        auto json = parseObject(body.readAll(maxJsonBody));
        auto positive = [&](const char* key, std::int64_t min) -> std::optional<std::int64_t> {
            if (!json.contains(key)) return std::nullopt;
            if (!json[key].is_number_integer() || json[key].get<std::int64_t>() < min) {
                throw ApiError(400, "invalid_setting");
            }
            return json[key].get<std::int64_t>();
        };
        auto partSize = positive("partSize", 1);
        auto openTtl = positive("openTtlMs", 0);
        if (partSize) service.partSize = *partSize;
        if (openTtl) service.openTtlMs = *openTtl;
        sendJson(response, 200, settingsJson(service));
    });
    addRoute(http, "GET", "/_control/settings", [&service](const auto&, auto& response, auto&) {
        sendJson(response, 200, settingsJson(service));
    });
}

}  // namespace tw::server
