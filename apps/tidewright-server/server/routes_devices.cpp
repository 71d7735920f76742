// Device pairing and revocation.

#include "server/auth.h"
#include "server/http_util.h"
#include "server/names.h"
#include "server/request_params.h"
#include "server/routes.h"

namespace tw::server {
namespace {

// A short display text: 1 to 255 bytes of valid UTF-8 without control characters.
std::string checkedLabel(const std::optional<std::string>& text, const char* code) {
    if (!text || text->empty() || text->size() > 255 || !isValidUtf8(*text)) throw ApiError(400, code);
    for (unsigned char c : *text) {
        if (c < 0x20 || c == 0x7F) throw ApiError(400, code);
    }
    return *text;
}

}  // namespace

void addDeviceRoutes(httplib::Server& http, Service& service) {
    addRoute(http, "POST", "/api/v1/auth/device", [&service](const auto&, auto& response, RequestBody& body) {
        auto json = parseObject(body.readAll(maxJsonBody));
        auto secret = stringMember(json, "secret", "invalid_secret");
        if (!secret) throw ApiError(400, "invalid_secret");
        std::string name = checkedLabel(stringMember(json, "name", "invalid_name"), "invalid_name");
        std::string kind = checkedLabel(stringMember(json, "kind", "invalid_kind"), "invalid_kind");
        Device device = service.auth->pair(*secret, name, kind);
        sendJson(response, 201,
                 {{"id", device.id},
                  {"token", device.token},
                  {"name", device.name},
                  {"kind", device.kind},
                  {"createdAt", device.createdAt}});
    });

    addRoute(http, "DELETE", R"(/api/v1/devices/([^/]*))",
             [&service](const auto& request, auto& response, auto&) {
                 if (!service.auth->revokeDevice(request.matches[1])) throw ApiError::notFound();
                 sendNoContent(response);
             });

    addRoute(http, "POST", "/api/cloud/auth/app/revoke",
             [&service](const auto& request, auto& response, auto&) {
                 service.auth->revokeToken(bearerToken(request.get_header_value("Authorization")));
                 sendNoContent(response);
             });
}

}  // namespace tw::server
