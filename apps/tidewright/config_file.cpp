#include "config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <system_error>

#include "cli_host.h"

namespace tw::cli {
namespace {

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int error = errno) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// mkdir -p with mode 0700 for what it creates; folders that exist are left as they are.
void makeFolders(const std::filesystem::path& folder) {
    if (folder.empty() || std::filesystem::is_directory(folder)) return;
    makeFolders(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) fail("cannot create the folder", folder);
}

void syncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);  // the rename is durable once the folder is; a failure here loses nothing already written
    ::close(fd);
}

}  // namespace

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
    const auto folder = path.parent_path();
    makeFolders(folder);
    std::string temporary = (folder / ".domain.json.XXXXXX").string();
    const int fd = ::mkstemp(temporary.data());  // mode 0600
    if (fd < 0) fail("cannot create a file in the configuration folder", folder);
    const std::string text = object.dump(2) + "\n";
    bool written = true;
    for (std::size_t done = 0; written && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<std::size_t>(n);
    }
    const int writeError = errno;
    written = written && ::fsync(fd) == 0;
    written = (::close(fd) == 0) && written;
    if (!written) {
        ::unlink(temporary.c_str());
        fail("cannot write the configuration", path, writeError ? writeError : EIO);
    }
    const int renamed =
        replace ? std::rename(temporary.c_str(), path.c_str())
                : ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (renamed != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail("cannot write the configuration", path, error);
    }
    syncFolder(folder);
}

}  // namespace tw::cli
