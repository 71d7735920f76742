#pragma once
// The cache's record files: written whole and readable by their user only (folders:
// platform/private_folder.h).

#include <filesystem>
#include <string_view>

namespace tw::mount {

// Writes `contents` to a new file (0600, replacing one of the same name) and flushes it to disk, so that a
// rename of it afterwards never exposes a part. On failure the file is removed. Throws std::system_error.
void writeFileDurably(const std::filesystem::path& file, std::string_view contents);

}  // namespace tw::mount
