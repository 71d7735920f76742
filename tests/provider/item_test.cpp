#include "provider/item.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

Node file(std::string name, std::optional<std::string> mime = std::nullopt, std::string kind = "file") {
    return {
        .id = "n1", .kind = std::move(kind), .name = std::move(name), .mime = std::move(mime), .version = 1};
}

TEST(ItemProperties, ParentVersionsSizesDatesAndFixedCapabilities) {
    Node node = file("a.txt");
    node.version = 0;
    node.createdAt = 1500;
    node.updatedAt = -250;
    EXPECT_EQ(Item(node).parentItemIdentifier(), host::rootContainer);
    EXPECT_EQ(Item(node).itemVersion(), (host::ItemVersion{"-", "0"}));
    EXPECT_EQ(Item(node).documentSize(), 0);
    EXPECT_EQ(Item(node).creationDate(), host::Date{1.5});
    EXPECT_EQ(Item(node).contentModificationDate(), host::Date{-0.25});

    node = {.id = "n1", .parent = "p1", .kind = "file", .size = 12, .rev = "r-9", .version = 7};
    EXPECT_EQ(Item(node).parentItemIdentifier(), "p1");
    EXPECT_EQ(Item(node).itemVersion(), (host::ItemVersion{"r-9", "7"}));
    EXPECT_EQ(Item(node).documentSize(), 12);
    node.deleted = true;  // the trash before the parent
    EXPECT_EQ(Item(node).parentItemIdentifier(), host::trashContainer);
    EXPECT_EQ(Item(node).capabilities(), 127u);
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
          Case{"photo.JPG", std::nullopt, "file", "image/jpeg"},
          Case{"Fotos.pdf", std::nullopt, "folder", "public.folder"},
          Case{"a.unknownext", "text/plain", "file", "text/plain"}}) {
        const auto type = Item(file(name, mime, kind)).contentType();
        ASSERT_TRUE(type) << name;
        EXPECT_EQ(type->identifier(), expected) << name << " " << mime.value_or("(no mime)");
    }
}

// The root and the trash are folders at fixed versions; the trash can only be read. (Their identifiers and
// names: in the extension's and the command-line host's tests.)
TEST(ItemProperties, ContainersAreFoldersWithFixedVersions) {
    const RootItem root("Meu Tidewright");
    EXPECT_EQ(root.parentItemIdentifier(), host::rootContainer);
    EXPECT_EQ(root.contentType(), ContentType::folder());
    EXPECT_EQ(root.itemVersion(), (host::ItemVersion{"1", "1"}));
    EXPECT_FALSE(root.documentSize() || root.creationDate());
    EXPECT_EQ(root.capabilities(), 3u);
    const TrashItem trash;
    EXPECT_EQ(trash.parentItemIdentifier(), host::rootContainer);
    EXPECT_EQ(trash.capabilities(), 1u);
    EXPECT_EQ(trash.itemVersion(), (host::ItemVersion{"1", "1"}));
}

}  // namespace
}  // namespace tw
