#pragma once
// Pairing this machine with a space, and withdrawing it again: what a host asks of the service before it
// has a domain, or to end one. A host reaches the service only through the extension and these two.

#include <string>

#include "records/config.h"

namespace tw {

// Pairs a new device with the space at `base`, presenting the pairing secret and naming the device `name`
// (one request, on a session of its own); returns the configuration that reaches the space as that device:
// `base`, its token and its id. Keeps nothing. Throws tw::Error: the host error of the failure (fpError),
// described "pairing failed: ..." without ever quoting the secret.
Config pairDevice(const std::string& base, const std::string& secret, const std::string& name);

enum class Revocation {
    revoked,         // the service accepted the revocation
    alreadyRevoked,  // the service no longer knows the device or its token (401 or 404): nothing is left
    failed,          // anything else (no answer, a refusal, a device id that cannot be sent): it may remain
};

// Withdraws the device that `config` names, with one request. Never throws.
Revocation revokeDevice(const Config& config);

}  // namespace tw
