#include "mount/item_record.h"

namespace tw::mount {

ItemRecord recordFor(const host::Item& item) {
    const auto type = item.contentType();
    return ItemRecord{
        .identifier = item.itemIdentifier(),
        .parent = item.parentItemIdentifier(),
        .name = item.filename(),
        .isFolder = type && type->conforms(ContentType::folder()),
        .size = item.documentSize().value_or(0),
        .created = item.creationDate(),
        .modified = item.contentModificationDate(),
        .version = item.itemVersion(),
    };
}

}  // namespace tw::mount
