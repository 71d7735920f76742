#include "mount/cache_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tw::mount {

void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::int64_t diskBytesOf(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? std::int64_t{status.st_blocks} * 512 : 0;
}

std::int64_t diskBytesOf(const std::filesystem::path& file) {
    struct stat status {};
    return ::stat(file.c_str(), &status) == 0 ? std::int64_t{status.st_blocks} * 512 : 0;
}

void writeAt(int fd, std::string_view bytes, std::int64_t offset) {
    for (std::size_t written = 0; written < bytes.size();) {
        const auto w = ::pwrite(fd, bytes.data() + written, bytes.size() - written,
                                offset + static_cast<std::int64_t>(written));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) throwErrno("cannot write the cache file");
        written += static_cast<std::size_t>(w);
    }
}

std::string readAt(int fd, std::int64_t offset, std::int64_t length) {
    std::string bytes(static_cast<std::size_t>(std::max<std::int64_t>(length, 0)), '\0');
    for (std::size_t read = 0; read < bytes.size();) {
        const auto n =
            ::pread(fd, bytes.data() + read, bytes.size() - read, offset + static_cast<std::int64_t>(read));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwErrno("cannot read the cache file");
        if (n == 0) throw std::runtime_error("the cache file ends early");
        read += static_cast<std::size_t>(n);
    }
    return bytes;
}

void copyRange(int from, int to, std::int64_t start, std::int64_t end) {
    loff_t in = start;
    loff_t out = start;
    bool buffered = false;
    std::vector<char> buffer;
    while (in < end) {
        if (!buffered) {
            const auto n = ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(end - in), 0);
            if (n > 0) continue;
            if (n == 0) throw std::runtime_error("the fetched file ends before the range it was to hold");
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                throwErrno("cannot copy the fetched range into the cache");
            buffered = true;
            buffer.resize(std::size_t{1} << 20);
        }
        const auto n = ::pread(from, buffer.data(), std::min<std::int64_t>(end - in, buffer.size()), in);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwErrno("cannot read the fetched file");
        if (n == 0) throw std::runtime_error("the fetched file ends before the range it was to hold");
        writeAt(to, {buffer.data(), static_cast<std::size_t>(n)}, out);
        in += n;
        out += n;
    }
}

std::optional<std::string> readSmallFile(const std::filesystem::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        const auto n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace tw::mount
