#pragma once
// An open file descriptor with one owner.

#include <filesystem>
#include <utility>

namespace tw {

// Owns one file descriptor (or none: -1) and closes it exactly once, when it goes or is reset; a failure to
// close there is ignored, as nothing could be done about it. Move-only: a moved-from owner holds none. Not
// thread-safe as an object; the descriptor itself may be used from any thread while its owner lives.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    // Opens `path` with open(2)'s `flags` (O_CLOEXEC is always added) and `mode` for a file it creates.
    // Throws std::system_error with open's errno, naming the path.
    static FileDescriptor open(const std::filesystem::path& path, int flags, unsigned mode = 0);

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it: the caller owns it from now on.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the one held (ignoring a failure) and takes `fd`.
    void reset(int fd = -1) noexcept;
    // Closes the one held now and says how that went: a write's last failure (a full disk on NFS, say) may
    // show only here. Throws std::system_error with close's errno; the descriptor is gone either way.
    void close();

private:
    int fd_ = -1;
};

}  // namespace tw
