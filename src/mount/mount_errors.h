#pragma once
// The one translation of the host's errors into the errno values a FUSE request answers with.

#include <exception>

namespace tw::mount {

// The errno for a failure caught while answering a request: noSuchItem → ENOENT, filenameCollision → EEXIST,
// notAuthenticated → EACCES, cannotSynchronize with the read-only or unavailable message → EROFS (the
// message is logged), excludedFromSync → EINVAL, serverUnreachable → EIO, a wait past its deadline →
// ETIMEDOUT, cancellation → EINTR; a std::system_error of the generic or system category keeps its value;
// anything else is EIO. Never ENOTCONN, which the kernel reads as a dead connection.
int errnoFor(std::exception_ptr error);

}  // namespace tw::mount
