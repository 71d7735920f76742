#include "platform/private_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/file_descriptor.h"

namespace tw {
namespace {

[[noreturn]] void fail(int code, const std::string& what, const std::filesystem::path& path) {
    throw std::system_error(code, std::generic_category(), what + " " + path.string());
}

// Makes the folder `path` (its parent exists) with mode 0700, unless something is there already.
void makeFolder(const std::filesystem::path& path) {
    // A umask can only take bits away from 0700, so the folder is never open to others, not even for a
    // moment; it is then given 0700 outright, whatever the umask took.
    if (::mkdir(path.c_str(), 0700) == 0) {
        if (::chmod(path.c_str(), 0700) != 0) fail(errno, "cannot set the mode of", path);
    } else if (errno != EEXIST) {
        fail(errno, "cannot make the folder", path);
    }
}

}  // namespace

void makePrivateFolder(const std::filesystem::path& folder) {
    std::filesystem::path partial;
    for (const auto& part : folder.lexically_normal()) {
        partial /= part;
        if (part.empty() || part == partial.root_path()) continue;  // "/" or a trailing "/"
        makeFolder(partial);
    }
    // Checked through a descriptor of the folder itself, which cannot follow a symbolic link.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        fail(code, code == ELOOP || code == ENOTDIR ? "refusing what is not a folder:" : "cannot open",
             folder);
    }
    const FileDescriptor held(fd);
    struct stat info {};
    if (::fstat(held.get(), &info) != 0) fail(errno, "cannot check the folder", folder);
    if (info.st_uid != ::geteuid()) fail(EACCES, "refusing a folder of another user:", folder);
    if ((info.st_mode & 077) != 0) fail(EACCES, "refusing a folder that other users may enter:", folder);
}

}  // namespace tw
