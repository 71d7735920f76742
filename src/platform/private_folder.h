#pragma once
// Folders that hold one user's own data, which nobody else may read, fill or swap.

#include <filesystem>

namespace tw {

// Makes `folder` a folder only the current user may enter, or checks that the one already there is:
// - every missing folder on the way, `folder` included, is made with mode 0700 whatever the umask; folders
//   above it that exist are left as they are;
// - `folder` itself, new or not, must then be a real folder (not a symbolic link), belong to the effective
//   user and give group and others no permission at all. Anything else may have been put there by someone
//   else to read or swap what lands in it: it is refused, not repaired (someone may be inside already).
// Throws std::system_error naming the path: EACCES for a folder of another user or open to others, ELOOP or
// ENOTDIR for what is not a folder, else the errno of the failing call.
void makePrivateFolder(const std::filesystem::path& folder);

}  // namespace tw
