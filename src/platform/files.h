#pragma once
// File moves that hold up across file systems.

#include <filesystem>
#include <string>

namespace tw {

// Moves the file `from` to `to`. On one file system this is a rename; across file systems (EXDEV) the bytes
// are copied into a new file of mode 0600 beside `to`, named `stagingPrefix` + six random characters, which
// is then renamed into place, and `from` is removed. Without `replace` an existing `to` is left alone and the
// move fails with EEXIST. Throws std::system_error; after a failure `to` is as it was (never a partial file),
// `from` is still there and no staging file is left.
void moveFile(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
              const std::string& stagingPrefix);

}  // namespace tw
