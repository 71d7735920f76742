// The helpers that creation and modification share.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <string_view>
#include <system_error>

#include "platform/file_descriptor.h"
#include "platform/uuid.h"
#include "provider/extension.h"
#include "provider/item.h"
#include "remote/fp_error.h"
#include "remote/remote.h"

namespace tw {

bool FileProviderExtension::excluded(const host::Item& itemTemplate) {
    static constexpr std::array<std::string_view, 6> neverSynced = {
        ".DS_Store", ".localized", ".Trashes", ".fseventsd", ".Spotlight-V100", ".TemporaryItems"};
    const std::string name = itemTemplate.filename();
    for (const auto excludedName : neverSynced)
        if (name == excludedName) return true;
    if (name.starts_with("._")) return true;
    const auto type = itemTemplate.contentType();
    return type && type->conforms(ContentType::symbolicLink());
}

std::optional<std::string> FileProviderExtension::parentId(const host::ItemIdentifier& identifier) {
    if (identifier == host::rootContainer) return std::nullopt;
    if (identifier == host::trashContainer) throw fileProviderError(FileProviderErrorCode::cannotSynchronize);
    return identifier;
}

bool FileProviderExtension::isFolder(const std::optional<ContentType>& type) {
    return type && (*type == ContentType::folder() || type->conforms(ContentType::directory()));
}

std::filesystem::path FileProviderExtension::emptyFile() {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) folder = "/tmp";
    const auto file = folder / randomUUID();
    // Whether the file could be made is not asked here: the upload that reads it says so.
    const FileDescriptor made(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return file;
}

std::int64_t FileProviderExtension::sizeOf(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

std::optional<std::string> FileProviderExtension::existingIdOf(const RemoteError& error) {
    if (error.kind() != RemoteError::Case::http) return std::nullopt;
    const auto existing = error.body().find("existing");
    if (existing == error.body().end() || !existing->is_object()) return std::nullopt;
    const auto id = existing->find("id");
    if (id == existing->end() || !id->is_string()) return std::nullopt;
    return id->get<std::string>();
}

Error FileProviderExtension::collision(const RemoteError& error) const {
    if (const auto id = existingIdOf(error); id && remote_) {
        try {
            return host::collisionError(std::make_shared<Item>(remote_->node(*id, /*includeTrashed=*/true)));
        } catch (...) {
            // The conflict itself is what the host learns when the existing node cannot be read.
        }
    }
    return fpError(std::make_exception_ptr(error));
}

std::string FileProviderExtension::conflictName(const std::string& name,
                                                std::chrono::system_clock::time_point now) {
    const std::string extension = pathExtension(name);
    const std::string stem = extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%d %H.%M", &local);
    std::string conflicting = stem + " (conflito " + time + ")";
    if (!extension.empty()) conflicting += "." + extension;
    return conflicting;
}

}  // namespace tw
