#include "config_file.h"

#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <system_error>

#include "cli_host.h"
#include "platform/atomic_file.h"
#include "platform/private_folder.h"

namespace tw::cli {

std::optional<nlohmann::json> readConfig(const std::filesystem::path& path, bool named) {
    std::ifstream in(path);
    if (!in) {
        if (named) throw UsageError("cannot read the configuration file " + path.string());
        return std::nullopt;
    }
    nlohmann::json object = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object())
        throw UsageError("the configuration file " + path.string() + " is not a JSON object");
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)))
        std::cerr << "warning: " << path.string()
                  << " is readable by other users and holds an access token (chmod 600 it)\n";
    return object;
}

void writeConfig(const std::filesystem::path& path, const nlohmann::json& object, bool replace) {
    try {
        // A folder that exists is left as it is: the user may keep a named configuration anywhere.
        if (const auto folder = path.parent_path(); !folder.empty() && !std::filesystem::is_directory(folder))
            makePrivateFolder(folder);
        writeFileAtomically(path, object.dump(2) + "\n",
                            replace ? AtomicFile::Placement::replace : AtomicFile::Placement::keepExisting);
    } catch (const std::system_error& error) {
        throw std::filesystem::filesystem_error("cannot write the configuration", path, error.code());
    }
}

}  // namespace tw::cli
