#pragma once
// The domain configuration file: a JSON object with "base", "token" and optionally "deviceId" and
// "spaceId", readable by its owner only.

#include <filesystem>
#include <optional>

#include <nlohmann/json.hpp>

namespace tw::cli {

// The object in the file. A missing file gives nullopt, unless `named` (the user named it), when it is a
// UsageError like a file that cannot be read or that is not a JSON object. Warns on stderr when the file is
// open to other users.
std::optional<nlohmann::json> readConfig(const std::filesystem::path& path, bool named);

// Writes the object to `path` so that a reader sees the old file or the new one, never a part: a temporary
// file in the same folder, mode 0600, synced, then renamed over `path` (the folder, and any missing folder
// above it, made with mode 0700). Unless `replace`, an existing file is kept and std::filesystem_error
// (file_exists) is thrown. Any failure leaves no temporary file behind.
void writeConfig(const std::filesystem::path& path, const nlohmann::json& object, bool replace);

}  // namespace tw::cli
