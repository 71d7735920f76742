#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_descriptor.h"

namespace tw {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Renames within one file system; without `replace` never over an existing file. The errno on failure.
int renameFile(const std::filesystem::path& from, const std::filesystem::path& to, bool replace) {
    if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL) return errno;
    // A file system without RENAME_NOREPLACE: a hard link fails on an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

// Copies every byte of `from` into the open file `out`. The errno on failure.
int copyInto(const std::filesystem::path& from, int out) {
    const FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return errno;
    std::vector<char> buffer(1 << 20);
    int error = 0;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        for (ssize_t done = 0; done < n && error == 0;) {
            const ssize_t m = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (m < 0 && errno != EINTR) error = errno;
            if (m > 0) done += m;
        }
        if (error != 0) break;
    }
    return error;
}

}  // namespace

void moveFile(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
              const std::string& stagingPrefix) {
    const std::string what = "cannot move " + from.string() + " to " + to.string();
    int error = renameFile(from, to, replace);
    if (error == 0) return;
    if (error != EXDEV) fail(error, what);

    if (!replace && ::access(to.c_str(), F_OK) == 0) fail(EEXIST, what);
    std::string staging = (to.parent_path() / (stagingPrefix + "XXXXXX")).string();
    FileDescriptor out(::mkostemp(staging.data(), O_CLOEXEC));  // mode 0600
    if (!out) fail(errno, what);
    error = copyInto(from, out.get());
    if (::close(out.release()) != 0 && error == 0) error = errno;
    if (error == 0) error = renameFile(staging, to, replace);
    if (error != 0) {
        ::unlink(staging.c_str());
        fail(error, what);
    }
    ::unlink(from.c_str());
}

}  // namespace tw
