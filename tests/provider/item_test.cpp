#include "provider/item.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(ItemProperties, ParentVersionsSizesDatesAndFixedCapabilities) {
    Node node = {.id = "n1", .kind = "file", .name = "a.txt", .createdAt = 1500, .updatedAt = -250};
    EXPECT_EQ(Item(node).parentItemIdentifier(), host::rootContainer);
    EXPECT_EQ(Item(node).itemVersion(), (host::ItemVersion{"-", "0"}));
    EXPECT_EQ(Item(node).creationDate(), host::Date{1.5});
    EXPECT_EQ(Item(node).contentModificationDate(), host::Date{-0.25});

    node = {.id = "n1", .parent = "p1", .kind = "file", .size = 12, .rev = "r-9", .version = 7};
    EXPECT_EQ(Item(node).parentItemIdentifier(), "p1");
    EXPECT_EQ(Item(node).itemVersion(), (host::ItemVersion{"r-9", "7"}));
    node.deleted = true;  // the trash before the parent
    EXPECT_EQ(Item(node).parentItemIdentifier(), host::trashContainer);
    node.kind = "Folder";  // only the exact kind marks a folder
    EXPECT_EQ(Item(node).documentSize(), 12);
    node.kind = "folder";
    EXPECT_FALSE(Item(node).documentSize());
    EXPECT_EQ(Item(node).capabilities(), 127u);
}

TEST(ItemProperties, ContentTypeComesFromTheNameBeforeTheMimeType) {
    using Case = std::tuple<std::string, std::optional<std::string>, std::string, std::string>;
    for (const auto& [name, mime, kind, expected] :
         {Case{"Relatório.pdf", "text/plain", "file", "application/pdf"},
          Case{"LEIAME", "text/plain", "file", "text/plain"},
          Case{"LEIAME", std::nullopt, "file", "public.data"},
          Case{"LEIAME", "application/x-unheard-of", "file", "public.data"},
          Case{"Fotos.pdf", std::nullopt, "folder", "public.folder"}}) {
        const auto type = Item({.id = "n1", .kind = kind, .name = name, .mime = mime}).contentType();
        ASSERT_TRUE(type) << name;
        EXPECT_EQ(type->identifier(), expected) << name << " " << mime.value_or("(no mime)");
    }
}

}  // namespace
}  // namespace tw
