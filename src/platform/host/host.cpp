#include "platform/host/host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>

namespace tw::host {
namespace {

std::mutex providerMutex;

Manager::Provider& currentProvider() {
    static Manager::Provider provider;
    return provider;
}

[[noreturn]] void fail(int code, const std::filesystem::path& path, const std::string& what) {
    throw std::system_error(code, std::generic_category(), what + " " + path.string());
}

// The user's cache folder: $XDG_CACHE_HOME, else ~/.cache. A relative XDG_CACHE_HOME is ignored, as the
// XDG base-directory rules say.
std::filesystem::path cacheHome() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home && *home == '/') return std::filesystem::path(home) / ".cache";
    throw std::system_error(ENOENT, std::generic_category(), "no cache folder: HOME is not set");
}

// The domain's folder name. Every byte but a letter, digit, '-' or '_' becomes %XX, so no identifier can
// name another folder (".", "..", a path with '/') or a hidden one, and distinct identifiers stay distinct.
std::string folderNameFor(const std::string& identifier) {
    if (identifier.empty())
        throw std::system_error(EINVAL, std::generic_category(),
                                "an empty domain identifier names no folder");
    std::string name;
    for (const char c : identifier) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '_';
        if (plain) {
            name += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            name += escaped;
        }
    }
    return name;
}

// Makes `path` (whose parent exists) a folder that only the current user may enter, or checks that the
// folder already there is one: a real folder (not a symbolic link) of this user, with no permission for
// group or others. Anything else may have been put there by someone else to read or swap what lands in it.
void makePrivateFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        // A umask can only take bits away: a new folder is set to 0700 outright.
        if (::chmod(path.c_str(), 0700) != 0) fail(errno, path, "cannot set the mode of");
    } else if (errno != EEXIST) {
        fail(errno, path, "cannot make the folder");
    }
    // Checked through a descriptor of the folder itself, which cannot follow a symbolic link.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        fail(code, path, code == ELOOP || code == ENOTDIR ? "refusing what is not a folder:" : "cannot open");
    }
    struct stat info {};
    const int code = ::fstat(fd, &info) == 0 ? 0 : errno;
    ::close(fd);
    if (code != 0) fail(code, path, "cannot check the folder");
    if (info.st_uid != ::geteuid()) fail(EACCES, path, "refusing a folder of another user:");
    if ((info.st_mode & 077) != 0) fail(EACCES, path, "refusing a folder that other users may enter:");
}

// makePrivateFolder, after making the parents it needs (with the usual modes).
void makePrivateFolderIn(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) fail(error.value(), path.parent_path(), "cannot make the folder");
    makePrivateFolder(path);
}

}  // namespace

Error collisionError(ItemPointer existing) {
    return fileProviderError(FileProviderErrorCode::filenameCollision,
                             UserInfo{.collidingItem = std::move(existing)});
}

std::shared_ptr<Manager> Manager::forDomain(const Domain& domain) {
    Provider provider;
    {
        std::scoped_lock lock(providerMutex);
        provider = currentProvider();
    }
    if (provider) return provider(domain);
    // Downloads of many GiB land in this folder and are then moved into the user's files: it lives on
    // disk (not in the RAM-backed runtime folder, from which a move would be a copy), and it is the user's
    // own (not a predictable name in the shared /tmp).
    const std::filesystem::path root = cacheHome() / "tidewright";
    makePrivateFolderIn(root);
    auto manager = std::make_shared<DirectoryManager>(root / folderNameFor(domain.identifier));
    manager->temporaryDirectory();  // refused now rather than at the first download
    return manager;
}

Manager::Provider Manager::setProvider(Provider provider) {
    std::scoped_lock lock(providerMutex);
    return std::exchange(currentProvider(), std::move(provider));
}

std::filesystem::path DirectoryManager::temporaryDirectory() const {
    makePrivateFolderIn(directory_);
    return directory_;
}

}  // namespace tw::host
