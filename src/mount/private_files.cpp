#include "mount/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace tw::mount {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void writeFileDurably(const std::filesystem::path& file, std::string_view contents) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throwErrno("cannot write " + file.string());
    int error = 0;
    for (std::size_t written = 0; written < contents.size() && error == 0;) {
        const auto n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n >= 0)
            written += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            error = errno;
    }
    if (error == 0 && ::fdatasync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
        ::unlink(file.c_str());
        throw std::system_error(error, std::generic_category(), "cannot write " + file.string());
    }
}

}  // namespace tw::mount
