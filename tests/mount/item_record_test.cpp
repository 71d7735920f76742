#include "item_record.h"

#include <gtest/gtest.h>

namespace tw::mount {
namespace {

struct PlainItem : host::Item {
    std::optional<ContentType> type;
    host::ItemIdentifier itemIdentifier() const override { return "n1"; }
    host::ItemIdentifier parentItemIdentifier() const override { return host::rootContainer; }
    std::string filename() const override { return "a/b"; }
    std::optional<ContentType> contentType() const override { return type; }
};

TEST(ItemRecord, KindComesFromTheContentTypeAndMissingPropertiesStayEmpty) {
    PlainItem folder;
    folder.type = ContentType::folder();
    PlainItem file;
    file.type = ContentType::data();
    PlainItem untyped;
    EXPECT_TRUE(recordFor(folder).isFolder);
    EXPECT_FALSE(recordFor(file).isFolder);
    EXPECT_FALSE(recordFor(untyped).isFolder);

    const auto record = recordFor(file);
    EXPECT_EQ(record.identifier, "n1");
    EXPECT_EQ(record.parent, host::rootContainer);
    EXPECT_EQ(record.name, "a/b");
    EXPECT_EQ(record.size, 0);
    EXPECT_FALSE(record.modified.has_value());
}

}  // namespace
}  // namespace tw::mount
