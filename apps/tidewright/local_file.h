#pragma once
// The local files that commands hand to the extension.

#include <filesystem>
#include <string>

namespace tw::cli {

// `path` when it names a regular file (after following symbolic links); else throws a host-style error
// (domain "tidewright") that says why, before anything is sent: a folder, a pipe or a missing file would
// otherwise go up as empty contents.
std::filesystem::path regularFile(const std::string& path);

}  // namespace tw::cli
