#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tw::test {

// The bytes of `path` (empty when it cannot be read), for tests that compare what landed on disk.
inline std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace tw::test
