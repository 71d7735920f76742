#include "mount/item_record.h"

#include <chrono>

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

namespace {

class RecordItem : public host::Item {
public:
    explicit RecordItem(ItemRecord record) : record_(std::move(record)) {}
    host::ItemIdentifier itemIdentifier() const override { return record_.identifier; }
    host::ItemIdentifier parentItemIdentifier() const override { return record_.parent; }
    std::string filename() const override { return record_.name; }
    std::optional<ContentType> contentType() const override {
        return record_.isFolder ? ContentType::folder() : ContentType::data();
    }
    host::ItemVersion itemVersion() const override { return record_.version; }
    std::optional<std::int64_t> documentSize() const override { return record_.size; }
    std::optional<host::Date> creationDate() const override { return record_.created; }
    std::optional<host::Date> contentModificationDate() const override { return record_.modified; }

private:
    ItemRecord record_;
};

}  // namespace

host::Date currentDate() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return host::Date{std::chrono::duration<double>(since).count()};
}

host::ItemPointer itemFor(ItemRecord record) {
    return std::make_shared<RecordItem>(std::move(record));
}

}  // namespace tw::mount
