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
        for (ssize_t written = 0; written < n;) {
            const auto w = ::pwrite(to, buffer.data() + written, n - written, out + written);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) throwErrno("cannot write the cache file");
            written += w;
        }
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
