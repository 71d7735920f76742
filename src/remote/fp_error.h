#pragma once
// The one mapping from any error to the error a host receives.

#include <exception>

#include "platform/error.h"

namespace tw {

// A RemoteError becomes a file-provider error (or the user-cancelled error); a read-only or unavailable
// space becomes cannotSynchronize with the Portuguese text as localized description, before any mapping by
// status. Any other error keeps its own domain, code and user info (Error::from).
Error fpError(std::exception_ptr error);

}  // namespace tw
