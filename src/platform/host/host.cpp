#include "platform/host/host.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "platform/private_folder.h"

namespace tw::host {
namespace {

std::mutex providerMutex;

Manager::Provider& currentProvider() {
    static Manager::Provider provider;
    return provider;
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

}  // namespace

Error collisionError(ItemPointer existing) {
    return fileProviderError(FileProviderErrorCode::filenameCollision,
                             UserInfo{.collidingItem = std::move(existing)});
}

std::shared_ptr<Manager> Manager::forDomain(const Domain& domain, const std::string& application) {
    Provider provider;
    {
        std::scoped_lock lock(providerMutex);
        provider = currentProvider();
    }
    if (provider) return provider(domain);
    // Downloads of many GiB land in this folder and are then moved into the user's files: it lives on
    // disk (not in the RAM-backed runtime folder, from which a move would be a copy), and it is the user's
    // own (not a predictable name in the shared /tmp).
    if (application.empty() || application == "." || application == ".." ||
        application.find('/') != std::string::npos)
        throw std::system_error(EINVAL, std::generic_category(), "not a folder name: " + application);
    const std::filesystem::path root = cacheHome() / application;
    makePrivateFolder(root);
    auto manager = std::make_shared<DirectoryManager>(root / folderNameFor(domain.identifier));
    manager->temporaryDirectory();  // refused now rather than at the first download
    return manager;
}

Manager::Provider Manager::setProvider(Provider provider) {
    std::scoped_lock lock(providerMutex);
    return std::exchange(currentProvider(), std::move(provider));
}

std::filesystem::path DirectoryManager::temporaryDirectory() const {
    makePrivateFolder(directory_);
    return directory_;
}

}  // namespace tw::host
