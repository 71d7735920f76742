#pragma once
// Folders and files that hold one user's data: made readable by that user only.

#include <filesystem>
#include <string_view>

namespace tw::mount {

// Makes `folder` and its missing parents with mode 0700 (existing ones are left as they are). Throws
// std::system_error.
void makePrivateFolders(const std::filesystem::path& folder);

// Writes `contents` to a new file (0600, replacing one of the same name) and flushes it to disk, so that a
// rename of it afterwards never exposes a part. On failure the file is removed. Throws std::system_error.
void writeFileDurably(const std::filesystem::path& file, std::string_view contents);

}  // namespace tw::mount
