#include "platform/content_type.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace tw {

namespace {

constexpr std::string_view folderId = "public.folder";
constexpr std::string_view directoryId = "public.directory";
constexpr std::string_view symbolicLinkId = "public.symlink";
constexpr std::string_view dataId = "public.data";
constexpr std::string_view itemId = "public.item";

constexpr std::string_view whiteSpace = " \t\r\n\f\v";

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(whiteSpace);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(whiteSpace);
    return text.substr(first, last - first + 1);
}

// The canonical key of a MIME type: parameters dropped, white space trimmed, lower case.
std::string mimeKey(std::string_view mime) {
    return lowerCase(trimmed(mime.substr(0, mime.find(';'))));
}

}  // namespace

ContentType ContentType::folder() {
    return {std::string(folderId), std::nullopt};
}
ContentType ContentType::directory() {
    return {std::string(directoryId), std::nullopt};
}
ContentType ContentType::symbolicLink() {
    return {std::string(symbolicLinkId), std::nullopt};
}
ContentType ContentType::data() {
    return {std::string(dataId), std::nullopt};
}
ContentType ContentType::item() {
    return {std::string(itemId), std::nullopt};
}

std::optional<ContentType> ContentType::fromFilenameExtension(std::string_view extension,
                                                              const ContentType& conformingTo) {
    return ContentTypeRegistry::system().typeForFilenameExtension(extension, conformingTo);
}

std::optional<ContentType> ContentType::fromMIMEType(std::string_view mime, const ContentType& conformingTo) {
    return ContentTypeRegistry::system().typeForMIMEType(mime, conformingTo);
}

// Identifiers of the well-known types are reverse-DNS names without '/'; every MIME type has one.
bool ContentType::isMIMEType() const {
    return identifier_.find('/') != std::string::npos;
}

bool ContentType::conforms(const ContentType& other) const {
    if (*this == other || other.identifier_ == itemId) return true;
    if (other.identifier_ == directoryId) return identifier_ == folderId;
    if (other.identifier_ == dataId) return isMIMEType();
    return false;
}

std::optional<std::string> ContentType::preferredMIMEType() const {
    if (isMIMEType()) return identifier_;
    return std::nullopt;
}

const ContentTypeRegistry& ContentTypeRegistry::system() {
    // A function-local static: initialised once, and other threads wait for it.
    static const ContentTypeRegistry registry = fromFile("/etc/mime.types");
    return registry;
}

ContentTypeRegistry ContentTypeRegistry::fromFile(const std::filesystem::path& path) {
    // Two passes: a MIME type's preferred extension must be known, from whichever line first lists one,
    // before its extensions are filed, as each copy of the type carries it.
    std::vector<std::pair<std::string, std::vector<std::string>>> lines;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string mime;
        if (!(words >> mime)) continue;
        // A MIME type is "type/subtype"; anything else is not a line of this format.
        const auto slash = mime.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 == mime.size()) continue;
        std::vector<std::string> extensions;
        for (std::string word; words >> word;)
            extensions.push_back(lowerCase(word));
        lines.emplace_back(lowerCase(mime), std::move(extensions));
    }

    ContentTypeRegistry registry;
    for (const auto& [mime, extensions] : lines) {
        auto entry = registry.byMIMEType_.try_emplace(mime, ContentType(mime, std::nullopt)).first;
        if (!entry->second.extension_ && !extensions.empty()) entry->second.extension_ = extensions.front();
    }
    for (const auto& [mime, extensions] : lines) {
        for (const auto& extension : extensions) {
            registry.byExtension_.try_emplace(extension, registry.byMIMEType_.at(mime));
        }
    }
    return registry;
}

std::optional<ContentType> ContentTypeRegistry::typeForFilenameExtension(
    std::string_view extension, const ContentType& conformingTo) const {
    if (extension.empty()) return std::nullopt;
    const auto found = byExtension_.find(lowerCase(extension));
    if (found == byExtension_.end() || !found->second.conforms(conformingTo)) return std::nullopt;
    return found->second;
}

std::optional<ContentType> ContentTypeRegistry::typeForMIMEType(std::string_view mime,
                                                                const ContentType& conformingTo) const {
    const auto found = byMIMEType_.find(mimeKey(mime));
    if (found == byMIMEType_.end() || !found->second.conforms(conformingTo)) return std::nullopt;
    return found->second;
}

std::string pathExtension(std::string_view filename) {
    const auto lastKept = filename.find_last_not_of('/');
    if (lastKept == std::string_view::npos) return {};
    filename = filename.substr(0, lastKept + 1);
    if (const auto slash = filename.rfind('/'); slash != std::string_view::npos) {
        filename = filename.substr(slash + 1);
    }
    const auto start = filename.find_first_not_of('.');
    if (start == std::string_view::npos) return {};
    const auto dot = filename.rfind('.');
    if (dot == std::string_view::npos || dot < start) return {};
    return std::string(filename.substr(dot + 1));
}

}  // namespace tw
