// The item catalog's rules without a mount: listings kept and named (and saved, and rebuilt after a restart),
// what a change batch tells the kernel, an inode per content version, files holding local changes, items made
// here. Against a fake extension.
#include "mount/item_catalog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "fake_extension.h"
#include "mount/state_store.h"
#include "support/temp_dir.h"

namespace tw::mount {
namespace {

using namespace std::chrono_literals;
using test::batchOf;
using test::fileRecord;
using test::folderRecord;
using test::later;
using Id = ItemCatalog::Id;
const Id root = host::rootContainer;

// A catalog over a fake extension whose root holds folders f1 "docs" and f2 "work"; n1 "x.txt" and n2
// "other.txt" are in docs.
struct Space {
    test::FakeExtension extension;
    std::set<Id> local;  // items holding local changes
    ItemCatalog catalog{extension, TrashView(1000),
                        [this](const Id& identifier) { return local.contains(identifier); }};

    Space() {
        extension.setChildren(root, {folderRecord("f1", root, "docs"), folderRecord("f2", root, "work")});
        extension.setChildren("f1",
                              {fileRecord("n1", "f1", "x.txt", 2), fileRecord("n2", "f1", "other.txt", 1)});
        extension.setChildren("f2", {});
    }
    // Lists the folder and looks it up, as the kernel does before it learns of anything in it.
    Inode open(const Id& folder) {
        catalog.children(folder, later());
        return inode(folder);
    }
    Inode inode(const Id& identifier) {
        const auto entry = catalog.lookUp(identifier);
        EXPECT_TRUE(entry) << identifier;
        return entry ? entry->inode : 0;
    }
    std::map<std::string, Id> shown(const Id& folder) { return test::shownNames(catalog, folder); }
};

TEST(ItemCatalog, AFolderIsListedOnceAndItsNamesAnswerLookups) {
    Space space;
    EXPECT_EQ(space.shown(root), (std::map<std::string, Id>{
                                     {".Trash-1000", TrashView::folder}, {"docs", "f1"}, {"work", "f2"}}));
    EXPECT_EQ(space.catalog.childNamed("f1", "x.txt", later()), "n1");
    EXPECT_EQ(space.catalog.childNamed("f1", "y.txt", later()), std::nullopt);
    space.catalog.children("f1", later());
    EXPECT_EQ(space.extension.listings(root), 1);
    EXPECT_EQ(space.extension.listings("f1"), 1);

    // An inode lives while the kernel holds a lookup of it; its number never comes back.
    const Inode first = space.inode("n1");
    EXPECT_EQ(space.inode("n1"), first);
    space.catalog.forget(first, 2);
    EXPECT_EQ(space.catalog.find(first), std::nullopt);
    EXPECT_NE(space.inode("n1"), first);
}

TEST(ItemCatalog, ARenameOrMoveTellsTheKernelToForgetTheOldNameAndLookUpTheNew) {
    const struct {
        const char* what;
        ItemRecord after;
        bool listWork;  // work's listing is kept (else the kernel knows the folder but not its names)
        std::vector<std::pair<Id, std::string>> entries;    // folder, name
        std::vector<std::pair<Id, std::string>> deletions;  // folder, name (of n1)
    } cases[] = {
        {"renamed in place", fileRecord("n1", "f1", "z.txt", 2), true, {{"f1", "z.txt"}}, {{"f1", "x.txt"}}},
        {"moved", fileRecord("n1", "f2", "x.txt", 2), true, {{"f2", "x.txt"}}, {{"f1", "x.txt"}}},
        {"moved into a folder not listed",
         fileRecord("n1", "f2", "x.txt", 2),
         false,
         {{"f2", "x.txt"}},
         {{"f1", "x.txt"}}},
        {"renamed onto an older item's name",
         fileRecord("n1", "f1", "other.txt", 2),
         true,
         {{"f1", "other (2).txt"}},
         {{"f1", "x.txt"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Space space;
        space.open(root);
        const std::map<Id, Inode> folders = {{"f1", space.open("f1")},
                                             {"f2", c.listWork ? space.open("f2") : space.inode("f2")}};
        const Inode file = space.inode("n1");

        const auto applied = space.catalog.apply(batchOf({c.after}));
        Invalidations expected;
        for (const auto& [folder, name] : c.entries)
            expected.entries.push_back({folders.at(folder), name});
        for (const auto& [folder, name] : c.deletions)
            expected.deletions.push_back({folders.at(folder), file, name});
        expected.inodes.push_back({file, false});
        EXPECT_EQ(applied.invalidations.entries, expected.entries);
        EXPECT_EQ(applied.invalidations.deletions, expected.deletions);
        EXPECT_EQ(applied.invalidations.inodes, expected.inodes);
        EXPECT_TRUE(applied.discarded.empty());  // the contents are the same
        EXPECT_EQ(applied.updated, std::vector<ItemRecord>{c.after});

        if (!c.listWork)
            space.extension.setChildren("f2", {c.after});  // listed when first asked, after the move
        const auto [folder, name] = c.entries.front();
        EXPECT_EQ(space.catalog.childNamed(folder, name, later()), "n1");
        EXPECT_NE(space.catalog.childNamed("f1", "x.txt", later()), "n1");
        EXPECT_EQ(space.inode("n1"), file);  // the same file to the kernel
    }
}

TEST(ItemCatalog, NewContentsGetAFreshInodeAndTheOldOneKeepsStandingForItsVersion) {
    Space space;
    space.open(root);
    const Inode docs = space.open("f1");
    const Inode old = space.inode("n1");

    const auto applied = space.catalog.apply(batchOf({fileRecord("n1", "f1", "x.txt", 2, "c2", 20)}));
    EXPECT_EQ(applied.invalidations.entries, (std::vector<Invalidations::Entry>{{docs, "x.txt"}}));
    EXPECT_TRUE(applied.invalidations.deletions.empty());
    EXPECT_TRUE(applied.invalidations.inodes.empty());  // its pages are its version's: they may stay
    EXPECT_EQ(applied.discarded, std::vector<Id>{"n1"});

    const auto superseded = space.catalog.find(old);
    ASSERT_TRUE(superseded);
    EXPECT_TRUE(superseded->superseded);
    EXPECT_EQ(superseded->record.version.contentVersion, "c1");
    EXPECT_EQ(superseded->record.size, 10);
    const auto fresh = space.catalog.lookUp("n1");
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh->inode, old);
    EXPECT_EQ(fresh->record.version.contentVersion, "c2");
    EXPECT_FALSE(space.catalog.find(fresh->inode)->superseded);
    space.catalog.forget(old, 1);
    EXPECT_EQ(space.catalog.find(old), std::nullopt);

    // A listing that finds newer contents than the record does the same.
    space.catalog.dropListings();
    space.extension.setChildren("f1", {fileRecord("n1", "f1", "x.txt", 2, "c3", 30)});
    space.catalog.children("f1", later());
    EXPECT_TRUE(space.catalog.find(fresh->inode)->superseded);
    EXPECT_EQ(space.catalog.lookUp("n1")->record.version.contentVersion, "c3");

    // A folder keeps its inode whatever its versions say.
    auto folder = folderRecord("f1", root, "docs");
    folder.version.contentVersion = "r2";
    EXPECT_TRUE(space.catalog.apply(batchOf({folder})).discarded.empty());
    EXPECT_FALSE(space.catalog.find(docs)->superseded);
    EXPECT_EQ(space.inode("f1"), docs);
}

TEST(ItemCatalog, AFileHoldingLocalChangesKeepsItsContentsWhateverTheFeedSays) {
    Space space;
    space.local = {"n1"};
    space.open(root);
    space.open("f1");
    const Inode edited = space.inode("n1");

    // New contents of both, and n1 renamed: only n2's cached contents go, n1 keeps its version and inode.
    auto applied = space.catalog.apply(batchOf(
        {fileRecord("n1", "f1", "y.txt", 2, "c2", 20), fileRecord("n2", "f1", "other.txt", 1, "c2", 20)}));
    EXPECT_EQ(applied.discarded, std::vector<Id>{"n2"});
    const auto kept = space.catalog.find(edited);
    ASSERT_TRUE(kept);
    EXPECT_FALSE(kept->superseded);
    EXPECT_EQ(kept->record.name, "y.txt");
    EXPECT_EQ(kept->record.version.contentVersion, "c1");
    EXPECT_EQ(kept->record.size, 10);

    applied = space.catalog.apply(batchOf({}, {"n1", "n2"}));
    EXPECT_EQ(applied.discarded, std::vector<Id>{"n2"});
    EXPECT_EQ(applied.removed, (std::vector<Id>{"n1", "n2"}));
}

TEST(ItemCatalog, AListingMadeWhileAChangeIsAppliedAnswersItsRequestButIsNotKept) {
    Space space;
    space.open(root);
    bool once = false;
    space.extension.onListing([&](const Id& folder) {
        if (folder != "f1" || std::exchange(once, true)) return;
        space.catalog.apply(batchOf({fileRecord("n1", "f1", "renamed.txt", 2)}));
    });
    EXPECT_EQ(space.shown("f1"), (std::map<std::string, Id>{{"renamed.txt", "n1"}, {"other.txt", "n2"}}));
    // The change is newer than the listing (which still said x.txt): the record stays as the change made it.
    EXPECT_EQ(space.catalog.record("n1")->name, "renamed.txt");

    space.extension.setChildren(
        "f1", {fileRecord("n1", "f1", "renamed.txt", 2), fileRecord("n2", "f1", "other.txt", 1)});
    EXPECT_EQ(space.catalog.childNamed("f1", "renamed.txt", later()), "n1");
    EXPECT_EQ(space.extension.listings("f1"), 2);  // listed again: the first was not kept
}

// A batch asked for before a change made here cannot know of it: it leaves the item as the change made it
// and says it is unsure of it (so the item is looked at again); a batch asked for afterwards applies.
TEST(ItemCatalog, ABatchAskedForBeforeAChangeMadeHereLeavesThatItemAlone) {
    Space space;
    space.open(root);
    space.open("f1");
    const auto before = space.catalog.changeMark();
    space.catalog.changedHere({fileRecord("n1", "f1", "x.txt", 4, "c3", 30)});  // an upload's answer
    const auto asked = space.catalog.changeMark();
    // The feed still has the version before it, and another item's change; or it says the item is gone.
    auto applied = space.catalog.apply(
        batchOf({fileRecord("n1", "f1", "x.txt", 2, "c2", 20), fileRecord("n2", "f1", "moved.txt", 1)}),
        before);
    EXPECT_EQ(applied.unsure, std::vector<Id>{"n1"});
    EXPECT_EQ(space.catalog.record("n1")->version.contentVersion, "c3");
    EXPECT_EQ(space.catalog.record("n2")->name, "moved.txt");
    applied = space.catalog.apply(batchOf({}, {"n1"}), before);
    EXPECT_EQ(applied.unsure, std::vector<Id>{"n1"});
    EXPECT_TRUE(space.catalog.record("n1"));
    // Asked for after it: the service's word again.
    applied = space.catalog.apply(batchOf({fileRecord("n1", "f1", "x.txt", 5, "c4", 40)}), asked);
    EXPECT_TRUE(applied.unsure.empty());
    EXPECT_EQ(space.catalog.record("n1")->version.contentVersion, "c4");
    // Nor is an older mark held against it once a later batch came.
    applied = space.catalog.apply(batchOf({fileRecord("n1", "f1", "x.txt", 6, "c5", 50)}), before);
    EXPECT_TRUE(applied.unsure.empty());
}

TEST(ItemCatalog, NamesLinuxCannotHoldOrThatCollideAreShownUniqueAndStayAcrossARestart) {
    const std::vector<ItemRecord> children = {
        fileRecord("n1", root, "a/b", 1),         fileRecord("n2", root, "a\u2215b", 2),
        fileRecord("n3", root, "dup.txt", 5),     fileRecord("n4", root, "dup.txt", 3),
        fileRecord("n5", root, "dup (2).txt", 9), fileRecord("n6", root, ".Trash-1000", 1),
    };
    const std::map<std::string, Id> expected = {
        {".Trash-1000", TrashView::folder},  // the mount's own: the item of that name is not shown
        {"a\u2215b", "n1"},
        {"a\u2215b (2)", "n2"},
        {"dup.txt", "n4"},
        {"dup (3).txt", "n3"},
        {"dup (2).txt", "n5"},
    };
    Space space;
    space.extension.setChildren(root, children);
    EXPECT_EQ(space.shown(root), expected);
    for (const auto& [name, identifier] : expected) {
        SCOPED_TRACE(name);
        EXPECT_EQ(space.catalog.childNamed(root, name, later()), identifier);
    }

    // Listed in another order by a mount started again on the saved records: the same names.
    test::FakeExtension restarted;
    restarted.setChildren(root, {children.rbegin(), children.rend()});
    ItemCatalog again(restarted, TrashView(1000), {}, {.records = children});
    std::map<std::string, Id> shown;
    for (const auto& child : again.children(root, later()))
        shown[child.name] = child.identifier;
    EXPECT_EQ(shown, expected);
}

// What the change tracker saves of the listings: the folders listed with their children's present records
// (a file made here stays the journal's), kept as the feed changes them; a restart rebuilds them without
// asking the service, and a drop of every listing forgets the saved ones.
TEST(ItemCatalog, KeptListingsAreSavedAsTheFeedChangesThemAndRebuiltWithoutTheService) {
    tw::test::TempDir dir;
    StateStore store(dir.path() / "state.sqlite");
    Space space;
    space.open(root);
    space.open("f1");
    space.catalog.addLocal(fileRecord("", "f1", "made here.txt"));
    store.save("1", {}, {}, space.catalog.takeListingChanges());
    EXPECT_TRUE(space.catalog.takeListingChanges().kept.empty());  // taken once
    auto moved = fileRecord("n2", "f2", "other.txt", 1);           // into a folder never listed
    auto applied = space.catalog.apply(batchOf({moved, fileRecord("n3", "f1", "new.txt", 3)}));
    store.save("2", applied.updated, applied.removed, space.catalog.takeListingChanges());

    auto snapshot = store.load();
    for (const auto& record : snapshot.records)
        EXPECT_FALSE(isLocalIdentity(record.identifier)) << record.name;
    test::FakeExtension restarted;  // lists nothing: a folder it is asked for lists empty
    ItemCatalog again(restarted, TrashView(1000), {},
                      {std::move(snapshot.records), std::move(snapshot.listed)});
    EXPECT_EQ(
        test::shownNames(again, root),
        (std::map<std::string, Id>{{"docs", "f1"}, {"work", "f2"}, {".Trash-1000", TrashView::folder}}));
    EXPECT_EQ(test::shownNames(again, "f1"), (std::map<std::string, Id>{{"x.txt", "n1"}, {"new.txt", "n3"}}));
    EXPECT_EQ(restarted.listings(root) + restarted.listings("f1"), 0);
    EXPECT_TRUE(test::shownNames(again, "f2").empty());  // never listed before: asked for
    EXPECT_EQ(restarted.listings("f2"), 1);

    again.dropListings();  // the feed no longer reaches back
    store.save("3", {}, {}, again.takeListingChanges());
    EXPECT_TRUE(store.load().listed.empty());
}

TEST(ItemCatalog, AnItemMadeHereKeepsItsInodeWhenTheServiceKnowsIt) {
    Space space;
    space.open(root);
    space.open("f1");
    auto made = fileRecord("", "f1", "new.txt", 7);
    const Id local = space.catalog.addLocal(made);
    EXPECT_TRUE(isLocalIdentity(local));
    EXPECT_EQ(space.catalog.childNamed("f1", "new.txt", later()), local);
    const Inode inode = space.inode(local);

    made.identifier = "n9";
    const auto applied = space.catalog.created(local, made);
    EXPECT_TRUE(applied.invalidations.entries.empty());
    EXPECT_TRUE(applied.invalidations.deletions.empty());
    EXPECT_EQ(applied.updated, std::vector<ItemRecord>{made});
    EXPECT_EQ(space.catalog.childNamed("f1", "new.txt", later()), "n9");
    EXPECT_EQ(space.inode("n9"), inode);
    EXPECT_EQ(space.catalog.record(local), std::nullopt);

    // The feed's report of the creation changes nothing more.
    const auto reported = space.catalog.apply(batchOf({made}));
    EXPECT_TRUE(reported.invalidations.entries.empty() && reported.invalidations.deletions.empty() &&
                reported.invalidations.inodes.empty());
    EXPECT_EQ(space.shown("f1").size(), 3u);
}

}  // namespace
}  // namespace tw::mount
