#pragma once
// The extension's API client, for the extension's own implementation (its enumerators in enumeration/) and
// for tests and benchmarks. Not for hosts: a host makes host calls and nothing else, and what links only
// the extension's library cannot even include this header (remote/ is not among its include folders).

#include <memory>

#include "provider/extension.h"
#include "remote/remote.h"

namespace tw {

// The extension's client; throws the host error notAuthenticated when its domain is not configured.
std::shared_ptr<const Remote> remoteOf(const FileProviderExtension& extension);

}  // namespace tw
