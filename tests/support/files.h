#pragma once
// What landed on disk, for tests that check files a call made, kept or left behind.

#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace tw::test {

// The bytes of `path` (empty when it cannot be read).
inline std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// How many entries `folder` holds; 0 when it does not exist.
inline std::size_t entriesIn(const std::filesystem::path& folder) {
    std::error_code ignored;
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder, ignored), {}));
}

// The permission bits of `path` itself (a symbolic link is not followed); 0 when it does not exist.
inline unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace tw::test
