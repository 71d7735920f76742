#include "platform/host/host.h"

#include <cctype>
#include <mutex>
#include <system_error>

namespace tw::host {
namespace {

std::mutex providerMutex;

Manager::Provider& currentProvider() {
    static Manager::Provider provider;
    return provider;
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
    // The identifier names a folder: anything that could leave it or hide it becomes '_'.
    std::string name = "tidewright-" + domain.identifier;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    return std::make_shared<DirectoryManager>(std::filesystem::temp_directory_path() / name);
}

Manager::Provider Manager::setProvider(Provider provider) {
    std::scoped_lock lock(providerMutex);
    return std::exchange(currentProvider(), std::move(provider));
}

std::filesystem::path DirectoryManager::temporaryDirectory() const {
    std::error_code error;
    std::filesystem::create_directories(directory_, error);
    if (error) throw std::system_error(error, "cannot make the temporary folder " + directory_.string());
    return directory_;
}

}  // namespace tw::host
