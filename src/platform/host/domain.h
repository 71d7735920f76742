#pragma once
// A domain (one configured storage space) and the host's manager for it.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tw::host {

struct Domain {
    std::string identifier;
    std::string displayName;
    // The domain's configuration dictionary as whoever set the domain up stored it; values of any type.
    std::optional<nlohmann::json> userInfo;
};

// The host's services for one domain.
class Manager {
public:
    virtual ~Manager() = default;
    // A folder where the extension may put files it hands to the host. Throws std::system_error when
    // there is none.
    virtual std::filesystem::path temporaryDirectory() const = 0;

    // The host's manager for `domain` of the application `application` (the extension's own name, a plain
    // folder name), or none when the host keeps no manager for it. Throws (any exception) when the host
    // cannot make one; the default throws std::system_error when the domain's folder cannot be made or is
    // refused.
    static std::shared_ptr<Manager> forDomain(const Domain& domain, const std::string& application);

    using Provider = std::function<std::shared_ptr<Manager>(const Domain&)>;
    // Installs how managers are found (a host does this once at start); returns the previous provider. The
    // default gives each domain a private folder of its own, made (or checked) at once:
    // $XDG_CACHE_HOME/<application>/<identifier>, else ~/.cache/<application>/<identifier>, where every byte
    // of the identifier but a letter, digit, '-' or '_' is written %XX (so no identifier leaves the folder).
    static Provider setProvider(Provider provider);
};

// A manager whose temporary folder is a given directory, private to the current user (makePrivateFolder):
// made with mode 0700 when missing (its missing parents too), and refused when it is a symbolic link or not a
// folder, belongs to another user, or lets group or others in. Checked on every call.
class DirectoryManager : public Manager {
public:
    explicit DirectoryManager(std::filesystem::path directory) : directory_(std::move(directory)) {}
    std::filesystem::path temporaryDirectory() const override;

private:
    std::filesystem::path directory_;
};

}  // namespace tw::host
