#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tw {

FileDescriptor FileDescriptor::open(const std::filesystem::path& path, int flags, unsigned mode) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    return FileDescriptor(fd);
}

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

void FileDescriptor::close() {
    // Linux releases the descriptor even when close fails (EINTR included): it is never closed twice.
    if (fd_ >= 0 && ::close(release()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot close a file");
}

}  // namespace tw
