// Pairing a device with the service and withdrawing it.
#include "platform/http/url.h"
#include "remote/remote.h"

namespace tw {

Device Remote::registerDevice(const std::string& base, const std::string& secret, const std::string& name) {
    try {
        http::Request request;
        request.url = base + std::string(apiPath) + "/auth/device";
        // No placeholder here: a text that is not a URL fails before anything is sent (and the session
        // itself refuses what is not http or https).
        if (!http::isValidURL(request.url)) throw http::URLError(http::URLError::Code::badURL);
        request.method = "POST";
        request.timeout = std::chrono::seconds(60);
        request.sendOnce = true;
        request.deadline = std::chrono::minutes(5);
        request.setHeader("Content-Type", "application/json");
        request.setHeader("User-Agent", std::string(userAgent));
        request.body = json({{"secret", secret}, {"name", name}, {"kind", "macos"}});

        // A client of its own, ephemeral like every session here: the pairing shares nothing with a domain.
        http::Session session{http::SessionConfiguration{}};
        auto reply = session.data(request);
        const std::string body = check(std::move(reply.body), reply.response);
        const auto object = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
        if (object.is_object()) {
            const auto id = object.find("id");
            const auto token = object.find("token");
            if (id != object.end() && id->is_string() && token != object.end() && token->is_string())
                return Device{id->get<std::string>(), token->get<std::string>()};
        }
        throw RemoteError::http(502, "bad_response");
    } catch (...) {
        throw wrap(std::current_exception());
    }
}

bool Remote::revokeDevice() const {
    const auto status = revokeDeviceStatus();
    return status >= 200 && status <= 299;
}

std::int64_t Remote::revokeDeviceStatus() const {
    try {
        http::Request request;
        if (config_.isCloud()) {
            request.url = url(cloudRevokePath);
            request.method = "POST";
            request.setHeader("Authorization", "Bearer " + config_.token);
            request.setHeader("Content-Type", "application/json");
            request.body = "{}";
            request.timeout = cloudRevokeTimeout;
            request.deadline = cloudRevokeTimeout;
        } else {
            requireSafeId(config_.deviceId);
            request = this->request("DELETE", "/devices/" + config_.deviceId);
        }
        send(request);
        return 200;
    } catch (const RemoteError& error) {
        return error.kind() == RemoteError::Case::http ? error.status() : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace tw
