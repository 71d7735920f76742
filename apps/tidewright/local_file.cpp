#include "local_file.h"

#include <system_error>

#include "platform/error.h"

namespace tw::cli {

std::filesystem::path regularFile(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error) throw Error("tidewright", 1, {}, path + ": " + error.message());
    if (!std::filesystem::is_regular_file(status))
        throw Error("tidewright", 1, {}, path + " is not a regular file");
    return path;
}

}  // namespace tw::cli
