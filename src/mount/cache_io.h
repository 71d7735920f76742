#pragma once
// File operations of the content cache: an owning descriptor, disk space, range copies, small reads.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace tw::mount {

// Owns a descriptor (or none: -1) and closes it when it goes; close errors are ignored, as the cache only
// reads through a descriptor it gives up or has flushed what it needed.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Throws std::system_error with the calling thread's errno and `what`.
[[noreturn]] void throwErrno(const std::string& what);

// The disk space a file takes (its allocated blocks, not its size); 0 when it cannot be read.
std::int64_t diskBytesOf(int fd);
std::int64_t diskBytesOf(const std::filesystem::path& file);

// Copies [start, end) of `from` into `to` at the same offsets: copy_file_range where the file systems allow
// it, else through a buffer. Throws when `from` ends before `end` (std::runtime_error) or on an I/O error
// (std::system_error); `to` may then hold part of the range.
void copyRange(int from, int to, std::int64_t start, std::int64_t end);

// The whole contents of a file the cache wrote itself (a sidecar); nothing when it cannot be read.
std::optional<std::string> readSmallFile(const std::filesystem::path& file);

}  // namespace tw::mount
