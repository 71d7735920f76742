#pragma once
// File operations of the content cache: disk space, range copies, small reads.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/file_descriptor.h"

namespace tw::mount {

// Throws std::system_error with the calling thread's errno and `what`.
[[noreturn]] void throwErrno(const std::string& what);

// The disk space a file takes (its allocated blocks, not its size); 0 when it cannot be read.
std::int64_t diskBytesOf(int fd);
std::int64_t diskBytesOf(const std::filesystem::path& file);

// Writes all of `bytes` at `offset`, or reads exactly `length` bytes from it (std::runtime_error when the
// file ends first). Throw std::system_error on an I/O error.
void writeAt(int fd, std::string_view bytes, std::int64_t offset);
std::string readAt(int fd, std::int64_t offset, std::int64_t length);

// Copies [start, end) of `from` into `to` at the same offsets: copy_file_range where the file systems allow
// it, else through a buffer. Throws when `from` ends before `end` (std::runtime_error) or on an I/O error
// (std::system_error); `to` may then hold part of the range.
void copyRange(int from, int to, std::int64_t start, std::int64_t end);

// Removes `file` when it goes, unless it is empty (handed over, or never made); errors are ignored.
struct Removed {
    std::filesystem::path file;
    Removed() = default;
    explicit Removed(std::filesystem::path path) : file(std::move(path)) {}
    Removed(const Removed&) = delete;
    Removed& operator=(const Removed&) = delete;
    ~Removed() {
        std::error_code ignored;
        if (!file.empty()) std::filesystem::remove(file, ignored);
    }
};

// The whole contents of a file the cache wrote itself (a sidecar); nothing when it cannot be read.
std::optional<std::string> readSmallFile(const std::filesystem::path& file);

}  // namespace tw::mount
