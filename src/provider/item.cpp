#include "provider/item.h"

namespace tw {
namespace {

host::Date fromMilliseconds(std::int64_t milliseconds) {
    return host::Date{static_cast<double>(milliseconds) / 1000.0};
}

}  // namespace

host::ItemIdentifier Item::parentItemIdentifier() const {
    if (node_.deleted) return host::trashContainer;
    return node_.parent.value_or(host::rootContainer);
}

std::optional<ContentType> Item::contentType() const {
    if (node_.isFolder()) return ContentType::folder();
    if (auto byName = ContentType::fromFilenameExtension(pathExtension(node_.name))) return byName;
    if (node_.mime)
        if (auto byMime = ContentType::fromMIMEType(*node_.mime)) return byMime;
    return ContentType::data();
}

std::uint64_t Item::capabilities() const {
    // The same for files and folders, in the trash or not.
    return host::allowsReading | host::allowsWriting | host::allowsReparenting | host::allowsRenaming |
           host::allowsTrashing | host::allowsDeleting | host::allowsEvicting;
}

host::ItemVersion Item::itemVersion() const {
    return {node_.rev.value_or("-"), std::to_string(node_.version)};
}

std::optional<std::int64_t> Item::documentSize() const {
    if (node_.isFolder()) return std::nullopt;
    return node_.size;
}

std::optional<host::Date> Item::creationDate() const {
    return fromMilliseconds(node_.createdAt);
}

std::optional<host::Date> Item::contentModificationDate() const {
    return fromMilliseconds(node_.updatedAt);
}

}  // namespace tw
