#include "provider/device_pairing.h"

#include "remote/fp_error.h"
#include "remote/remote.h"

namespace tw {

Config pairDevice(const std::string& base, const std::string& secret, const std::string& name) {
    try {
        const Device device = Remote::registerDevice(base, secret, name);
        return Config(base, device.token, device.id, std::nullopt);
    } catch (const RemoteError& failure) {
        // The client's text names the status and the service's code, never the secret.
        const Error mapped = fpError(std::current_exception());
        throw Error(mapped.domain(), mapped.code(), mapped.userInfo(),
                    std::string("pairing failed: ") + failure.what());
    }
}

Revocation revokeDevice(const Config& config) {
    std::int64_t status = 0;
    try {
        status = Remote(config).revokeDeviceStatus();
    } catch (...) {
        return Revocation::failed;  // a configuration the client refuses: nothing was sent
    }
    if (status >= 200 && status <= 299) return Revocation::revoked;
    // The token no longer opens the space, or the device is gone: revoked before, from here or elsewhere.
    if (status == 401 || status == 404) return Revocation::alreadyRevoked;
    return Revocation::failed;
}

}  // namespace tw
