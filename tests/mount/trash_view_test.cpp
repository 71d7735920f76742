// The trash view's rules without a mount: .Trash-$UID/files and info/NAME.trashinfo, unique names for items
// of one name trashed from different folders, the path each .trashinfo gives, and what a trash that no
// longer holds an item does. Through the item catalog, against a fake extension.
#include "mount/trash_view.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "fake_extension.h"
#include "mount/item_catalog.h"

namespace tw::mount {
namespace {

using namespace std::chrono_literals;
using test::batchOf;
using test::fileRecord;
using test::folderRecord;
using test::later;
using Id = ItemCatalog::Id;
const Id root = host::rootContainer;
const Id trash = host::trashContainer;

// docs (f1) holding inner (f3) and a dup.txt (n1); work (f2) holding another dup.txt (n2); inner holds
// "nota 100%.md" (n3). Every folder listed and looked up, the trash (empty) and its info folder too.
struct TrashedSpace {
    test::FakeExtension extension;
    ItemCatalog catalog{extension, TrashView(1000), {}};
    Inode files = 0, info = 0;

    TrashedSpace() {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        extension.setChildren(root, {folderRecord("f1", root, "docs"), folderRecord("f2", root, "work")});
        extension.setChildren("f1",
                              {folderRecord("f3", "f1", "inner"), fileRecord("n1", "f1", "dup.txt", 1)});
        extension.setChildren("f2", {fileRecord("n2", "f2", "dup.txt", 2)});
        extension.setChildren("f3", {fileRecord("n3", "f3", "nota 100%.md", 3)});
        extension.setChildren(trash, {});
        for (const Id& folder : {root, Id("f1"), Id("f2"), Id("f3"), trash, TrashView::infoFolder}) {
            catalog.children(folder, later());
            catalog.lookUp(folder);
        }
        files = *catalog.knownInode(trash);
        info = *catalog.knownInode(TrashView::infoFolder);
    }
    ItemRecord trashed(ItemRecord record) {
        record.parent = trash;
        return record;
    }
    std::map<std::string, Id> shown(const Id& folder) { return test::shownNames(catalog, folder); }
};

TEST(TrashView, ItemsOfOneNameTrashedFromTwoFoldersGetNamesOfTheirOwnEachWithItsTrashInfo) {
    TrashedSpace space;
    const auto n1 = fileRecord("n1", "f1", "dup.txt", 1), n2 = fileRecord("n2", "f2", "dup.txt", 2),
               n3 = fileRecord("n3", "f3", "nota 100%.md", 3);
    const auto applied =
        space.catalog.apply(batchOf({space.trashed(n2), space.trashed(n1), space.trashed(n3)}));

    const struct {
        Id item;
        std::string name;  // in files/
        std::string path;  // where it was, in its .trashinfo
        char second;       // of its deletion date: its record's date
    } expected[] = {
        {"n1", "dup.txt", "docs/dup.txt", '1'},  // created first: it keeps the plain name
        {"n2", "dup (2).txt", "work/dup.txt", '2'},
        {"n3", "nota 100%.md", "docs/inner/nota%20100%25.md", '3'},
    };
    EXPECT_EQ(space.shown(trash).size(), std::size(expected));
    EXPECT_EQ(space.shown(TrashView::infoFolder).size(), std::size(expected));
    for (const auto& e : expected) {
        SCOPED_TRACE(e.item);
        const auto infoName = e.name + ".trashinfo";
        EXPECT_EQ(space.catalog.childNamed(trash, e.name, later()), e.item);
        ASSERT_EQ(space.catalog.childNamed(TrashView::infoFolder, infoName, later()),
                  TrashView::infoOf(e.item));
        const auto text = space.catalog.trashInfoText(TrashView::infoOf(e.item));
        EXPECT_EQ(text,
                  "[Trash Info]\nPath=" + e.path + "\nDeletionDate=1970-01-01T00:00:0" + e.second + "\n");
        const auto entry = space.catalog.lookUp(TrashView::infoOf(e.item));
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->record.size, std::ssize(text));  // what getattr says is what a read gives
        // The kernel, which may hold a miss for each name, is told of both ends.
        const auto& entries = applied.invalidations.entries;
        EXPECT_NE(std::find(entries.begin(), entries.end(), Invalidations::Entry{space.files, e.name}),
                  entries.end());
        EXPECT_NE(std::find(entries.begin(), entries.end(), Invalidations::Entry{space.info, infoName}),
                  entries.end());
    }
}

TEST(TrashView, WhenTheItemThatHeldTheNameLeavesTheTrashTheOtherTakesItAtBothEnds) {
    TrashedSpace space;
    const auto n1 = fileRecord("n1", "f1", "dup.txt", 1), n2 = fileRecord("n2", "f2", "dup.txt", 2);
    space.catalog.apply(batchOf({space.trashed(n1), space.trashed(n2)}));
    const Inode first = space.catalog.lookUp("n1")->inode, second = space.catalog.lookUp("n2")->inode;
    const Inode secondInfo = space.catalog.lookUp(TrashView::infoOf("n2"))->inode;

    const auto applied = space.catalog.apply(batchOf({n1}));  // restored to docs
    EXPECT_EQ(space.shown(trash), (std::map<std::string, Id>{{"dup.txt", "n2"}}));
    EXPECT_EQ(space.shown(TrashView::infoFolder),
              (std::map<std::string, Id>{{"dup.txt.trashinfo", TrashView::infoOf("n2")}}));
    EXPECT_TRUE(space.catalog.trashInfoText(TrashView::infoOf("n2"))
                    .starts_with("[Trash Info]\nPath=work/dup.txt\n"));
    EXPECT_EQ(space.catalog.trashInfoText(TrashView::infoOf("n1")), "");  // no longer in the trash
    EXPECT_EQ(space.catalog.childNamed("f1", "dup.txt", later()), "n1");

    // Every name that now leads elsewhere, or nowhere, is forgotten by the kernel.
    const auto& deletions = applied.invalidations.deletions;
    for (const auto& gone :
         std::vector<Invalidations::Deletion>{{space.files, first, "dup.txt"},
                                              {space.files, second, "dup (2).txt"},
                                              {space.info, secondInfo, "dup (2).txt.trashinfo"}}) {
        SCOPED_TRACE(gone.name);
        EXPECT_NE(std::find(deletions.begin(), deletions.end(), gone), deletions.end());
    }
}

TEST(TrashView, AnItemTheTrashNoLongerHoldsIsPurgedWhenTheTrashIsListedAgain) {
    TrashedSpace space;
    space.extension.setChildren(trash, {fileRecord("n7", trash, "old.txt", 4)});
    space.catalog.dropListings();
    ASSERT_EQ(space.shown(trash), (std::map<std::string, Id>{{"old.txt", "n7"}}));

    // The feed tells of it again without it leaving the trash: it may be gone for good. The trash is listed
    // again when next asked, and the kernel forgets both ends of its names until then.
    space.extension.setChildren(trash, {});
    auto changed = fileRecord("n7", trash, "old.txt", 4);
    changed.version.metadataVersion = "m2";
    const auto applied = space.catalog.apply(batchOf({changed}));
    EXPECT_EQ(
        applied.invalidations.entries,
        (std::vector<Invalidations::Entry>{{space.files, "old.txt"}, {space.info, "old.txt.trashinfo"}}));
    EXPECT_TRUE(space.catalog.takePurged().empty());
    EXPECT_TRUE(space.shown(trash).empty());
    EXPECT_EQ(space.catalog.takePurged(), std::vector<Id>{"n7"});
    EXPECT_EQ(space.catalog.record("n7"), std::nullopt);
    EXPECT_EQ(space.catalog.childNamed(TrashView::infoFolder, "old.txt.trashinfo", later()), std::nullopt);
}

TEST(TrashView, TheTrashFolderIsTheMountingUsersAndAnotherUsersIsNeverAskedFor) {
    test::FakeExtension extension;
    ItemCatalog catalog(extension, TrashView(1000), {});
    EXPECT_EQ(catalog.childNamed(root, ".Trash-1000", later()), TrashView::folder);
    EXPECT_EQ(catalog.childNamed(root, ".Trash-0", later()), std::nullopt);
    EXPECT_EQ(catalog.childNamed(TrashView::folder, "files", later()), trash);
    EXPECT_EQ(catalog.childNamed(TrashView::folder, "info", later()), TrashView::infoFolder);
    EXPECT_EQ(extension.listings(root), 0);
}

}  // namespace
}  // namespace tw::mount
